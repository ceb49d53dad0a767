// lstEvents over the event log: it catches up only on refresh (the 100 ms tick), brings an
// appended-and-selected line into view, leaves an append-only line's neighbours alone, follows
// the mouse and the keys, copies the selected line, reads as a list to assistive technology, and
// stays usable when the log is full and drops its oldest lines.

#include "AnswerGate.h"
#include "EventLog.h"
#include "EventLogView.h"
#include "PaintHold.h"

#include <QAccessible>
#include <QBackingStore>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QMenu>
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

// A view ten lines high, shown. Given `lines`, the log has "line 0" onwards (each selected as it
// is appended, if `select`), and the view has caught up with them.
struct Rig {
    explicit Rig(qsizetype lines = 0, bool select = false) : view(log) {
        view.resize(300, view.wholeLinesHeight(10 * view.lineHeight() + 2 * view.frameWidth()));
        view.show();
        if (lines == 0)
            return;
        for (qsizetype i = 0; i < lines; ++i)
            if (select)
                log.appendAndSelect(numbered(i));
            else
                log.appendOnly(numbered(i));
        view.refresh();
    }
    void appendSelectedAndRefresh(const QByteArray& line) {
        log.appendAndSelect(line);
        view.refresh();
    }
    int rows() const { return view.visibleLines(); }
    QPoint pointAtRow(int row) const {
        return {10, row * view.lineHeight() + view.lineHeight() / 2};
    }

    EventLog log;
    EventLogView view;
};

// The context menu as a right-click at `point` opens it; the caller closes it.
QMenu* contextMenu(Rig& r, QPoint point) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, point, r.view.viewport()->mapToGlobal(point));
    QCoreApplication::sendEvent(r.view.viewport(), &event);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr)
        qFatal("no context menu");
    return menu;
}

} // namespace

class EventLogViewTest : public QObject {
    Q_OBJECT
private slots:
    void catchesUpOnlyOnRefresh();
    void appendAndSelectBringsTheNewLineIntoView();
    void appendOnlyLeavesSelectionAndScrollAlone();
    void mouseSelectsTheLineUnderIt();
    void pageKeysMoveTheSelectionByAPage();
    void copiesTheSelectedLineAsShown();
    void readsAsAListWhoseSelectedLineIsFocused();
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
    Rig r(100, true);
    QCOMPARE(r.log.selected(), 99);
    QCOMPARE(r.view.firstVisibleLine(), 90);

    // Scrolled away by the operator, the next selected line brings the view back to the end.
    r.view.verticalScrollBar()->setValue(0);
    r.appendSelectedAndRefresh("Data on client 1 : hello");
    QCOMPARE(r.log.selected(), 100);
    QCOMPARE(r.view.firstVisibleLine(), 91);
}

void EventLogViewTest::appendOnlyLeavesSelectionAndScrollAlone() {
    Rig r(30, true);
    r.view.verticalScrollBar()->setValue(5);
    QTest::mouseClick(r.view.viewport(), Qt::LeftButton, {}, r.pointAtRow(2));
    QCOMPARE(r.log.selected(), 7);

    r.log.appendOnly("Start() failed");
    r.log.appendOnly("Shutdown() failed");
    r.view.refresh();
    QCOMPARE(r.log.selected(), 7);
    QCOMPARE(r.view.firstVisibleLine(), 5);
    QCOMPARE(r.view.verticalScrollBar()->maximum(), 22);

    r.appendSelectedAndRefresh("Data on client 2 : hi");
    QCOMPARE(r.log.selected(), 32);
    QCOMPARE(r.view.firstVisibleLine(), 23);
}

void EventLogViewTest::mouseSelectsTheLineUnderIt() {
    Rig r(5, false);
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

void EventLogViewTest::pageKeysMoveTheSelectionByAPage() {
    Rig r(35, false);
    // With nothing selected, the first page key picks the bottom or top line on screen.
    QTest::keyClick(&r.view, Qt::Key_PageDown);
    QCOMPARE(r.log.selected(), 9);
    r.log.select(-1);
    r.view.verticalScrollBar()->setValue(5);
    QTest::keyClick(&r.view, Qt::Key_PageUp);
    QCOMPARE(r.log.selected(), 5);
    QTest::keyClick(&r.view, Qt::Key_PageDown);
    QCOMPARE(r.log.selected(), 15);
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(&r.view, Qt::Key_PageDown);
    QCOMPARE(r.log.selected(), 34); // stops at the last line
    QTest::keyClick(&r.view, Qt::Key_PageUp);
    QCOMPARE(r.log.selected(), 24);
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(&r.view, Qt::Key_PageUp);
    QCOMPARE(r.log.selected(), 0);
}

void EventLogViewTest::copiesTheSelectedLineAsShown() {
    Rig r;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("before"));
    r.log.appendOnly("Data on client 1 : a\tb\r\n");
    r.log.appendOnly("Data on client 2 : caf\xc3\xa9 \xff!");
    r.view.refresh();

    // Nothing selected: nothing is copied, and the menu item says so.
    QTest::keyClick(&r.view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), QStringLiteral("before"));
    QMenu* menu = contextMenu(r, r.pointAtRow(0));
    QCOMPARE(menu->actions().front()->text(), QStringLiteral("Copy"));
    QVERIFY(!menu->actions().front()->isEnabled());
    delete menu;

    QTest::mouseClick(r.view.viewport(), Qt::LeftButton, {}, r.pointAtRow(0));
    QTest::keyClick(&r.view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), QStringLiteral("Data on client 1 : a b  "));

    // The menu copies the selected line, not the one under a right-click.
    QTest::mouseClick(r.view.viewport(), Qt::LeftButton, {}, r.pointAtRow(1));
    menu = contextMenu(r, r.pointAtRow(0));
    QAction* copy = menu->actions().front();
    QVERIFY(copy->isEnabled());
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(copy).center());
    QCOMPARE(clipboard->text(), QString::fromUtf8("Data on client 2 : caf\xc3\xa9 \xef\xbf\xbd!"));
    QCOMPARE(r.log.selected(), 1);
}

void EventLogViewTest::readsAsAListWhoseSelectedLineIsFocused() {
    Rig r;
    for (int i = 0; i < 30; ++i)
        r.log.appendAndSelect(numbered(i));
    r.log.appendAndSelect("Data on client 3 : a\tb \xff");
    r.view.refresh();
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&r.view);
    QVERIFY(list != nullptr);
    QCOMPARE(list->role(), QAccessible::List);
    QCOMPARE(list->childCount(), 31);
    QAccessibleInterface* last = list->child(30);
    QCOMPARE(last->role(), QAccessible::ListItem);
    QCOMPARE(last->text(QAccessible::Name),
             QString::fromUtf8("Data on client 3 : a b \xef\xbf\xbd"));
    QVERIFY(last->state().selected && last->state().focused && !last->state().offscreen);
    QCOMPARE(list->focusChild(), last);
    QCOMPARE(list->indexOfChild(last), 30);
    QCOMPARE(list->childAt(last->rect().center().x(), last->rect().center().y()), last);
    QAccessibleInterface* first = list->child(0);
    QCOMPARE(first->text(QAccessible::Name), QStringLiteral("line 0"));
    QVERIFY(!first->state().selected && !first->state().focused && first->state().offscreen);

    // The operator moves the selection: the focused item follows.
    QTest::keyClick(&r.view, Qt::Key_Up);
    QCOMPARE(list->focusChild()->text(QAccessible::Name), QStringLiteral("line 29"));
    QVERIFY(!last->state().focused);

    // A line that leaves the full log takes its item with it; the others keep their lines.
    for (qsizetype i = r.log.count(); i < EventLog::kMaxLines; ++i)
        r.log.appendOnly(numbered(i));
    const QAccessible::Id firstId = QAccessible::uniqueId(first);
    r.log.appendOnly("one too many");
    QVERIFY(!first->isValid());
    QCOMPARE(list->child(0)->text(QAccessible::Name), QStringLiteral("line 1"));
    QCOMPARE(QAccessible::accessibleInterface(firstId), nullptr);
    QCOMPARE(list->indexOfChild(last), 29);
    QCOMPARE(last->text(QAccessible::Name),
             QString::fromUtf8("Data on client 3 : a b \xef\xbf\xbd"));
}

void EventLogViewTest::keepsTheSameLinesOnScreenWhenTheFullLogDropsOld() {
    const qsizetype full = EventLog::kMaxLines;
    QCOMPARE(full, 32767);
    Rig r(full);
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
    r.appendSelectedAndRefresh("newest");
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

    // Inside an answer (a fan-out's yields, which never wait) the rows' repaints wait for it.
    r.view.verticalScrollBar()->setValue(r.view.verticalScrollBar()->maximum());
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 5000);
    rows.areas.clear();
    AnswerGate gate;
    PaintHold hold(gate);
    {
        const AnswerGate::Answer answer = gate.answer(nullptr);
        r.log.appendAndSelect("Data on client 2 : during an answer");
        r.view.refresh();
        QElapsedTimer yielding;
        yielding.start();
        while (yielding.elapsed() < 100)
            QCoreApplication::processEvents();
        QVERIFY(rows.areas.isEmpty());
    }
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 5000);
    QVERIFY(!rows.areas.isEmpty());
}

QTEST_MAIN(EventLogViewTest)
#include "tst_event_log_view.moc"
