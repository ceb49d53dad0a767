#pragma once

namespace talkmere {

// The main window's controls that the resize rule moves, seen in twips. Any call may throw; the
// rule then skips that one assignment.
class TwipControls {
public:
    enum Control {
        ClientTable,
        StartButton,
        StopButton,
        Status,
        EventLog,
        BytesSent,
        BytesReceived,
        SocketCount,
        DataEvents,
    };

    virtual double top(Control control) const = 0;
    virtual double height(Control control) const = 0;
    virtual void setTop(Control control, double value) = 0;
    virtual void setWidth(Control control, double value) = 0;
    virtual void setHeight(Control control, double value) = 0;

protected:
    ~TwipControls() = default;
};

// Lays the main window out for a client area of width x height twips: client table in the upper
// two thirds, event log under it, statistics rows under the log's real bottom edge, buttons and
// status label along the bottom. Each assignment is tried on its own; a negative size is never
// assigned, so a tiny or minimised window leaves those controls as they were.
void applyResizeRule(TwipControls& controls, double width, double height) noexcept;

} // namespace talkmere
