#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace talkmere::fuzz {

// A broken invariant: say which, then abort so libFuzzer keeps the input as a crash.
[[noreturn]] inline void invariantBroken(const char* file, int line, const char* condition,
                                         const QString& detail) {
    std::fprintf(stderr, "\n=== INVARIANT BROKEN at %s:%d\n    %s\n    %s\n", file, line, condition,
                 detail.toLocal8Bit().constData());
    std::fflush(stderr);
    std::abort();
}

// Readable bytes for a message: printable ASCII as is, everything else escaped.
inline QString shown(const QByteArray& bytes, qsizetype limit = 80) {
    QString text;
    for (qsizetype i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        text += c >= 0x20 && c < 0x7f ? QString(QChar(c))
                                      : QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    if (bytes.size() > limit)
        text += QStringLiteral("... (%1 bytes)").arg(bytes.size());
    return text;
}

// The pool and the relay are QObjects with deferred deletion: give them the application object
// they run under in the program.
inline void ensureApplication() {
    static int argc = 1;
    static char name[] = "talkmere-fuzzer";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

// Destroys the socket objects the pool handed to deleteLater, as the event loop would.
inline void runDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace talkmere::fuzz

#define FUZZ_REQUIRE(condition, detail)                                                            \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::talkmere::fuzz::invariantBroken(__FILE__, __LINE__, #condition, (detail));           \
    } while (false)
