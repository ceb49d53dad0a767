#pragma once

namespace talkmere {

class EventLogView;

// Screen readers see lstEvents as a list: one item per line the log holds, named by the line as it
// is shown, and the selected line as the focused item. Installed once, by the first view made.
void installEventLogAccessibility();

// Tells assistive technology that the view's selected line changed. Costs nothing while none
// listens.
void announceSelectedLine(EventLogView& view);

} // namespace talkmere
