#pragma once

#include "FuzzInput.h"

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

// Destroys the socket objects the pool handed to deleteLater, as the event loop would.
inline void runDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Runs one input; each fuzzer has its own. What it made is gone when it returns, but for what
// went to deleteLater.
void fuzzOne(FuzzInput& input);

} // namespace talkmere::fuzz

// Both fuzzers' entry points. The pool and the relay are QObjects with deferred deletion: they
// run under an application object, as in the program, and after every input the deferred deletes
// run as the event loop would run them.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static int argc = 1;
    static char name[] = "talkmere-fuzzer";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    talkmere::fuzz::FuzzInput input(data, size);
    talkmere::fuzz::fuzzOne(input);
    talkmere::fuzz::runDeferredDeletes();
    return 0;
}

#define FUZZ_REQUIRE(condition, detail)                                                            \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::talkmere::fuzz::invariantBroken(__FILE__, __LINE__, #condition, (detail));           \
    } while (false)
