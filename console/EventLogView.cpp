#include "EventLogView.h"

#include "EventLog.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace talkmere {

EventLogView::EventLogView(EventLog& log, QWidget* parent)
    : QAbstractScrollArea(parent), log_(log) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::StrongFocus);
    lineHeight_ = std::max(1, fontMetrics().height());
    verticalScrollBar()->setSingleStep(1);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        topLine_ = firstHeldLine() + static_cast<quint64>(value);
        viewport()->update();
    });
    seenAppended_ = log_.appended();
    updateScrollRange();
}

quint64 EventLogView::firstHeldLine() const {
    return log_.appended() - static_cast<quint64>(log_.count());
}

qsizetype EventLogView::firstVisibleLine() const {
    return verticalScrollBar()->value();
}

int EventLogView::visibleLines() const {
    return viewport()->height() / lineHeight_;
}

int EventLogView::wholeLinesHeight(int pixels) const {
    const int frame = 2 * frameWidth();
    const int lines = std::max(0, (pixels - frame) / lineHeight_);
    return std::min(pixels, frame + lines * lineHeight_);
}

QSize EventLogView::sizeHint() const {
    return {256, 8 * lineHeight_ + 2 * frameWidth()};
}

void EventLogView::refresh() {
    if (log_.appended() == seenAppended_)
        return;
    seenAppended_ = log_.appended();
    const quint64 first = firstHeldLine();
    // The same lines stay on screen while the oldest ones leave the log.
    const auto top = static_cast<qsizetype>(topLine_ > first ? topLine_ - first : 0);
    updateScrollRange();
    scrollTo(top);
    const qsizetype selected = log_.selected();
    const qint64 selectedLine = selected < 0 ? -1 : static_cast<qint64>(first) + selected;
    if (selectedLine != seenSelected_) {
        // An append-and-select moved the selection: bring the new line into view.
        seenSelected_ = selectedLine;
        if (selected >= 0) {
            const int rows = std::max(1, visibleLines());
            if (selected < top)
                scrollTo(selected);
            else if (selected >= top + rows)
                scrollTo(selected - rows + 1);
        }
    }
    viewport()->update();
}

void EventLogView::updateScrollRange() {
    const int rows = std::max(1, visibleLines());
    const qsizetype hidden = std::max<qsizetype>(0, log_.count() - rows);
    verticalScrollBar()->setRange(0, static_cast<int>(hidden));
    verticalScrollBar()->setPageStep(rows);
}

void EventLogView::scrollTo(qsizetype line) {
    verticalScrollBar()->setValue(static_cast<int>(line));
    topLine_ = firstHeldLine() + static_cast<quint64>(verticalScrollBar()->value());
}

void EventLogView::selectLine(qsizetype line) {
    if (line < 0 || line >= log_.count())
        return;
    log_.select(line);
    seenSelected_ = static_cast<qint64>(firstHeldLine()) + line;
    const qsizetype top = firstVisibleLine();
    const int rows = std::max(1, visibleLines());
    if (line < top)
        scrollTo(line);
    else if (line >= top + rows)
        scrollTo(line - rows + 1);
    viewport()->update();
}

void EventLogView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const QPalette& pal = palette();
    painter.fillRect(viewport()->rect(), pal.base());
    const qsizetype count = log_.count();
    const qsizetype first = firstVisibleLine();
    const qsizetype last = std::min(count, first + viewport()->height() / lineHeight_ + 1);
    const qsizetype selected = log_.selected();
    const int width = viewport()->width();
    const QFontMetrics metrics = fontMetrics();
    const int baseline = (lineHeight_ - metrics.height()) / 2 + metrics.ascent();
    // Characters past the right edge cost shaping and show nothing: a logged text may be 1 KiB.
    int narrowest = metrics.maxWidth();
    for (const QChar c : QStringLiteral(".,:;'|!iIl"))
        narrowest = std::min(narrowest, metrics.horizontalAdvance(c));
    const qsizetype fits = width / std::max(1, narrowest) + 8;
    painter.setClipRect(QRect(0, 0, std::max(0, width - 2), viewport()->height()));
    for (qsizetype i = first; i < last; ++i) {
        const QRect row(0, static_cast<int>(i - first) * lineHeight_, width, lineHeight_);
        if (i == selected) {
            painter.fillRect(row, pal.highlight());
            painter.setPen(pal.color(QPalette::HighlightedText));
        } else {
            painter.setPen(pal.color(QPalette::Text));
        }
        // Bytes become text only here, for the eye: invalid UTF-8 shows as U+FFFD.
        QString text = QString::fromUtf8(log_.line(i));
        if (text.size() > fits)
            text.truncate(fits);
        for (QChar& c : text)
            if (c.unicode() < 0x20) // a line break or tab in a chat text shows as a space
                c = QLatin1Char(' ');
        // A plain line at a point: no layout pass, which the tick pays for every visible line.
        painter.drawText(QPoint(2, row.top() + baseline), text);
    }
}

void EventLogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    const int row = static_cast<int>(event->position().y()) / lineHeight_;
    selectLine(firstVisibleLine() + row);
}

void EventLogView::keyPressEvent(QKeyEvent* event) {
    const qsizetype selected = log_.selected();
    switch (event->key()) {
    case Qt::Key_Up:
        selectLine(selected <= 0 ? 0 : selected - 1);
        break;
    case Qt::Key_Down:
        selectLine(selected < 0 ? 0 : selected + 1);
        break;
    case Qt::Key_Home:
        selectLine(0);
        break;
    case Qt::Key_End:
        selectLine(log_.count() - 1);
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void EventLogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollRange();
}

void EventLogView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        lineHeight_ = std::max(1, fontMetrics().height());
        updateScrollRange();
    }
    QAbstractScrollArea::changeEvent(event);
}

} // namespace talkmere
