#pragma once

#include <QGlyphRun>
#include <QLabel>
#include <QList>
#include <QRawFont>
#include <QString>

#include <array>

namespace talkmere {

class EventLog;

// A label for a count that the 100 ms tick rewrites while clients wait: "Bytes sent: 123".
// Laying out and shaping the whole text on every paint made the three labels a quarter of what
// the window cost per tick (186 against 83 us), so the words are laid out once, when they change,
// and the number after them is drawn from the digits' glyphs. Plain labels, with the log drawn as
// plain text too, put the real program's fan-out p99 at 2.59x the floor relay's against 2.15x
// (docs/benchmarks-history.md). It looks exactly like a plain label; any other text or layout is
// painted as one.
class StatisticLabel : public QLabel {
    Q_OBJECT
public:
    // A failure to paint becomes a line in `log`.
    StatisticLabel(const QString& text, EventLog& log, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool paintsItself() const;
    void paintText();
    void layOutWords(const QString& words);
    void takeFont();

    EventLog& log_;
    QString laidOut_ = QStringLiteral("\n"); // the words that words_ holds; no text matches it
    QList<QGlyphRun> words_;
    qreal wordsWidth_ = 0;
    qreal lineHeight_ = 0;
    qreal ascent_ = 0;
    QRawFont rawFont_; // invalid when the font lacks a digit
    std::array<quint32, 10> digitGlyphs_{};
    std::array<qreal, 10> digitAdvances_{};
};

} // namespace talkmere
