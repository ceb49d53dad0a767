// The real main window with its server on a loopback port, for measuring the relay with the
// window shown: the event log can start full, and the lateness of the 100 ms statistics ticks is
// reported when the host is stopped (SIGINT/SIGTERM).
#include "../common/QtHost.h"
#include "EventLog.h"
#include "Module1.h"
#include "ServerControl.h"
#include "WindowSystemEvents.h"
#include "fMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace {

// Times every repaint of the window (the backing store's update) and each widget's share of it,
// so that what the window costs under load can be read off a run instead of guessed.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type != QEvent::UpdateRequest && type != QEvent::Paint)
            return QApplication::notify(receiver, event);
        QElapsedTimer clock;
        clock.start();
        const bool result = QApplication::notify(receiver, event);
        const double micros = static_cast<double>(clock.nsecsElapsed()) / 1e3;
        if (type == QEvent::UpdateRequest) {
            updates.push_back(micros);
        } else {
            QByteArray name = receiver->metaObject()->className();
            if (!receiver->objectName().isEmpty())
                name += ':' + receiver->objectName().toUtf8();
            paints[name.toStdString()] += micros;
        }
        return result;
    }

    std::vector<double> updates;          // µs per update of the window
    std::map<std::string, double> paints; // µs summed over the run, per painted widget
};

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_NO_GLIB", "1");
    talkmere::installEventDispatcher(); // the program's own event loop
    TimedApplication app(argc, argv);
    talkmere::followWindowSystem();
    const bench::HostStart start("Talkmere's main window on a loopback port, for benchmarks.",
                                 {{"fill-log", "Start with the event log already full."},
                                  {"no-data-events", "Clear \"Show data events\"."},
                                  {"hidden", "Do not show the window (to tell its cost apart)."}});
    if (!start.ok())
        return 1;

    talkmere::Module1::ServerPassword = "bench";
    talkmere::fMain window(
        std::make_unique<talkmere::ServerControl>(start.port(), QHostAddress::LocalHost));
    if (!start.announce(window.server().online(), "window"))
        return 1;
    if (start.parser.isSet("fill-log"))
        for (qsizetype i = 0; i < talkmere::EventLog::kMaxLines; ++i)
            window.server().log().appendAndSelect(
                "Data on client 1 : ~TM0001000000000000 filler line of a typical length " +
                QByteArray::number(i));
    if (start.parser.isSet("no-data-events"))
        if (auto* box = window.findChild<QWidget*>(QStringLiteral("chkDataEvents")))
            QMetaObject::invokeMethod(box, "setChecked", Q_ARG(bool, false));
    if (!start.parser.isSet("hidden"))
        window.show();

    // How late each statistics tick comes, against its 100 ms period.
    std::vector<double> lateness;
    QElapsedTimer clock;
    if (auto* timer = window.findChild<QTimer*>(QStringLiteral("tmrProperties"))) {
        QObject::connect(timer, &QTimer::timeout, [&] {
            if (clock.isValid())
                lateness.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6 - 100.0);
            clock.start();
        });
    }

    const int status = QApplication::exec();
    std::printf("TICKS count=%zu p50_late_ms=%.2f p99_late_ms=%.2f max_late_ms=%.2f\n",
                lateness.size(), percentile(lateness, 0.50), percentile(lateness, 0.99),
                lateness.empty() ? 0.0 : *std::max_element(lateness.begin(), lateness.end()));
    // Per tick, so that a window painted in many small updates compares with one painted at once.
    const double ticks = static_cast<double>(lateness.size() + 1);
    const double total = std::accumulate(app.updates.begin(), app.updates.end(), 0.0);
    std::printf("PAINT updates=%zu us_per_tick=%.0f p50_us=%.0f p99_us=%.0f max_us=%.0f\n",
                app.updates.size(), total / ticks, percentile(app.updates, 0.50),
                percentile(app.updates, 0.99),
                app.updates.empty() ? 0.0
                                    : *std::max_element(app.updates.begin(), app.updates.end()));
    for (const auto& [name, micros] : app.paints)
        if (micros / ticks >= 1)
            std::printf("PAINT widget=%s us_per_tick=%.0f\n", name.c_str(), micros / ticks);
    window.server().shutdownForExit();
    return status;
}
