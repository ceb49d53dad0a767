#pragma once

#include <QByteArray>
#include <QObject>

#include <vector>

namespace talkmere {

// The event log: lines in the order they were appended, at most one selected. Bounded: past
// kMaxLines the oldest lines go, so however long the server runs its memory stays put. Lines are
// bytes as they came; only the window decodes them, and only the lines it shows.
class EventLog : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxLines = 32767;
    // A received text longer than this is logged cut, with its full length after it.
    static constexpr qsizetype kMaxLoggedText = 1024;

    using QObject::QObject;

    // The received text as it goes into a line: whole up to kMaxLoggedText bytes, else cut.
    static QByteArray clipped(const QByteArray& text);

    // Adds the line, then selects it (which scrolls it into view).
    void appendAndSelect(const QByteArray& line);
    // Adds the line and leaves the selection where it is.
    void appendOnly(const QByteArray& line);

    qsizetype count() const { return static_cast<qsizetype>(size_); }
    // Line i of those held, 0 the oldest.
    const QByteArray& line(qsizetype i) const;
    // The selected line among those held, or -1.
    qsizetype selected() const;
    // The operator's own choice (the mouse); -1 clears it.
    void select(qsizetype i);
    // Grows by one with every append, so a view can tell whether to repaint.
    quint64 appended() const { return appended_; }

private:
    void append(const QByteArray& line);

    std::vector<QByteArray> ring_;
    size_t head_ = 0; // ring index of the oldest line
    size_t size_ = 0;
    quint64 appended_ = 0;
    qint64 selected_ = -1; // absolute line number: lines appended before it
};

} // namespace talkmere
