// lstEvents over the event log: it catches up only on refresh (the 100 ms tick), brings an
// appended-and-selected line into view, leaves an append-only line's neighbours alone, follows
// the mouse, and stays usable when the log is full and drops its oldest lines.

#include "EventLog.h"
#include "EventLogView.h"

#include <QBackingStore>
#include <QPaintEvent>
#include <QScrollBar>
#include <QTest>

using namespace talkmere;

namespace {

QByteArray numbered(qsizetype i) {
    return "line " + QByteArray::number(i);
}

bool grabbing = false;

// What a full paint of the widget looks like now, which the paint recorders do not count.
QImage rendered(QWidget* widget) {
    grabbing = true;
    QImage image = widget->grab().toImage();
    grabbing = false;
    return image;
}

// The paints that one widget receives on screen, by the area each covered.
struct PaintRecorder : QObject {
    explicit PaintRecorder(QWidget* widget) { widget->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !grabbing)
            areas.append(static_cast<QPaintEvent*>(event)->rect());
        return false;
    }
    QList<QRect> areas;
};

// What the window really shows of a widget: its part of the window's backing store.
QImage onScreen(QWidget* widget) {
    const auto* image = dynamic_cast<QImage*>(widget->window()->backingStore()->paintDevice());
    return image ? image->copy(QRect(widget->mapTo(widget->window(), QPoint()), widget->size()))
                 : QImage();
}

// A view ten lines high, shown.
struct Rig {
    Rig() : view(log) {
        view.resize(300, view.wholeLinesHeight(10 * view.lineHeight() + 2 * view.frameWidth()));
        view.show();
    }
    int rows() const { return view.visibleLines(); }
    QPoint pointAtRow(int row) const {
        return {10, row * view.lineHeight() + view.lineHeight() / 2};
    }

    EventLog log;
    EventLogView view;
};

} // namespace

class EventLogViewTest : public QObject {
    Q_OBJECT
private slots:
    void catchesUpOnlyOnRefresh();
    void appendAndSelectBringsTheNewLineIntoView();
    void appendOnlyLeavesSelectionAndScrollAlone();
    void mouseSelectsTheLineUnderIt();
    void keepsTheSameLinesOnScreenWhenTheFullLogDropsOld();
    void takesWholeLinesOfTheHeightGiven();
    void drawsControlsAsSpacesAndLongLinesToTheEdge();
    void repaintsOnlyTheRowsThatChangedOneAtATime();
};

void EventLogViewTest::catchesUpOnlyOnRefresh() {
    Rig r;
    QCOMPARE(r.rows(), 10);
    for (int i = 0; i < 50; ++i)
        r.log.appendOnly(numbered(i));
    QCOMPARE(r.view.verticalScrollBar()->maximum(), 0);
    r.view.refresh();
    QCOMPARE(r.view.verticalScrollBar()->maximum(), 40);
    QCOMPARE(r.view.firstVisibleLine(), 0);
}

void EventLogViewTest::appendAndSelectBringsTheNewLineIntoView() {
    Rig r;
    for (int i = 0; i < 100; ++i)
        r.log.appendAndSelect(numbered(i));
    r.view.refresh();
    QCOMPARE(r.log.selected(), 99);
    QCOMPARE(r.view.firstVisibleLine(), 90);

    // Scrolled away by the operator, the next selected line brings the view back to the end.
    r.view.verticalScrollBar()->setValue(0);
    r.log.appendAndSelect("Data on client 1 : hello");
    r.view.refresh();
    QCOMPARE(r.log.selected(), 100);
    QCOMPARE(r.view.firstVisibleLine(), 91);
}

void EventLogViewTest::appendOnlyLeavesSelectionAndScrollAlone() {
    Rig r;
    for (int i = 0; i < 30; ++i)
        r.log.appendAndSelect(numbered(i));
    r.view.refresh();
    r.view.verticalScrollBar()->setValue(5);
    QTest::mouseClick(r.view.viewport(), Qt::LeftButton, {}, r.pointAtRow(2));
    QCOMPARE(r.log.selected(), 7);

    r.log.appendOnly("Start() failed");
    r.log.appendOnly("Shutdown() failed");
    r.view.refresh();
    QCOMPARE(r.log.selected(), 7);
    QCOMPARE(r.view.firstVisibleLine(), 5);
    QCOMPARE(r.view.verticalScrollBar()->maximum(), 22);

    r.log.appendAndSelect("Data on client 2 : hi");
    r.view.refresh();
    QCOMPARE(r.log.selected(), 32);
    QCOMPARE(r.view.firstVisibleLine(), 23);
}

void EventLogViewTest::mouseSelectsTheLineUnderIt() {
    Rig r;
    for (int i = 0; i < 5; ++i)
        r.log.appendOnly(numbered(i));
    r.view.refresh();
    QCOMPARE(r.log.selected(), -1);
    QTest::mouseClick(r.view.viewport(), Qt::LeftButton, {}, r.pointAtRow(3));
    QCOMPARE(r.log.selected(), 3);
    // Below the last line there is nothing to select.
    QTest::mouseClick(r.view.viewport(), Qt::LeftButton, {}, r.pointAtRow(8));
    QCOMPARE(r.log.selected(), 3);
    QTest::keyClick(&r.view, Qt::Key_Up);
    QCOMPARE(r.log.selected(), 2);
    QTest::keyClick(&r.view, Qt::Key_End);
    QCOMPARE(r.log.selected(), 4);
}

void EventLogViewTest::keepsTheSameLinesOnScreenWhenTheFullLogDropsOld() {
    Rig r;
    const qsizetype full = EventLog::kMaxLines;
    QCOMPARE(full, 32767);
    for (qsizetype i = 0; i < full; ++i)
        r.log.appendOnly(numbered(i));
    r.view.refresh();
    r.view.verticalScrollBar()->setValue(1000);
    QCOMPARE(r.log.line(r.view.firstVisibleLine()), numbered(1000));

    for (qsizetype i = full; i < full + 300; ++i)
        r.log.appendOnly(numbered(i));
    r.view.refresh();
    QCOMPARE(r.log.count(), full);
    QCOMPARE(r.view.verticalScrollBar()->maximum(), static_cast<int>(full - r.rows()));
    QCOMPARE(r.log.line(r.view.firstVisibleLine()), numbered(1000));

    // Lines keep leaving the top between ticks; a click still selects the line the row shows.
    for (qsizetype i = full + 300; i < full + 305; ++i)
        r.log.appendOnly(numbered(i));
    QTest::mouseClick(r.view.viewport(), Qt::LeftButton, {}, r.pointAtRow(2));
    QCOMPARE(r.log.line(r.log.selected()), numbered(1002));

    // The newest line, selected, is in view at the very end.
    r.log.appendAndSelect("newest");
    r.view.refresh();
    QCOMPARE(r.log.selected(), full - 1);
    QCOMPARE(r.view.firstVisibleLine(), full - r.rows());
    QCOMPARE(r.log.line(r.view.firstVisibleLine() + r.rows() - 1), QByteArray("newest"));
}

void EventLogViewTest::takesWholeLinesOfTheHeightGiven() {
    EventLog log;
    EventLogView view(log);
    const int frame = 2 * view.frameWidth();
    const int line = view.lineHeight();
    QCOMPARE(view.wholeLinesHeight(frame + 7 * line), frame + 7 * line);
    QCOMPARE(view.wholeLinesHeight(frame + 8 * line - 1), frame + 7 * line);
    QVERIFY(view.wholeLinesHeight(frame - 1) <= frame - 1);
}

void EventLogViewTest::drawsControlsAsSpacesAndLongLinesToTheEdge() {
    Rig plain;
    Rig controls;
    plain.log.appendOnly("a b  c");
    controls.log.appendOnly("a\tb\r\nc");
    plain.view.refresh();
    controls.view.refresh();
    QCOMPARE(controls.view.viewport()->grab().toImage(), plain.view.viewport()->grab().toImage());

    // Only what fits is drawn, but that must still reach the right edge, narrow glyphs included,
    // and text that is not plain ASCII as well.
    for (const QByteArray unit : {"|", ".", "i", "W", "\xc3\xa9", "\xe2\x80\x94"}) {
        Rig r;
        r.log.appendOnly(unit.repeated(100000 / unit.size()));
        r.view.refresh();
        const QImage image = r.view.viewport()->grab().toImage();
        const QRgb background = image.pixel(image.width() - 1, 5 * r.view.lineHeight());
        bool inkNearTheEdge = false;
        for (int x = image.width() - 14; x < image.width() - 2; ++x)
            for (int y = 0; y < r.view.lineHeight(); ++y)
                inkNearTheEdge |= image.pixel(x, y) != background;
        QVERIFY2(inkNearTheEdge, unit.constData());
    }
}

void EventLogViewTest::repaintsOnlyTheRowsThatChangedOneAtATime() {
    Rig r;
    QVERIFY(QTest::qWaitForWindowExposed(&r.view));
    QWidget* viewport = r.view.viewport();
    const auto settled = [&] { return onScreen(viewport) == rendered(viewport); };
    for (qsizetype i = 0; i < EventLog::kMaxLines; ++i)
        r.log.appendAndSelect(numbered(i));
    r.view.refresh();
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 5000);
    QVERIFY(!onScreen(viewport).isNull());
    QTest::qWait(50); // the scroll bar's own first paint, which may come later

    // At the end of a full log, new lines move every row; the scroll bar stays where it was.
    PaintRecorder rows(viewport);
    PaintRecorder scrollBar(r.view.verticalScrollBar());
    for (int i = 0; i < 3; ++i)
        r.log.appendAndSelect("Data on client 1 : newer " + QByteArray::number(i));
    r.view.refresh();
    QVERIFY(rows.areas.isEmpty()); // nothing is painted inside the tick itself
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 5000);
    QVERIFY(rows.areas.size() >= r.rows());
    for (const QRect& area : rows.areas)
        QCOMPARE(area.height(), r.view.lineHeight());
    QVERIFY(scrollBar.areas.isEmpty());

    // Scrolled back, lines added at the end change nothing on screen.
    r.view.verticalScrollBar()->setValue(1000);
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 5000);
    rows.areas.clear();
    r.log.appendOnly("Start() failed");
    r.view.refresh();
    QTest::qWait(50);
    QVERIFY(rows.areas.isEmpty());

    // A click moves the selection: the two rows it touches are repainted, nothing else.
    QTest::mouseClick(viewport, Qt::LeftButton, {}, r.pointAtRow(4));
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 5000);
    QCOMPARE(rows.areas.size(), 1); // the old selection is far below, off screen
    QCOMPARE(rows.areas.front().top(), 4 * r.view.lineHeight());
}

QTEST_MAIN(EventLogViewTest)
#include "tst_event_log_view.moc"
