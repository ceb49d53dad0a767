#include "marker.h"

#include <algorithm>

namespace {

constexpr std::size_t kSenderDigits = 4;
constexpr std::size_t kSeqDigits = 12;
constexpr std::size_t kTimeDigits = 16;
constexpr std::size_t kCheckDigits = 2;
constexpr std::size_t kFieldsBegin = kMarkerMagic.size();
constexpr std::size_t kFieldsEnd = kFieldsBegin + kSenderDigits + kSeqDigits + kTimeDigits;
constexpr std::size_t kPaddingBegin = kFieldsEnd + kCheckDigits;
constexpr char kHexDigits[] = "0123456789abcdef";

void appendHex(std::string& out, std::uint64_t value, std::size_t digits) {
    for (std::size_t i = digits; i-- > 0;) {
        out.push_back(kHexDigits[(value >> (4 * i)) & 0xF]);
    }
}

bool readHex(std::string_view text, std::uint64_t& value) {
    value = 0;
    for (const char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return false;
        }
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    return true;
}

unsigned checkByte(std::string_view fields) {
    unsigned sum = 0;
    for (const char c : fields) {
        sum += static_cast<unsigned char>(c);
    }
    return sum & 0xFF;
}

} // namespace

std::string encodeMarker(const Marker& marker, std::size_t size) {
    std::string out;
    out.reserve(std::max(size, kMinMarkerSize));
    out.append(kMarkerMagic);
    appendHex(out, marker.sender, kSenderDigits);
    appendHex(out, marker.seq, kSeqDigits);
    appendHex(out, marker.sentNs, kTimeDigits);
    appendHex(out, checkByte(std::string_view(out).substr(kFieldsBegin)), kCheckDigits);
    out.resize(std::max(size, kMinMarkerSize) - 1, '.');
    out.push_back('\n');
    return out;
}

std::optional<Marker> decodeMarker(std::string_view record) {
    if (record.size() < kMinMarkerSize || !record.starts_with(kMarkerMagic) ||
        record.back() != '\n') {
        return std::nullopt;
    }
    const std::string_view padding =
        record.substr(kPaddingBegin, record.size() - 1 - kPaddingBegin);
    if (std::any_of(padding.begin(), padding.end(), [](char c) { return c != '.'; })) {
        return std::nullopt;
    }
    std::uint64_t sender = 0;
    std::uint64_t check = 0;
    Marker marker;
    std::size_t at = kFieldsBegin;
    if (!readHex(record.substr(at, kSenderDigits), sender) ||
        !readHex(record.substr(at += kSenderDigits, kSeqDigits), marker.seq) ||
        !readHex(record.substr(at += kSeqDigits, kTimeDigits), marker.sentNs) ||
        !readHex(record.substr(kFieldsEnd, kCheckDigits), check)) {
        return std::nullopt;
    }
    if (check != checkByte(record.substr(kFieldsBegin, kFieldsEnd - kFieldsBegin))) {
        return std::nullopt;
    }
    marker.sender = static_cast<std::uint32_t>(sender);
    return marker;
}

void MarkerScanner::feed(const char* data, std::size_t length, std::vector<Marker>& out) {
    pending_.append(data, length);
    std::size_t pos = 0;
    for (;;) {
        const std::size_t found = pending_.find(kMarkerMagic, pos);
        if (found == std::string::npos) {
            // Keep a tail that may be the start of a magic split across arrivals.
            const std::size_t keep = kMarkerMagic.size() - 1;
            const std::size_t from = pending_.size() > pos + keep ? pending_.size() - keep : pos;
            foreignBytes_ += from - pos;
            pos = from;
            break;
        }
        foreignBytes_ += found - pos;
        pos = found;
        if (pending_.size() - pos < size_) {
            break;
        }
        if (auto marker = decodeMarker(std::string_view(pending_).substr(pos, size_))) {
            out.push_back(*marker);
            pos += size_;
        } else {
            // Resynchronise: the next magic may start inside this damaged record.
            ++damagedRecords_;
            ++foreignBytes_;
            ++pos;
        }
    }
    pending_.erase(0, pos);
}
