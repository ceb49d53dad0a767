#pragma once

#include "ResizeRule.h"

#include <array>

// The main window's geometry, all of it: where load places the controls and where the resize rule
// moves them. No widgets here; fMain puts the rectangles on its controls.
namespace talkmere {

// Where one control is, in twips from the top-left corner of the client area.
struct TwipRect {
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
    bool operator==(const TwipRect&) const = default;
};

// Every control that the window lays out, indexed by TwipControls::Control.
using MainLayout = std::array<TwipRect, TwipControls::ControlCount>;

// The client area the window opens with.
inline constexpr int kDesignWidth = 9285;
inline constexpr int kDesignHeight = 6930;

// The event log's line height and its frame (both edges together), in twips.
struct LogLines {
    int lineHeight = 0;
    int frame = 0;
};

// The height a list takes when given `given`: whole lines plus the frame, never more than given.
// Any one unit; a line height of 0 takes any height.
int wholeLines(int given, int lineHeight, int frame);

// Where load places the controls, before the window has a size of its own.
MainLayout designLayout();

// Where the resize rule puts the controls for a client area of width x height twips, starting
// from `before`, where they are now. Values are whole pixels, as the widgets take them, and the
// log takes whole lines of `log`. A size that would be negative keeps its value from `before`, and
// what the rule places under it follows that value.
MainLayout layoutFor(double width, double height, LogLines log, const MainLayout& before) noexcept;

} // namespace talkmere
