// The one-answer-at-a-time rule on its own: who waits for an answer, and when they go on.
#include "AnswerGate.h"

#include <QEventLoop>
#include <QTimer>
#include <QtTest>

using namespace talkmere;

namespace {

struct Reader : AnswerGate::Reader {
    bool on = true;
    int resumed = 0;
    bool reading() const override { return on; }
    void pauseReading() override { on = false; }
    void resumeReading() override {
        on = true;
        ++resumed;
    }
};

// Counts the update requests that reach it.
struct Window : QObject {
    int updates = 0;
    bool event(QEvent* e) override {
        updates += e->type() == QEvent::UpdateRequest ? 1 : 0;
        return QObject::event(e);
    }
};

} // namespace

class AnswerGateTest : public QObject {
    Q_OBJECT
private slots:
    // The others wait for the answer and go on when it ends; one that was not reading stays as
    // it was, one that came during the answer waits too, one that closed is never resumed.
    void theOthersWaitForTheAnswer() {
        AnswerGate gate;
        Reader answerer, other, idle, latecomer, closing;
        idle.on = false;
        for (Reader* r : {&answerer, &other, &idle, &latecomer, &closing})
            gate.join(r);
        {
            const AnswerGate::Answer answer = gate.answer(&answerer);
            QVERIFY(gate.answering());
            QVERIFY(answerer.on);
            QVERIFY(!other.on && !closing.on);
            gate.hold(&latecomer);
            gate.hold(&latecomer);
            gate.forget(&closing);
        }
        QVERIFY(!gate.answering());
        QCOMPARE(other.resumed, 1);
        QCOMPARE(latecomer.resumed, 1);
        QCOMPARE(idle.resumed, 0);
        QCOMPARE(closing.resumed, 0);
        QCOMPARE(answerer.resumed, 0);
    }

    // Repaints asked for during an answer come after it, once per window; outside an answer at
    // once. A window gone meanwhile is not asked.
    void updateRequestsWaitForTheAnswer() {
        AnswerGate gate;
        Reader answerer;
        Window window;
        auto* gone = new Window;
        {
            const AnswerGate::Answer answer = gate.answer(&answerer);
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

    // An event loop of someone's own inside an answer (a modal dialog) lets everything go on, the
    // answerer too, which had paused itself for its answer.
    void aWaitingLoopInsideAnAnswerOpensTheGate() {
        AnswerGate gate;
        Reader answerer, other;
        gate.join(&answerer);
        gate.join(&other);
        const AnswerGate::Answer answer = gate.answer(&answerer);
        answerer.on = false;
        QVERIFY(!other.on);
        QEventLoop modal;
        QTimer::singleShot(50, &modal, &QEventLoop::quit);
        modal.exec();
        QVERIFY(!gate.answering());
        QCOMPARE(other.resumed, 1);
        QCOMPARE(answerer.resumed, 1);
    }
};

QTEST_GUILESS_MAIN(AnswerGateTest)
#include "answer_gate_test.moc"
