#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A chat text that a soak client can find again in a byte stream without framing:
//
//   '{' kind sender(4 hex) seq(8 hex) [target slot (2 hex), private only] length(4 hex)
//   payload(length bytes) '}'
//
// The payload is pseudo-random bytes derived from (run seed, kind, sender, seq), so a receiver
// regenerates it and compares byte for byte. Payload bytes are never '{', ':' or '@': '{' then
// only ever starts a record, ':' only a server notice, and no piece of a record that the
// transport splits off can begin a private message.
enum class RecordKind : char { Broadcast = 'B', Private = 'P' };

struct RecordHeader {
    RecordKind kind = RecordKind::Broadcast;
    std::uint16_t sender = 0; // the sending connection's id
    std::uint32_t seq = 0;
    std::uint8_t target = 0; // private only: the slot it was addressed to
    std::uint16_t length = 0;
};

inline constexpr char kRecordStart = '{';
inline constexpr char kRecordEnd = '}';
inline constexpr std::size_t kMaxPayload = 0xFFFF;

std::size_t headerSize(RecordKind kind);
std::size_t recordSize(const RecordHeader& header);

std::string encodeRecord(const RecordHeader& header, std::uint64_t runSeed);

// Reads the header at the start of text (text[0] == '{'); false when it is malformed.
bool parseHeader(const char* text, std::size_t size, RecordHeader& out);

// True when payload (header.length bytes) is exactly what the sender generated.
bool payloadMatches(const RecordHeader& header, const char* payload, std::uint64_t runSeed);

// Bytes for a large text: letters only, so it holds nothing a scanner could take for a
// record or a notice, and it never begins with '@'.
std::string fillerText(std::size_t size, std::uint64_t seed);
