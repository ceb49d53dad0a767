#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace talkmere::fuzz {

// The fuzzer's bytes read front to back; once they run out every read gives zeros, so a decoder
// never has to ask whether there is more before it reads.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool exhausted() const { return at_ >= size_; }
    size_t left() const { return size_ - at_; }

    quint8 byte() { return exhausted() ? 0 : data_[at_++]; }
    quint16 word() {
        const quint16 high = byte();
        return static_cast<quint16>(high << 8 | byte());
    }
    // Up to count bytes, fewer at the end of the input.
    QByteArray bytes(size_t count) {
        count = std::min(count, left());
        QByteArray taken(reinterpret_cast<const char*>(data_ + at_), static_cast<qsizetype>(count));
        at_ += count;
        return taken;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

} // namespace talkmere::fuzz
