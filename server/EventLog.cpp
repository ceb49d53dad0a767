#include "EventLog.h"

namespace talkmere {

QByteArray EventLog::clipped(const QByteArray& text) {
    if (text.size() <= kMaxLoggedText)
        return text;
    return text.left(kMaxLoggedText) + " ... (" + QByteArray::number(text.size()) + " bytes)";
}

void EventLog::append(const QByteArray& line) {
    if (ring_.size() < static_cast<size_t>(kMaxLines)) {
        ring_.push_back(line);
        ++size_;
    } else {
        // Full: the newest line takes the oldest one's place.
        ring_[head_] = line;
        head_ = (head_ + 1) % ring_.size();
    }
    ++appended_;
}

void EventLog::appendAndSelect(const QByteArray& line) {
    append(line);
    selected_ = static_cast<qint64>(appended_) - 1;
}

void EventLog::appendOnly(const QByteArray& line) {
    append(line);
}

const QByteArray& EventLog::line(qsizetype i) const {
    return ring_[(head_ + static_cast<size_t>(i)) % ring_.size()];
}

qsizetype EventLog::selected() const {
    const qint64 first = static_cast<qint64>(appended_ - size_);
    if (selected_ < first)
        return -1; // nothing selected, or the selected line has been dropped
    return static_cast<qsizetype>(selected_ - first);
}

void EventLog::select(qsizetype i) {
    if (i < 0 || i >= count()) {
        selected_ = -1;
        return;
    }
    selected_ = static_cast<qint64>(appended_ - size_) + i;
}

} // namespace talkmere
