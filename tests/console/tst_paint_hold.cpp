// The windows' updates wait for the answer under way (PaintHold on the pool's AnswerGate).
#include "AnswerGate.h"
#include "PaintHold.h"

#include <QtTest>

using namespace talkmere;

namespace {

// Counts the update requests that reach it.
struct Window : QObject {
    int updates = 0;
    bool event(QEvent* e) override {
        updates += e->type() == QEvent::UpdateRequest ? 1 : 0;
        return QObject::event(e);
    }
};

} // namespace

class PaintHoldTest : public QObject {
    Q_OBJECT
private slots:
    // Repaints asked for during an answer come after it, once per window; outside an answer at
    // once. A window gone meanwhile is not asked.
    void updateRequestsWaitForTheAnswer() {
        AnswerGate gate;
        PaintHold hold(gate);
        Window window;
        auto* gone = new Window;
        {
            const AnswerGate::Answer answer = gate.answer(nullptr);
            for (int i = 0; i < 3; ++i) {
                QEvent now(QEvent::UpdateRequest);
                QCoreApplication::sendEvent(&window, &now);
                QCoreApplication::postEvent(gone, new QEvent(QEvent::UpdateRequest));
            }
            QCoreApplication::processEvents(); // a yield
            QCOMPARE(window.updates, 0);
            QCOMPARE(gone->updates, 0);
            delete gone;
        }
        QCOMPARE(window.updates, 0); // posted, not sent: after the answer, before what comes next
        QCoreApplication::processEvents();
        QCOMPARE(window.updates, 1);
        QEvent now(QEvent::UpdateRequest);
        QCoreApplication::sendEvent(&window, &now);
        QCOMPARE(window.updates, 2);
    }
};

QTEST_GUILESS_MAIN(PaintHoldTest)
#include "tst_paint_hold.moc"
