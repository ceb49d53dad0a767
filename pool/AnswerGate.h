#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <vector>

namespace talkmere {

// One arrival is answered at a time. While an answer is being sent (its sends and the yields
// after each of them), the other clients' arrivals wait, and so do the update requests that
// repaint windows: answers go out in the order the texts came, however long a flood lasts, and no
// paint or display round trip stretches a fan-out. New connections, progress, timers and input
// still run in the yields; a client's own closure or failure does not: it is read from the event
// loop (a failed write too, after what the client had sent before it), as an arrival that waits
// its turn behind the answer. What waited is let go when the answer has been handed to everybody,
// or when an event loop of someone's own is about to wait inside it (a modal dialog opened from a
// yield), the answering client too: neither the clients nor the screen may wait for it to close.
// The pool sends the rest of the answer first then (ZeviderUrive::SendToAll), so the order holds.
class AnswerGate : public QObject {
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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void open();

    bool answering_ = false;
    Reader* answerer_ = nullptr; // resumes itself when its answer ends
    std::vector<Reader*> readers_;
    std::vector<Reader*> held_;
    std::vector<QPointer<QObject>> heldUpdates_;
    QMetaObject::Connection waiting_;
};

} // namespace talkmere
