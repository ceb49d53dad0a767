#include "AnswerGate.h"

#include <QAbstractEventDispatcher>

#include <algorithm>
#include <utility>

namespace talkmere {

AnswerGate::AnswerGate() {
    // A yield never waits: an event loop that does, inside an answer, is someone's own.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        waiting_ = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            if (!answering_)
                return;
            // The answerer too: its own next texts must not wait for the loop to end.
            Reader* answerer = answerer_;
            open();
            if (answerer && !answerer->reading())
                answerer->resumeReading();
        });
}

AnswerGate::~AnswerGate() {
    disconnect(waiting_);
}

void AnswerGate::join(Reader* reader) {
    readers_.push_back(reader);
}

void AnswerGate::forget(Reader* reader) {
    if (answerer_ == reader)
        answerer_ = nullptr;
    std::erase(readers_, reader);
    std::erase(held_, reader);
}

AnswerGate::Answer AnswerGate::answer(Reader* answerer) {
    answering_ = true;
    answerer_ = answerer;
    for (Reader* other : readers_)
        if (other != answerer && other->reading()) {
            other->pauseReading();
            held_.push_back(other);
        }
    emit answerStarted();
    return Answer(*this);
}

void AnswerGate::hold(Reader* reader) {
    if (std::find(held_.begin(), held_.end(), reader) == held_.end())
        held_.push_back(reader);
}

void AnswerGate::open() {
    const bool ended = std::exchange(answering_, false);
    answerer_ = nullptr;
    if (ended)
        emit answerEnded();
    for (Reader* reader : std::exchange(held_, {}))
        reader->resumeReading();
}

} // namespace talkmere
