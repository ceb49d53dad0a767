// The statistics labels draw their numbers from a glyph table instead of laying the whole text
// out on every tick; to the operator they must look exactly like plain labels, whatever the text,
// size or font, and after the text changes many times.

#include "EventLog.h"
#include "StatisticLabel.h"

#include <QLabel>
#include <QTest>

using namespace talkmere;

namespace {

// A plain label and a statistics label, side by side in one window, given the same text.
struct Pair {
    Pair(QSize size, const QFont& font = QFont()) {
        window.resize(2 * size.width() + 10, size.height());
        window.setFont(font);
        plain.setGeometry(QRect(QPoint(0, 0), size));
        counted.setGeometry(QRect(QPoint(size.width() + 10, 0), size));
        window.show();
    }
    void setText(const QString& text) {
        plain.setText(text);
        counted.setText(text);
    }
    bool looksTheSame() { return plain.grab().toImage() == counted.grab().toImage(); }
    bool hasInk() {
        const QImage image = counted.grab().toImage();
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixel(x, y) != image.pixel(0, 0))
                    return true;
        return false;
    }

    EventLog log;
    QWidget window;
    QLabel plain{&window};
    StatisticLabel counted{QString(), log, &window};
};

} // namespace

class StatisticLabelTest : public QObject {
    Q_OBJECT
private slots:
    void looksLikeAPlainLabel();
    void followsFontAndTextChanges();
};

void StatisticLabelTest::looksLikeAPlainLabel() {
    // The window's own label size first, then heights around it: the line is centred alike.
    for (const int height : {17, 13, 16, 18, 25, 40}) {
        Pair pair(QSize(190, height));
        for (const QString text : {"Bytes Sent:", "Bytes sent: 0", "Bytes sent: 21611069491",
                                   "Bytes received: 9223372036854775807", "Socket count: 10",
                                   "SocketCount", "Bytes sent: -1", "1234567890", "",
                                   "Bytes sent: 12 apples", "\xc3\xa9t\xc3\xa9: 42"}) {
            pair.setText(text);
            QVERIFY2(pair.looksTheSame(),
                     qPrintable(QStringLiteral("height %1, \"%2\"").arg(height).arg(text)));
        }
        pair.setText(QStringLiteral("Bytes sent: 5"));
        QVERIFY(pair.hasInk()); // the comparison above is not between two blanks
    }
}

void StatisticLabelTest::followsFontAndTextChanges() {
    QFont big;
    big.setPointSize(big.pointSize() * 2);
    big.setBold(true);
    Pair pair(QSize(400, 40), big);
    // The words are laid out once and reused: a change of words must not show the old ones.
    for (int tick = 0; tick < 30; ++tick) {
        pair.setText((tick % 3 == 0   ? QStringLiteral("Bytes sent: ")
                      : tick % 3 == 1 ? QStringLiteral("Bytes received: ")
                                      : QStringLiteral("Socket count: ")) +
                     QString::number(qint64(tick) * 7919 * 7919 * 7919));
        QVERIFY2(pair.looksTheSame(), qPrintable(pair.plain.text()));
    }
    QFont small = big;
    small.setPointSize(big.pointSize() / 3);
    small.setBold(false);
    pair.window.setFont(small);
    QVERIFY(pair.looksTheSame());
    // Anything a plain label lays out differently is painted as a plain label.
    pair.plain.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    pair.counted.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QVERIFY(pair.looksTheSame());
    pair.setText(QStringLiteral("<b>Bytes</b> sent: 3"));
    QVERIFY(pair.looksTheSame());
}

QTEST_MAIN(StatisticLabelTest)
#include "tst_statistic_label.moc"
