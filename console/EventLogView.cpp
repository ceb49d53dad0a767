#include "EventLogView.h"

#include "EventLog.h"

#include <QGlyphRun>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace talkmere {

EventLogView::EventLogView(EventLog& log, QWidget* parent)
    : QAbstractScrollArea(parent), log_(log) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent); // paintEvent fills every pixel itself
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::StrongFocus);
    takeFont();
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

void EventLogView::takeFont() {
    const QFontMetrics metrics = fontMetrics();
    lineHeight_ = std::max(1, metrics.height());
    baseline_ = metrics.ascent();
    narrowest_ = std::max(1, metrics.maxWidth());
    for (const QChar c : QStringLiteral(".,:;'|!iIl"))
        narrowest_ = std::max(1, std::min(narrowest_, metrics.horizontalAdvance(c)));
    rawFont_ = QRawFont::fromFont(font());
    QString printable;
    for (char16_t c = 0x20; c < 0x7f; ++c)
        printable += QChar(c);
    const QList<quint32> glyphs = rawFont_.glyphIndexesForString(printable);
    const QList<QPointF> advances = rawFont_.advancesForGlyphIndexes(glyphs);
    if (!rawFont_.isValid() || glyphs.size() != printable.size() ||
        advances.size() != glyphs.size() || glyphs.contains(0u)) {
        rawFont_ = QRawFont();
        return;
    }
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        asciiGlyphs_[0x20 + i] = glyphs[i];
        asciiAdvances_[0x20 + i] = advances[i].x();
    }
}

bool EventLogView::drawAscii(QPainter& painter, QPoint origin, const QByteArray& line,
                             qsizetype fits) {
    const qsizetype size = std::min(line.size(), fits);
    if (!rawFont_.isValid() || std::any_of(line.begin(), line.begin() + size, [](char c) {
            return static_cast<unsigned char>(c) >= 0x7f;
        }))
        return false;
    QList<quint32> glyphs(size);
    QList<QPointF> positions(size);
    qreal x = 0;
    for (qsizetype i = 0; i < size; ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c < 0x20) // a line break or tab in a chat text shows as a space
            c = ' ';
        glyphs[i] = asciiGlyphs_[c];
        positions[i] = QPointF(x, 0);
        x += asciiAdvances_[c];
    }
    QGlyphRun run;
    run.setRawFont(rawFont_);
    run.setGlyphIndexes(glyphs);
    run.setPositions(positions);
    painter.drawGlyphRun(origin, run);
    return true;
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
    auto rowTop = [&](qsizetype i) { return static_cast<int>(i - first) * lineHeight_; };
    if (selected >= first && selected < last)
        painter.fillRect(QRect(0, rowTop(selected), width, lineHeight_), pal.highlight());
    // Characters past the right edge cost shaping and show nothing: a logged text may be 1 KiB.
    const qsizetype fits = width / narrowest_ + 8;
    painter.setClipRect(QRect(0, 0, std::max(0, width - 2), viewport()->height()));
    for (qsizetype i = first; i < last; ++i) {
        painter.setPen(pal.color(i == selected ? QPalette::HighlightedText : QPalette::Text));
        const QPoint origin(2, rowTop(i) + baseline_);
        if (drawAscii(painter, origin, log_.line(i), fits))
            continue;
        // Bytes become text only here, for the eye: invalid UTF-8 shows as U+FFFD.
        QString text = QString::fromUtf8(log_.line(i));
        if (text.size() > fits)
            text.truncate(fits);
        for (QChar& c : text)
            if (c.unicode() < 0x20) // a line break or tab in a chat text shows as a space
                c = QLatin1Char(' ');
        // A plain line at a point: no layout pass, which the tick pays for every visible line.
        painter.drawText(origin, text);
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
        takeFont();
        updateScrollRange();
    }
    QAbstractScrollArea::changeEvent(event);
}

} // namespace talkmere
