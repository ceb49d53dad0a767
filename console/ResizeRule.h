#pragma once

namespace talkmere {

// The main window's controls that the resize rule moves, seen in twips. The rule reads every
// height it uses back from here after the assignments before it, so a control that rounds what it
// is given (to whole pixels, to whole lines) places the ones after it by what it really shows.
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
        ControlCount, // not a control: how many there are
    };

    // Reads do not throw. An assignment may refuse by throwing: the control keeps what it had.
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
// status label along the bottom. A negative size is never assigned, so a tiny or minimised window
// leaves those sizes as they were; a refused assignment does not stop the ones after it. The rule
// itself, and the window's design, are in Layout.cpp.
void applyResizeRule(TwipControls& controls, double width, double height) noexcept;

} // namespace talkmere
