#pragma once

#include "ResizeRule.h"

#include <array>

class QWidget;

namespace talkmere {

class EventLogView;

// The resize rule's view of real widgets: twips in, whole pixels out, heights read back from the
// widgets. The event log takes only whole lines of the height it is given.
class WidgetTwips final : public TwipControls {
public:
    struct Widgets {
        QWidget* clientTable;
        QWidget* startButton;
        QWidget* stopButton;
        QWidget* status;
        EventLogView* eventLog;
        QWidget* bytesSent;
        QWidget* bytesReceived;
        QWidget* socketCount;
        QWidget* dataEvents;
    };

    explicit WidgetTwips(const Widgets& widgets);

    double top(Control control) const override;
    double height(Control control) const override;
    void setTop(Control control, double value) override;
    void setWidth(Control control, double value) override;
    void setHeight(Control control, double value) override;

private:
    QWidget* widget(Control control) const;

    std::array<QWidget*, 9> widgets_;
    EventLogView* eventLog_;
};

} // namespace talkmere
