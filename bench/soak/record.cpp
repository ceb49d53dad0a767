#include "record.h"

#include <array>

namespace {

constexpr char kHex[] = "0123456789abcdef";

void putHex(std::string& out, std::uint64_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(kHex[(value >> shift) & 0xF]);
    }
}

bool readHex(const char* text, int digits, std::uint64_t& out) {
    out = 0;
    for (int i = 0; i < digits; ++i) {
        const char c = text[i];
        int nibble = 0;
        if (c >= '0' && c <= '9') {
            nibble = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            nibble = c - 'a' + 10;
        } else {
            return false;
        }
        out = (out << 4) | static_cast<std::uint64_t>(nibble);
    }
    return true;
}

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
    putHex(out, header.sender, 4);
    putHex(out, header.seq, 8);
    if (header.kind == RecordKind::Private) {
        putHex(out, header.target, 2);
    }
    putHex(out, header.length, 4);
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
    const char* field = text + 2;
    if (!readHex(field, 4, sender) || !readHex(field + 4, 8, seq)) {
        return false;
    }
    field += 12;
    if (out.kind == RecordKind::Private) {
        if (!readHex(field, 2, target)) {
            return false;
        }
        field += 2;
    }
    if (!readHex(field, 4, length)) {
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
