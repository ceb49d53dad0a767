#pragma once

// What the fault and flood tests share: process figures, and flooding clients whose every byte
// says who sent it and where it stood in the sender's stream.

#include "ChatRoom.h"
#include "FreePort.h"
#include "Module1.h"
#include "Protocol.h"
#include "RawClient.h"
#include "ServerControl.h"
#include "TcpSocket.h"
#include "WaitUntil.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>

#include <memory>
#include <sys/resource.h>
#include <vector>

namespace talkmere::testing {

// Volumes shrink under AddressSanitizer, which runs several times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAsan = true;
#elif defined(__has_feature)
constexpr bool kUnderAsan = __has_feature(address_sanitizer);
#else
constexpr bool kUnderAsan = false;
#endif

inline int openDescriptors() {
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                                .size());
}

inline qint64 residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

inline void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// A new client is greeted in slot 1 and has its text echoed.
inline bool servesAFreshClient(quint16 port) {
    RawClient fresh(port);
    QByteArray got;
    if (!waitUntil([&] { return (fresh.drain(got), got == ":ID:1"); }, kWait))
        return false;
    fresh.write("ping");
    return waitUntil([&] { return (fresh.drain(got), got == ":ID:1ping"); }, kWait);
}

// A client connected to the relay on `port` that has received its greeting for `slot`, and
// nothing else; null if the greeting did not come.
inline std::unique_ptr<RawClient> greetedClient(quint16 port, int slot) {
    auto client = std::make_unique<RawClient>(port);
    QByteArray got;
    const QByteArray greeting = protocol::greeting(slot, Module1::ServerPassword);
    if (!waitUntil([&] { return (client->drain(got), got == greeting); }, kWait))
        return nullptr;
    return client;
}

// Drains the clients in `slotsToRead` into got[slot] until one has less than `size` bytes:
// whether none has.
inline bool receivedAll(std::vector<std::unique_ptr<RawClient>>& client,
                        std::vector<QByteArray>& got, const std::vector<int>& slotsToRead,
                        qsizetype size) {
    for (int slot : slotsToRead)
        if ((client[slot]->drain(got[slot]), got[slot].size() < size))
            return false;
    return true;
}

// Flood bytes: 0x80 + 32 * sender + a value of the position in the sender's own stream. They are
// never ASCII, so a flood cannot be mistaken for a greeting or a private message ("@").
inline char floodByte(int sender, qint64 position) {
    const qint64 mixed = position ^ (position >> 5) ^ (position >> 10) ^ (position >> 15);
    return static_cast<char>(0x80 + 32 * sender + (mixed & 31));
}

inline QByteArray floodChunk(int sender, qint64 from, qsizetype size) {
    QByteArray chunk(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        chunk[i] = floodByte(sender, from + i);
    return chunk;
}

// Checks a relayed stream byte for byte without keeping it: texts of different senders may be
// interleaved, but each sender's bytes must come complete, once, and in order.
class FloodChecker {
public:
    // False at the first byte that is not the next one of its sender.
    bool take(const QByteArray& bytes) {
        for (const char c : bytes) {
            const int value = static_cast<unsigned char>(c);
            const int sender = (value - 0x80) / 32;
            if (value < 0x80 || c != floodByte(sender, next_[sender])) {
                broken_ = true;
                return false;
            }
            ++next_[sender];
        }
        return true;
    }
    qint64 from(int sender) const { return next_[sender]; }
    bool broken() const { return broken_; }

private:
    qint64 next_[4] = {};
    bool broken_ = false;
};

// A chat client on QTcpSocket that reads everything at once and checks the flood in it. Protocol
// texts (ASCII) are kept apart: the greeting before the flood, anything else in `other`.
struct FloodClient {
    QTcpSocket socket;
    QByteArray greeting;
    QByteArray other;
    FloodChecker checker;
    int sender;          // 0 to 3: whose bytes this client floods
    qint64 received = 0; // flood bytes only
    qint64 sent = 0;

    FloodClient(quint16 port, int sender) : sender(sender) {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { take(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void take() {
        const QByteArray bytes = socket.readAll();
        qsizetype i = 0;
        while (i < bytes.size()) {
            const bool flood = static_cast<unsigned char>(bytes[i]) >= 0x80;
            qsizetype end = i;
            while (end < bytes.size() && (static_cast<unsigned char>(bytes[end]) >= 0x80) == flood)
                ++end;
            const QByteArray run = bytes.mid(i, end - i);
            if (flood) {
                received += run.size();
                checker.take(run);
            } else {
                (received == 0 && other.isEmpty() ? greeting : other) += run;
            }
            i = end;
        }
    }
    bool greeted() const { return greeting.startsWith(":ID:") && greeting.size() > 4; }
    void flood(qsizetype size) {
        socket.write(floodChunk(sender, sent, size));
        sent += size;
    }
};

} // namespace talkmere::testing
