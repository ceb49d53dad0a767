#include "record.h"

#include "../common/hex.h"

namespace {

using bench::appendHex;
using bench::readHex;

// splitmix64: cheap, and every (seed, record) pair gives its own stream.
class PayloadStream {
public:
    explicit PayloadStream(std::uint64_t state) : state_(state) {}
    char next() {
        if (left_ == 0) {
            std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            word_ = z ^ (z >> 31);
            left_ = 8;
        }
        auto byte = static_cast<unsigned char>(word_ & 0xFF);
        word_ >>= 8;
        --left_;
        if (byte == '{' || byte == ':' || byte == '@') {
            byte ^= 0x80; // keeps the byte random-looking and out of the reserved set
        }
        return static_cast<char>(byte);
    }

private:
    std::uint64_t state_;
    std::uint64_t word_ = 0;
    int left_ = 0;
};

PayloadStream streamFor(const RecordHeader& header, std::uint64_t runSeed) {
    const std::uint64_t kindBits = static_cast<std::uint64_t>(header.kind) << 56;
    const std::uint64_t targetBits = static_cast<std::uint64_t>(header.target) << 48;
    return PayloadStream(runSeed ^ kindBits ^ targetBits ^
                         (static_cast<std::uint64_t>(header.sender) << 32) ^ header.seq);
}

} // namespace

std::size_t headerSize(RecordKind kind) {
    return kind == RecordKind::Private ? 20 : 18;
}

std::size_t recordSize(const RecordHeader& header) {
    return headerSize(header.kind) + header.length + 1;
}

std::string encodeRecord(const RecordHeader& header, std::uint64_t runSeed) {
    std::string out;
    out.reserve(recordSize(header));
    out.push_back(kRecordStart);
    out.push_back(static_cast<char>(header.kind));
    appendHex(out, header.sender, 4);
    appendHex(out, header.seq, 8);
    if (header.kind == RecordKind::Private) {
        appendHex(out, header.target, 2);
    }
    appendHex(out, header.length, 4);
    PayloadStream stream = streamFor(header, runSeed);
    for (std::size_t i = 0; i < header.length; ++i) {
        out.push_back(stream.next());
    }
    out.push_back(kRecordEnd);
    return out;
}

bool parseHeader(const char* text, std::size_t size, RecordHeader& out) {
    if (size < 2 || text[0] != kRecordStart) {
        return false;
    }
    if (text[1] != static_cast<char>(RecordKind::Broadcast) &&
        text[1] != static_cast<char>(RecordKind::Private)) {
        return false;
    }
    out.kind = static_cast<RecordKind>(text[1]);
    if (size < headerSize(out.kind)) {
        return false;
    }
    std::uint64_t sender = 0;
    std::uint64_t seq = 0;
    std::uint64_t target = 0;
    std::uint64_t length = 0;
    const std::string_view fields(text + 2, headerSize(out.kind) - 2);
    const bool isPrivate = out.kind == RecordKind::Private;
    if (!readHex(fields.substr(0, 4), sender) || !readHex(fields.substr(4, 8), seq) ||
        (isPrivate && !readHex(fields.substr(12, 2), target)) ||
        !readHex(fields.substr(isPrivate ? 14 : 12, 4), length)) {
        return false;
    }
    out.sender = static_cast<std::uint16_t>(sender);
    out.seq = static_cast<std::uint32_t>(seq);
    out.target = static_cast<std::uint8_t>(target);
    out.length = static_cast<std::uint16_t>(length);
    return true;
}

bool payloadMatches(const RecordHeader& header, const char* payload, std::uint64_t runSeed) {
    PayloadStream stream = streamFor(header, runSeed);
    for (std::size_t i = 0; i < header.length; ++i) {
        if (payload[i] != stream.next()) {
            return false;
        }
    }
    return true;
}

std::string fillerText(std::size_t size, std::uint64_t seed) {
    std::string out(size, 'a');
    std::uint64_t state = seed | 1;
    for (char& c : out) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>('a' + state % 26);
    }
    return out;
}
