#include "EventLogView.h"

#include "EventLog.h"
#include "EventLogAccessible.h"
#include "HandlerEdge.h"
#include "Layout.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace talkmere {

namespace {

// Bytes become text only here, for the eye: invalid UTF-8 shows as U+FFFD, and a line break or
// tab in a chat text as a space. At most `limit` characters, when one is given.
QString shownText(const QByteArray& bytes, qsizetype limit = -1) {
    QString text = QString::fromUtf8(bytes);
    if (limit >= 0 && text.size() > limit)
        text.truncate(limit);
    for (QChar& c : text)
        if (c.unicode() < 0x20)
            c = QLatin1Char(' ');
    return text;
}

} // namespace

EventLogView::EventLogView(EventLog& log, QWidget* parent)
    : QAbstractScrollArea(parent), log_(log) {
    installEventLogAccessibility();
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent); // paintEvent fills every pixel itself
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::StrongFocus);
    takeFont();
    verticalScrollBar()->setSingleStep(1);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        guardedHandler(log_, "Event log scroll", [this, value] {
            topLine_ = firstHeldLine() + static_cast<quint64>(value);
            retarget();
        });
    });
    // Rows a millisecond apart (the one-arrival rule: app/main.cpp).
    rowTimer_.setSingleShot(true);
    rowTimer_.setInterval(1);
    connect(&rowTimer_, &QTimer::timeout, this,
            [this] { guardedHandler(log_, "Event log repaint", [this] { repaintNextRow(); }); });
    seenAppended_ = log_.appended();
    updateScrollRange();
    retarget();
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
    return wholeLines(pixels, lineHeight_, 2 * frameWidth());
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
    qsizetype top = static_cast<qsizetype>(topLine_ > first ? topLine_ - first : 0);
    const qsizetype selected = log_.selected();
    const qint64 selectedLine = selected < 0 ? -1 : static_cast<qint64>(first) + selected;
    const bool selectionMoved = selectedLine != seenSelected_;
    if (selectionMoved) {
        // An append-and-select moved the selection: bring the new line into view.
        seenSelected_ = selectedLine;
        if (selected >= 0) {
            const int rows = std::max(1, visibleLines());
            if (selected < top)
                top = selected;
            else if (selected >= top + rows)
                top = selected - rows + 1;
        }
    }
    // The scroll bar is set once, to where it ends: at the end of a full log it stays put and
    // needs no repaint.
    updateScrollRange();
    scrollTo(top);
    retarget();
    if (selectionMoved)
        announceSelectedLine(*this);
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
    retarget();
    announceSelectedLine(*this);
}

QString EventLogView::shownLine(qsizetype line) const {
    if (line < 0 || line >= log_.count())
        return {};
    return shownText(log_.line(line));
}

QRect EventLogView::lineRect(qsizetype line) const {
    const qsizetype row = line - firstVisibleLine();
    if (line < 0 || line >= log_.count() || row < 0 || row * lineHeight_ >= viewport()->height())
        return {};
    return rowRect(row).intersected(viewport()->rect());
}

void EventLogView::copySelected() {
    const qsizetype selected = log_.selected();
    if (selected >= 0)
        QGuiApplication::clipboard()->setText(shownLine(selected));
}

void EventLogView::retarget() {
    const qsizetype rows = viewport()->height() / lineHeight_ + 1; // the last one may show in part
    const qsizetype count = log_.count();
    const qsizetype first = firstVisibleLine();
    const qsizetype selected = log_.selected();
    const quint64 held = firstHeldLine();
    target_.resize(static_cast<size_t>(rows));
    for (qsizetype i = 0; i < rows; ++i) {
        const qsizetype line = first + i;
        Row& row = target_[static_cast<size_t>(i)];
        if (line >= count) {
            row = Row{};
            continue;
        }
        row.present = true;
        row.number = held + static_cast<quint64>(line);
        row.text = log_.line(line); // shared, not copied
        row.selected = line == selected;
    }
    requested_.resize(target_.size());
    if (requested_ != target_ && !rowTimer_.isActive())
        rowTimer_.start();
}

void EventLogView::repaintNextRow() {
    if (!viewport()->isVisible()) {
        requested_ = target_; // once shown, the view is painted whole
        return;
    }
    for (size_t i = 0; i < target_.size(); ++i) {
        if (requested_[i] == target_[i])
            continue;
        requested_[i] = target_[i];
        viewport()->repaint(rowRect(static_cast<qsizetype>(i)));
        break;
    }
    if (requested_ != target_)
        rowTimer_.start();
}

QRect EventLogView::rowRect(qsizetype row) const {
    return {0, static_cast<int>(row) * lineHeight_, viewport()->width(), lineHeight_};
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

void EventLogView::paintEvent(QPaintEvent* event) {
    guardedHandler(log_, "Event log paint", [this, event] {
        QPainter painter(viewport());
        paintRows(painter, event->rect());
    });
}

void EventLogView::paintRows(QPainter& painter, QRect area) {
    const QPalette& pal = palette();
    painter.fillRect(area, pal.base());
    const int width = viewport()->width();
    // Characters past the right edge cost shaping and show nothing: a logged text may be 1 KiB.
    const qsizetype fits = width / narrowest_ + 8;
    const auto rows = static_cast<qsizetype>(target_.size());
    const qsizetype from = std::max(0, area.top() / lineHeight_);
    const qsizetype to = std::min(rows, static_cast<qsizetype>(area.bottom() / lineHeight_) + 1);
    for (qsizetype i = from; i < to; ++i) {
        const Row& row = target_[static_cast<size_t>(i)];
        if (!row.present)
            continue;
        const int top = static_cast<int>(i) * lineHeight_;
        painter.setClipping(false); // the row above was clipped to itself
        if (row.selected)
            painter.fillRect(QRect(0, top, width, lineHeight_), pal.highlight());
        painter.setClipRect(QRect(0, top, std::max(0, width - 2), lineHeight_));
        painter.setPen(pal.color(row.selected ? QPalette::HighlightedText : QPalette::Text));
        const QPoint origin(2, top + baseline_);
        if (drawAscii(painter, origin, row.text, fits))
            continue;
        // A plain line at a point: no layout pass, which every visible line would pay for.
        painter.drawText(origin, shownText(row.text, fits));
    }
}

void EventLogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    // The line shown under the mouse, which the log may have moved since the row was painted.
    const auto row =
        static_cast<size_t>(std::max(0, static_cast<int>(event->position().y())) / lineHeight_);
    if (row >= target_.size() || !target_[row].present || target_[row].number < firstHeldLine())
        return;
    selectLine(static_cast<qsizetype>(target_[row].number - firstHeldLine()));
}

void EventLogView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        guardedHandler(log_, "Event log copy", [this] { copySelected(); });
        return;
    }
    const qsizetype selected = log_.selected();
    const int page = std::max(1, visibleLines());
    switch (event->key()) {
    case Qt::Key_Up:
        selectLine(selected <= 0 ? 0 : selected - 1);
        break;
    case Qt::Key_Down:
        selectLine(selected < 0 ? 0 : selected + 1);
        break;
    case Qt::Key_PageUp:
        // With nothing selected, the first page key picks the top or bottom line on screen.
        selectLine(selected < 0 ? firstVisibleLine() : std::max<qsizetype>(0, selected - page));
        break;
    case Qt::Key_PageDown:
        selectLine(
            std::min(log_.count() - 1, (selected < 0 ? firstVisibleLine() - 1 : selected) + page));
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

void EventLogView::contextMenuEvent(QContextMenuEvent* event) {
    guardedHandler(log_, "Event log menu", [this, event] {
        // popup(), not exec(): a nested event loop would run the server's work inside this handler.
        auto* menu = new QMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        QAction* copy = menu->addAction(QStringLiteral("Copy"), this, [this] {
            guardedHandler(log_, "Event log copy", [this] { copySelected(); });
        });
        copy->setObjectName(QStringLiteral("Copy"));
        copy->setShortcut(QKeySequence::Copy);
        copy->setEnabled(log_.selected() >= 0);
        menu->popup(event->globalPos());
    });
    event->accept();
}

void EventLogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollRange();
    retarget();
}

void EventLogView::scrollContentsBy(int, int) {
    // Scrolling changes the rows, which retarget() repaints one at a time; the whole viewport at
    // once, as a scroll area would by default, is the pause that this view avoids.
}

void EventLogView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        takeFont();
        updateScrollRange();
        retarget();
        viewport()->update();
    }
    QAbstractScrollArea::changeEvent(event);
}

} // namespace talkmere
