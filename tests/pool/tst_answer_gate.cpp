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

} // namespace

class AnswerGateTest : public QObject {
    Q_OBJECT
private slots:
    // The others wait for the answer and go on when it ends; one that was not reading stays as
    // it was, one that came during the answer waits too, one that closed is never resumed. Its
    // start and end are told once each.
    void theOthersWaitForTheAnswer() {
        AnswerGate gate;
        QSignalSpy started(&gate, &AnswerGate::answerStarted);
        QSignalSpy ended(&gate, &AnswerGate::answerEnded);
        Reader answerer, other, idle, latecomer, closing;
        idle.on = false;
        for (Reader* r : {&answerer, &other, &idle, &latecomer, &closing})
            gate.join(r);
        {
            const AnswerGate::Answer answer = gate.answer(&answerer);
            QVERIFY(gate.answering());
            QVERIFY(answerer.on);
            QVERIFY(!other.on && !closing.on);
            QCOMPARE(started.count(), 1);
            gate.hold(&latecomer);
            gate.hold(&latecomer);
            gate.forget(&closing);
        }
        QVERIFY(!gate.answering());
        QCOMPARE(ended.count(), 1);
        QCOMPARE(other.resumed, 1);
        QCOMPARE(latecomer.resumed, 1);
        QCOMPARE(idle.resumed, 0);
        QCOMPARE(closing.resumed, 0);
        QCOMPARE(answerer.resumed, 0);
    }

    // An event loop of someone's own inside an answer (a modal dialog) lets everything go on, the
    // answerer too, which had paused itself for its answer, and ends the answer for its watchers.
    void aWaitingLoopInsideAnAnswerOpensTheGate() {
        AnswerGate gate;
        QSignalSpy ended(&gate, &AnswerGate::answerEnded);
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
        QCOMPARE(ended.count(), 1);
        QCOMPARE(other.resumed, 1);
        QCOMPARE(answerer.resumed, 1);
    }
};

QTEST_GUILESS_MAIN(AnswerGateTest)
#include "tst_answer_gate.moc"
