#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

// Fixed-width lower-case hex, as the bench tools' records carry their fields.
inline void appendHex(std::string& out, std::uint64_t value, std::size_t digits) {
    for (std::size_t i = digits; i-- > 0;) {
        out.push_back("0123456789abcdef"[(value >> (4 * i)) & 0xF]);
    }
}

// False for anything but lower-case hex digits.
inline bool readHex(std::string_view text, std::uint64_t& value) {
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

} // namespace bench
