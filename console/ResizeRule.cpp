#include "ResizeRule.h"

#include <cmath>
#include <stdexcept>

namespace talkmere {

namespace {

// An assignment fails by throwing (a negative size, a place out of range); it is skipped on
// purpose, and the control keeps its previous place until the next resize.
template <typename Assignment> void attempt(Assignment&& assignment) {
    try {
        assignment();
    } catch (const std::exception&) {
    }
}

double nonNegative(double size) {
    if (size < 0)
        throw std::domain_error("negative size");
    return size;
}

// Two thirds of the height in whole twips: rounded half to even (nearbyint in the default
// rounding mode), a third with the fraction dropped, doubled.
double clientTableHeight(double height) {
    return static_cast<double>(static_cast<long long>(std::nearbyint(height)) / 3 * 2);
}

} // namespace

void applyResizeRule(TwipControls& c, double W, double H) noexcept {
    using C = TwipControls;
    attempt([&] { c.setTop(C::Status, H - c.height(C::Status)); });
    attempt([&] { c.setWidth(C::Status, nonNegative(W)); });
    attempt([&] {
        c.setTop(C::StartButton, H - c.height(C::Status) - c.height(C::StartButton) - 100);
    });
    attempt([&] { c.setTop(C::StopButton, c.top(C::StartButton)); });
    attempt([&] { c.setWidth(C::ClientTable, nonNegative(W)); });
    attempt([&] { c.setHeight(C::ClientTable, nonNegative(clientTableHeight(H))); });
    attempt([&] { c.setWidth(C::EventLog, nonNegative(W)); });
    attempt([&] { c.setTop(C::EventLog, c.height(C::ClientTable) + 50); });
    attempt([&] { c.setHeight(C::EventLog, nonNegative(H - c.height(C::ClientTable) - 850)); });
    // From here on the log's height is read back: it may show fewer lines than it was given.
    attempt(
        [&] { c.setTop(C::BytesSent, c.height(C::ClientTable) + c.height(C::EventLog) + 100); });
    attempt([&] {
        c.setTop(C::BytesReceived,
                 c.height(C::ClientTable) + c.height(C::EventLog) + c.height(C::BytesSent) + 100);
    });
    attempt([&] {
        c.setTop(C::SocketCount,
                 c.height(C::ClientTable) + c.height(C::EventLog) + c.height(C::BytesSent) + 100);
    });
    attempt(
        [&] { c.setTop(C::DataEvents, c.height(C::ClientTable) + c.height(C::EventLog) + 100); });
}

} // namespace talkmere
