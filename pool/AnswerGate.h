#pragma once

#include <QMetaObject>
#include <QObject>

#include <vector>

namespace talkmere {

// One arrival is answered at a time: while an answer is being sent (its sends and the yields
// after each of them), the other readers wait. They go on when the answer has been handed to
// everybody, or when an event loop of someone's own is about to wait inside it (a modal dialog
// opened from a yield), the answerer too. Part of the one-arrival rule (app/main.cpp).
class AnswerGate : public QObject {
    Q_OBJECT
public:
    // A connection whose arrivals can wait.
    class Reader {
    public:
        virtual bool reading() const = 0; // its arrivals are being watched right now
        virtual void pauseReading() = 0;
        virtual void resumeReading() = 0;

    protected:
        ~Reader() = default;
    };

    // An answer under way; the gate opens when it goes.
    class Answer {
    public:
        explicit Answer(AnswerGate& gate) : gate_(&gate) {}
        ~Answer() { gate_->open(); }
        Answer(const Answer&) = delete;
        Answer& operator=(const Answer&) = delete;

    private:
        AnswerGate* gate_;
    };

    AnswerGate();
    ~AnswerGate() override;

    void join(Reader* reader);
    // Closed: never resumed, not even by an answer under way.
    void forget(Reader* reader);

    bool answering() const { return answering_; }
    // Starts `answerer`'s answer: the others that are reading now wait for it.
    [[nodiscard]] Answer answer(Reader* answerer);
    // Waits for the answer under way (a reader that came, or woke, during it).
    void hold(Reader* reader);

signals:
    // For whoever else waits for answers. Ended comes once per answer, also when a loop of
    // someone's own opens the gate inside it.
    void answerStarted();
    void answerEnded();

private:
    void open();

    bool answering_ = false;
    Reader* answerer_ = nullptr; // resumes itself when its answer ends
    std::vector<Reader*> readers_;
    std::vector<Reader*> held_;
    QMetaObject::Connection waiting_;
};

} // namespace talkmere
