#include "marker.h"

#include "../common/hex.h"

#include <algorithm>

namespace {

using bench::appendHex;
using bench::readHex;

constexpr std::size_t kSenderDigits = 4;
constexpr std::size_t kSeqDigits = 12;
constexpr std::size_t kTimeDigits = 16;
constexpr std::size_t kCheckDigits = 2;
constexpr std::size_t kFieldsBegin = kMarkerMagic.size();
constexpr std::size_t kFieldsEnd = kFieldsBegin + kSenderDigits + kSeqDigits + kTimeDigits;
constexpr std::size_t kPaddingBegin = kFieldsEnd + kCheckDigits;

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

MarkerLedger::MarkerLedger(int clients)
    : clients_(clients), cells_(static_cast<std::size_t>(clients) * clients) {}

bool MarkerLedger::record(int receiver, const Marker& marker) {
    if (marker.sender >= static_cast<std::uint32_t>(clients_)) {
        ++foreignMarkers_;
        return false;
    }
    Cell& c = cells_[receiver * clients_ + static_cast<int>(marker.sender)];
    const auto seq = static_cast<std::int64_t>(marker.seq);
    if (seq <= c.highest) {
        ++orderViolations_;
        return true;
    }
    c.highest = seq;
    ++c.inOrder;
    return true;
}

std::uint64_t MarkerLedger::missing(const std::vector<std::uint64_t>& sentBySender) const {
    std::uint64_t total = 0;
    for (int r = 0; r < clients_; ++r) {
        for (int s = 0; s < clients_; ++s) {
            const std::uint64_t got = cell(r, s).inOrder;
            total += sentBySender[s] > got ? sentBySender[s] - got : 0;
        }
    }
    return total;
}

bool MarkerLedger::complete(const std::vector<std::uint64_t>& sentBySender) const {
    for (int r = 0; r < clients_; ++r) {
        for (int s = 0; s < clients_; ++s) {
            if (cell(r, s).highest + 1 != static_cast<std::int64_t>(sentBySender[s])) {
                return false;
            }
        }
    }
    return true;
}
