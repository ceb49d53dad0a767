// The main window's resize rule, computed in twips on stand-in controls, so exact twip values
// (fractions of a pixel) can be checked.

#include "ResizeRule.h"

#include <QTest>

#include <array>
#include <cmath>
#include <optional>
#include <stdexcept>

using namespace talkmere;
using C = TwipControls;

namespace {

struct Box {
    double top = 0, width = 0, height = 0;
};

// Controls that take every value as given, except that the event log may keep to whole lines and
// any one assignment may be made to fail.
class FakeControls final : public TwipControls {
public:
    FakeControls() {
        // The design heights.
        at(ClientTable).height = 2655;
        at(StartButton).height = 375;
        at(StopButton).height = 375;
        at(Status).height = 255;
        at(EventLog).height = 1815;
        at(BytesSent).height = 255;
        at(BytesReceived).height = 255;
        at(SocketCount).height = 255;
        at(DataEvents).height = 255;
    }

    Box& at(Control c) { return boxes[static_cast<size_t>(c)]; }

    double top(Control c) const override { return boxes[static_cast<size_t>(c)].top; }
    double height(Control c) const override { return boxes[static_cast<size_t>(c)].height; }
    void setTop(Control c, double v) override {
        failIfAsked(c);
        at(c).top = v;
    }
    void setWidth(Control c, double v) override {
        failIfAsked(c);
        if (v < 0)
            throw std::domain_error("negative");
        at(c).width = v;
    }
    void setHeight(Control c, double v) override {
        failIfAsked(c);
        if (v < 0)
            throw std::domain_error("negative");
        if (c == EventLog && logLine > 0)
            v = logFrame + std::floor((v - logFrame) / logLine) * logLine;
        at(c).height = v;
    }

    std::array<Box, 9> boxes{};
    double logLine = 0; // when set, the log shows whole lines of this height plus logFrame
    double logFrame = 0;
    std::optional<Control> failing;

private:
    void failIfAsked(Control c) const {
        if (failing == c)
            throw std::runtime_error("refused");
    }
};

} // namespace

class ResizeRuleTest : public QObject {
    Q_OBJECT
private slots:
    void firstSizeOfTheWindow();
    void clientTableHeightIsTwoWholeThirds_data();
    void clientTableHeightIsTwoWholeThirds();
    void rowsFollowTheLogsRealBottomEdge();
    void tooSmallKeepsTheLogHeightAndPlacesTheRest();
    void oneFailingAssignmentDoesNotStopTheOthers();
};

void ResizeRuleTest::firstSizeOfTheWindow() {
    FakeControls c;
    applyResizeRule(c, 9285, 6930);
    QCOMPARE(c.at(C::ClientTable).width, 9285.0);
    QCOMPARE(c.at(C::ClientTable).height, 4620.0);
    QCOMPARE(c.at(C::EventLog).top, 4670.0);
    QCOMPARE(c.at(C::EventLog).width, 9285.0);
    QCOMPARE(c.at(C::EventLog).height, 1460.0);
    QCOMPARE(c.at(C::StartButton).top, 6200.0);
    QCOMPARE(c.at(C::StopButton).top, 6200.0);
    QCOMPARE(c.at(C::Status).top, 6675.0);
    QCOMPARE(c.at(C::Status).width, 9285.0);
    QCOMPARE(c.at(C::BytesSent).top, 6180.0);
    QCOMPARE(c.at(C::DataEvents).top, 6180.0);
    QCOMPARE(c.at(C::BytesReceived).top, 6435.0);
    QCOMPARE(c.at(C::SocketCount).top, 6435.0);
}

void ResizeRuleTest::clientTableHeightIsTwoWholeThirds_data() {
    QTest::addColumn<double>("H");
    QTest::addColumn<double>("expected");
    QTest::newRow("6935: a third is not whole") << 6935.0 << 4622.0;
    QTest::newRow("6932.5: half rounds to even 6932") << 6932.5 << 4620.0;
    QTest::newRow("6933.5: half rounds to even 6934") << 6933.5 << 4622.0;
    QTest::newRow("6932.6 rounds up") << 6932.6 << 4622.0;
}

void ResizeRuleTest::clientTableHeightIsTwoWholeThirds() {
    QFETCH(double, H);
    QFETCH(double, expected);
    FakeControls c;
    applyResizeRule(c, 9285, H);
    QCOMPARE(c.at(C::ClientTable).height, expected);
    QCOMPARE(c.at(C::EventLog).top, expected + 50);
    QCOMPARE(c.at(C::EventLog).height, H - expected - 850);
}

void ResizeRuleTest::rowsFollowTheLogsRealBottomEdge() {
    FakeControls c;
    c.logLine = 195;
    c.logFrame = 60;
    applyResizeRule(c, 9285, 6930);
    // 1460 given; 60 + 7 x 195 = 1425 taken.
    QCOMPARE(c.at(C::EventLog).height, 1425.0);
    QCOMPARE(c.at(C::BytesSent).top, 4620.0 + 1425 + 100);
    QCOMPARE(c.at(C::DataEvents).top, 4620.0 + 1425 + 100);
    QCOMPARE(c.at(C::BytesReceived).top, 4620.0 + 1425 + 255 + 100);
    QCOMPARE(c.at(C::SocketCount).top, 4620.0 + 1425 + 255 + 100);
}

void ResizeRuleTest::tooSmallKeepsTheLogHeightAndPlacesTheRest() {
    FakeControls c;
    applyResizeRule(c, 9285, 6930);
    applyResizeRule(c, 3000, 900); // 900 - 600 - 850 < 0
    QCOMPARE(c.at(C::EventLog).height, 1460.0);
    QCOMPARE(c.at(C::ClientTable).height, 600.0);
    QCOMPARE(c.at(C::ClientTable).width, 3000.0);
    QCOMPARE(c.at(C::EventLog).top, 650.0);
    QCOMPARE(c.at(C::EventLog).width, 3000.0);
    QCOMPARE(c.at(C::Status).top, 645.0);
    QCOMPARE(c.at(C::StartButton).top, 170.0);
    QCOMPARE(c.at(C::BytesSent).top, 600.0 + 1460 + 100);
    QCOMPARE(c.at(C::BytesReceived).top, 600.0 + 1460 + 255 + 100);

    // Minimised: nothing of the client area is left. Widths and heights stay, tops still move,
    // and restoring puts everything back.
    applyResizeRule(c, 0, 0);
    QCOMPARE(c.at(C::ClientTable).height, 0.0);
    QCOMPARE(c.at(C::EventLog).height, 1460.0);
    QCOMPARE(c.at(C::Status).top, -255.0);
    applyResizeRule(c, -30, -15);
    QCOMPARE(c.at(C::Status).width, 0.0);
    QCOMPARE(c.at(C::ClientTable).height, 0.0);
    applyResizeRule(c, 9285, 6930);
    QCOMPARE(c.at(C::EventLog).height, 1460.0);
    QCOMPARE(c.at(C::StartButton).top, 6200.0);
    QCOMPARE(c.at(C::BytesReceived).top, 6435.0);
}

void ResizeRuleTest::oneFailingAssignmentDoesNotStopTheOthers() {
    FakeControls c;
    c.at(C::StartButton).top = 4800;
    c.failing = C::StartButton;
    applyResizeRule(c, 9285, 6930);
    // The stop button copies the start button's top as it is now.
    QCOMPARE(c.at(C::StopButton).top, 4800.0);
    QCOMPARE(c.at(C::Status).top, 6675.0);
    QCOMPARE(c.at(C::SocketCount).top, 6435.0);

    FakeControls d;
    d.failing = C::EventLog;
    applyResizeRule(d, 9285, 6930);
    QCOMPARE(d.at(C::EventLog).height, 1815.0);
    QCOMPARE(d.at(C::BytesSent).top, 4620.0 + 1815 + 100);
}

QTEST_APPLESS_MAIN(ResizeRuleTest)
#include "tst_resize_rule.moc"
