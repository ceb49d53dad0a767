#include "StatisticLabel.h"

#include "HandlerEdge.h"

#include <QPainter>
#include <QTextLayout>

#include <cmath>

namespace talkmere {

StatisticLabel::StatisticLabel(const QString& text, EventLog& log, QWidget* parent)
    : QLabel(text, parent), log_(log) {
    takeFont();
}

void StatisticLabel::takeFont() {
    laidOut_ = QStringLiteral("\n");
    rawFont_ = QRawFont::fromFont(font());
    const QList<quint32> glyphs = rawFont_.glyphIndexesForString(QStringLiteral("0123456789"));
    const QList<QPointF> advances = rawFont_.advancesForGlyphIndexes(glyphs);
    if (!rawFont_.isValid() || glyphs.size() != 10 || advances.size() != 10 ||
        glyphs.contains(0u)) {
        rawFont_ = QRawFont();
        return;
    }
    for (qsizetype i = 0; i < 10; ++i) {
        digitGlyphs_[i] = glyphs[i];
        // Text positions are kept in 1/64 of a pixel; so are these, or the digits would drift.
        digitAdvances_[i] = std::round(advances[i].x() * 64) / 64;
    }
}

bool StatisticLabel::paintsItself() const {
    return rawFont_.isValid() && alignment() == (Qt::AlignLeft | Qt::AlignVCenter) &&
           frameWidth() == 0 && margin() == 0 && indent() <= 0 && !wordWrap() &&
           textFormat() != Qt::RichText &&
           !(textFormat() == Qt::AutoText && Qt::mightBeRichText(text()));
}

void StatisticLabel::layOutWords(const QString& words) {
    QTextLayout layout(words, font());
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    words_ = layout.glyphRuns();
    wordsWidth_ = line.horizontalAdvance();
    lineHeight_ = line.ascent() + line.descent(); // as a label centres it: not rounded up
    ascent_ = line.ascent();
    laidOut_ = words;
}

void StatisticLabel::paintEvent(QPaintEvent* event) {
    guardedHandler(log_, "Statistics label paint", [this, event] {
        if (paintsItself())
            paintText();
        else
            QLabel::paintEvent(event);
    });
}

void StatisticLabel::paintText() {
    const QString all = text();
    qsizetype split = all.size();
    while (split > 0 && all[split - 1].isDigit() && all[split - 1].unicode() < 0x80)
        --split;
    const QString words = all.left(split);
    if (words != laidOut_)
        layOutWords(words);
    QList<quint32> glyphs;
    QList<QPointF> positions;
    glyphs.reserve(all.size() - split);
    positions.reserve(all.size() - split);
    qreal x = wordsWidth_;
    for (qsizetype i = split; i < all.size(); ++i) {
        const int digit = all[i].unicode() - '0';
        glyphs.append(digitGlyphs_[static_cast<size_t>(digit)]);
        positions.append(QPointF(x, ascent_));
        x += digitAdvances_[static_cast<size_t>(digit)];
    }
    const QRect area = contentsRect();
    // Centred the way a label centres its one line.
    const QPointF origin(area.left(), area.top() + (area.height() - lineHeight_) / 2);
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    for (const QGlyphRun& run : words_)
        painter.drawGlyphRun(origin, run);
    if (!glyphs.isEmpty()) {
        QGlyphRun digits;
        digits.setRawFont(rawFont_);
        digits.setGlyphIndexes(glyphs);
        digits.setPositions(positions);
        painter.drawGlyphRun(origin, digits);
    }
}

void StatisticLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange)
        takeFont();
    QLabel::changeEvent(event);
}

} // namespace talkmere
