#include "Layout.h"

#include "Twips.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>

namespace talkmere {

namespace {

using C = TwipControls;

// Two thirds of the height in whole twips: rounded half to even (nearbyint in the default
// rounding mode), a third with the fraction dropped, doubled.
double clientTableHeight(double height) {
    return static_cast<double>(static_cast<long long>(std::nearbyint(height)) / 3 * 2);
}

// A size that would be negative is not given at all: the control keeps the one it has.
std::optional<double> size(double value) {
    if (value < 0)
        return std::nullopt;
    return value;
}

// The resize rule. Its order matters: each height on a right-hand side is read back after the
// assignments before it, so what follows a rounded or kept size is placed by what is shown.
void resizeRule(TwipControls& c, double W, double H) {
    const std::optional<double> width = size(W);
    c.setTop(C::Status, H - c.height(C::Status));
    if (width)
        c.setWidth(C::Status, *width);
    c.setTop(C::StartButton, H - c.height(C::Status) - c.height(C::StartButton) - 100);
    c.setTop(C::StopButton, c.top(C::StartButton));
    if (width)
        c.setWidth(C::ClientTable, *width);
    if (const std::optional<double> table = size(clientTableHeight(H)))
        c.setHeight(C::ClientTable, *table);
    if (width)
        c.setWidth(C::EventLog, *width);
    c.setTop(C::EventLog, c.height(C::ClientTable) + 50);
    if (const std::optional<double> log = size(H - c.height(C::ClientTable) - 850))
        c.setHeight(C::EventLog, *log);
    // The log may show fewer lines than it was given: the rows go under its real bottom edge.
    const double table = c.height(C::ClientTable);
    const double log = c.height(C::EventLog);
    const double row = c.height(C::BytesSent);
    c.setTop(C::BytesSent, table + log + 100);
    c.setTop(C::BytesReceived, table + log + row + 100);
    c.setTop(C::SocketCount, table + log + row + 100);
    c.setTop(C::DataEvents, table + log + 100);
}

// The controls as the widgets take what they are given, so that reading back from here is reading
// back from the window: whole pixels, and the log whole lines.
class Taken final : public TwipControls {
public:
    Taken(const MainLayout& before, LogLines log) : layout_(before), log_(log) {}

    const MainLayout& layout() const { return layout_; }

    double top(Control control) const override { return at(control).top; }
    double height(Control control) const override { return at(control).height; }
    void setTop(Control control, double value) override { at(control).top = whole(value); }
    void setWidth(Control control, double value) override { at(control).width = whole(value); }
    void setHeight(Control control, double value) override {
        double height = whole(value);
        if (control == EventLog)
            height = wholeLines(static_cast<int>(height), log_.lineHeight, log_.frame);
        at(control).height = height;
    }

private:
    static double whole(double value) { return twips::fromPixels(twips::toPixels(value)); }
    TwipRect& at(Control control) { return layout_[static_cast<size_t>(control)]; }
    const TwipRect& at(Control control) const { return layout_[static_cast<size_t>(control)]; }

    MainLayout layout_;
    LogLines log_;
};

// Controls that may refuse an assignment by throwing: the refused one keeps what it had and the
// rule goes on, reading back what is shown.
class Refusable final : public TwipControls {
public:
    explicit Refusable(TwipControls& controls) : controls_(controls) {}

    double top(Control control) const override { return controls_.top(control); }
    double height(Control control) const override { return controls_.height(control); }
    void setTop(Control control, double value) override {
        tryTo([&] { controls_.setTop(control, value); });
    }
    void setWidth(Control control, double value) override {
        tryTo([&] { controls_.setWidth(control, value); });
    }
    void setHeight(Control control, double value) override {
        tryTo([&] { controls_.setHeight(control, value); });
    }

private:
    template <typename Assignment> static void tryTo(Assignment&& assignment) noexcept {
        try {
            assignment();
        } catch (const std::exception&) {
        }
    }

    TwipControls& controls_;
};

} // namespace

int wholeLines(int given, int lineHeight, int frame) {
    if (lineHeight <= 0)
        return given;
    const int lines = std::max(0, (given - frame) / lineHeight);
    return std::min(given, frame + lines * lineHeight);
}

MainLayout designLayout() {
    MainLayout design;
    design[C::ClientTable] = {0, 0, 7695, 2655};
    design[C::StartButton] = {120, 4800, 1095, 375};
    design[C::StopButton] = {1320, 4800, 1095, 375};
    design[C::Status] = {0, 5640, 2295, 255};
    design[C::EventLog] = {0, 2760, 7695, 1815};
    design[C::BytesSent] = {2520, 4800, 2535, 255};
    design[C::BytesReceived] = {2520, 5040, 2655, 255};
    design[C::SocketCount] = {5160, 5040, 2535, 255};
    design[C::DataEvents] = {5160, 4680, 2655, 255};
    return design;
}

MainLayout layoutFor(double width, double height, LogLines log, const MainLayout& before) noexcept {
    Taken controls(before, log);
    resizeRule(controls, width, height);
    return controls.layout();
}

void applyResizeRule(TwipControls& controls, double width, double height) noexcept {
    Refusable refusable(controls);
    resizeRule(refusable, width, height);
}

} // namespace talkmere
