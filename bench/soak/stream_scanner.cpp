#include "stream_scanner.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr std::string_view kGreeting = ":ID:";
constexpr std::string_view kDeparture = ":USERSTAT";

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads up to three decimal digits at pos; returns the position after them.
std::size_t readNumber(std::string_view text, std::size_t pos, int& value) {
    value = 0;
    std::size_t end = pos;
    while (end < text.size() && end - pos < 3 && isDigit(text[end])) {
        value = value * 10 + (text[end] - '0');
        ++end;
    }
    return end;
}

} // namespace

void StreamScanner::feed(const char* data, std::size_t size, ScanOutput& out) {
    buffer_.append(data, size);
    std::size_t pos = 0;
    while (pos < buffer_.size()) {
        const char c = buffer_[pos];
        if (c != kRecordStart && c != ':') {
            const std::size_t next = buffer_.find_first_of("{:", pos);
            const std::size_t stop = next == std::string::npos ? buffer_.size() : next;
            out.foreignBytes += stop - pos;
            pos = stop;
            continue;
        }
        const Step step = c == kRecordStart ? scanRecord(pos, out) : scanNotice(pos, out);
        if (step.wait) {
            break;
        }
        pos = step.next;
    }
    buffer_.erase(0, pos);
}

StreamScanner::Step StreamScanner::scanRecord(std::size_t pos, ScanOutput& out) const {
    const std::size_t available = buffer_.size() - pos;
    if (available < 2) {
        return {true, 0};
    }
    const char kind = buffer_[pos + 1];
    if (kind != static_cast<char>(RecordKind::Broadcast) &&
        kind != static_cast<char>(RecordKind::Private)) {
        ++out.headless;
        return {false, pos + 1};
    }
    // Payloads never hold '{', so another one inside a record means the record was cut and
    // something else was put in the middle.
    const std::size_t header = headerSize(static_cast<RecordKind>(kind));
    const std::size_t headerEnd = std::min(buffer_.size(), pos + header);
    if (const std::size_t cut = buffer_.find(kRecordStart, pos + 1); cut < headerEnd) {
        ++out.headless;
        return {false, cut};
    }
    if (available < header) {
        return {true, 0};
    }
    RecordHeader parsed;
    if (!parseHeader(buffer_.data() + pos, header, parsed)) {
        ++out.headless;
        return {false, pos + 1};
    }
    const std::size_t total = recordSize(parsed);
    const std::size_t bodyEnd = std::min(buffer_.size(), pos + total);
    if (const std::size_t cut = buffer_.find(kRecordStart, pos + header); cut < bodyEnd) {
        out.damaged.push_back(parsed);
        return {false, cut};
    }
    if (available < total) {
        return {true, 0};
    }
    if (buffer_[pos + total - 1] != kRecordEnd ||
        !payloadMatches(parsed, buffer_.data() + pos + header, runSeed_)) {
        out.damaged.push_back(parsed);
        return {false, pos + 1};
    }
    out.records.push_back(parsed);
    return {false, pos + total};
}

StreamScanner::Step StreamScanner::scanNotice(std::size_t pos, ScanOutput& out) const {
    const std::string_view text(buffer_.data() + pos, buffer_.size() - pos);
    const auto foreign = [&]() {
        ++out.foreignBytes;
        return Step{false, pos + 1};
    };
    if (text.size() < kDeparture.size() &&
        (kGreeting.starts_with(text) || kDeparture.starts_with(text))) {
        return {true, 0}; // the rest of the notice is still on its way
    }
    if (text.starts_with(kGreeting)) {
        int slot = 0;
        const std::size_t digitsEnd = readNumber(text, kGreeting.size(), slot);
        if (digitsEnd == text.size() && password_.empty() && digitsEnd > kGreeting.size()) {
            out.greetings.push_back(slot); // a greeting is sent whole; nothing follows it yet
            return {false, buffer_.size()};
        }
        if (digitsEnd == text.size()) {
            return {true, 0};
        }
        if (digitsEnd == kGreeting.size()) {
            return foreign();
        }
        const std::string_view rest = text.substr(digitsEnd);
        if (rest.size() < password_.size() && std::string_view(password_).starts_with(rest)) {
            return {true, 0};
        }
        if (!rest.starts_with(password_)) {
            return foreign();
        }
        out.greetings.push_back(slot);
        return {false, pos + digitsEnd + password_.size()};
    }
    if (text.starts_with(kDeparture)) {
        int slot = 0;
        const std::size_t digitsEnd = readNumber(text, kDeparture.size(), slot);
        if (digitsEnd == text.size()) {
            return {true, 0};
        }
        if (digitsEnd == kDeparture.size() || text[digitsEnd] != ' ') {
            return foreign();
        }
        const std::string tail = std::to_string(slot) + "09";
        const std::string_view rest = text.substr(digitsEnd + 1);
        if (rest.size() < tail.size()) {
            return std::string_view(tail).starts_with(rest) ? Step{true, 0} : foreign();
        }
        if (!rest.starts_with(tail)) {
            return foreign();
        }
        out.departures.push_back(slot);
        return {false, pos + digitsEnd + 1 + tail.size()};
    }
    return foreign();
}
