#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QRawFont>
#include <QTimer>
#include <QtGlobal>

#include <array>
#include <vector>

namespace talkmere {

class EventLog;

// lstEvents: shows the event log a screenful at a time. Every line has the same height and only
// the lines on screen are decoded and painted, so its cost follows the window, not the log. It
// catches up with the log only when refresh() is called (the 100 ms tick), never per line, and
// then repaints the rows that changed one at a time, a millisecond apart: a whole screenful at
// once holds up the texts that arrive meanwhile (the one-arrival rule: app/main.cpp). With paints
// held for the answer under way, the row at a time kept the real program's fan-out p99 at 1.55x
// the floor relay's, against 2.15x with the changed rows in one update, and plain text drawing
// instead of the glyph table at 2.59x (seven paired rounds each, docs/benchmarks-history.md).
class EventLogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit EventLogView(EventLog& log, QWidget* parent = nullptr);

    // Takes in what was appended since the last call: new scroll range, and the newest line
    // brought into view if an append selected it. Does nothing when the log has not grown.
    void refresh();

    int lineHeight() const { return lineHeight_; }
    // The height this view takes when given `pixels`: whole lines plus the frame, never more.
    int wholeLinesHeight(int pixels) const;
    // Index of the line at the top of the view, among the lines the log holds.
    qsizetype firstVisibleLine() const;
    // Lines that fit entirely on screen.
    int visibleLines() const;

    QSize sizeHint() const override;

    const EventLog& log() const { return log_; }
    // Absolute number of the oldest line the log holds: lines keep their number as old ones go.
    quint64 firstHeldLine() const;
    // Line `line` as the view shows it: decoded from UTF-8, control characters as spaces.
    QString shownLine(qsizetype line) const;
    // Where line `line` is on the viewport; empty when it is not on screen.
    QRect lineRect(qsizetype line) const;
    // Puts the selected line, as shown, on the clipboard; nothing when no line is selected.
    void copySelected();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    // One row of the screen: which line it shows, and how.
    struct Row {
        bool present = false;
        quint64 number = 0; // absolute line number
        QByteArray text;
        bool selected = false;
        bool operator==(const Row&) const = default;
    };

    // Takes what the rows should show from the log and starts repainting those that differ.
    void retarget();
    void repaintNextRow();
    QRect rowRect(qsizetype row) const;
    void paintRows(QPainter& painter, QRect area);
    void updateScrollRange();
    void scrollTo(qsizetype line);
    void selectLine(qsizetype line);
    void takeFont();
    // Draws a line of plain ASCII from the glyph table; false if the line is anything else.
    bool drawAscii(QPainter& painter, QPoint origin, const QByteArray& line, qsizetype fits);

    EventLog& log_;
    std::vector<Row> target_;    // what each row is to show
    std::vector<Row> requested_; // what each row was last repainted with
    QTimer rowTimer_;
    int lineHeight_ = 1;
    int baseline_ = 0;
    int narrowest_ = 1; // the narrowest advance of the usual narrow characters
    quint64 seenAppended_ = 0;
    qint64 seenSelected_ = -1; // absolute line number, -1 for none
    quint64 topLine_ = 0;      // absolute line number at the top, kept while old lines go
    // Glyphs and advances of the printable ASCII characters, so that the usual log line needs no
    // shaping; empty when the font lacks one of them.
    QRawFont rawFont_;
    std::array<quint32, 128> asciiGlyphs_{};
    std::array<qreal, 128> asciiAdvances_{};
};

} // namespace talkmere
