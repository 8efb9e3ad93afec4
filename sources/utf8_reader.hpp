// UTF-8 reader: one byte at a time into a character record, no look-ahead, no validation.
// Ill-formed input is decoded or dropped by fixed rules and never reported.
#pragma once

#include <cstdint>

#include "engine/engine.hpp"

namespace vorlenta {

// Sequence length announced by a start byte; 0 for a continuation byte (80..BF, F8..FF).
inline uint32_t sequence_length(uint8_t b) {
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0) return 2;
    if ((b & 0xF0) == 0xE0) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    return 0;
}

// The code point of a complete sequence of 1 to 4 bytes, first byte first. Continuation
// bytes give their low six bits, whatever their high bits.
inline uint32_t decode_code_point(const uint8_t* bytes, uint32_t length) {
    switch (length) {
        case 1:
            return bytes[0];
        case 2:
            return (bytes[0] & 0x1Fu) << 6 | (bytes[1] & 0x3Fu);
        case 3:
            return (bytes[0] & 0x0Fu) << 12 | (bytes[1] & 0x3Fu) << 6 | (bytes[2] & 0x3Fu);
        default:
            return (bytes[0] & 0x07u) << 18 | (bytes[1] & 0x3Fu) << 12 | (bytes[2] & 0x3Fu) << 6 |
                   (bytes[3] & 0x3Fu);
    }
}

// True when `b` completes a character in `c`. Every start byte clears the record and opens a
// new sequence (a cut-short one is lost); a continuation byte is stored behind what is there,
// so one arriving outside an open sequence leaves a record that cannot complete until the next
// start byte. Once four bytes are stored, further continuation bytes are dropped.
inline bool read_byte(Utf8Char& c, uint8_t b) {
    if (b < 0x80) {
        c = Utf8Char{{b, 0, 0, 0}, b, 1, 1};
        return true;
    }
    if (const uint32_t n = sequence_length(b)) {
        c = Utf8Char{{b, 0, 0, 0}, 0, 1, n};
        return false;
    }
    if (c.received >= 4) return false;
    c.bytes[c.received++] = b;
    if (c.received != c.length) return false;
    c.code_point = decode_code_point(c.bytes, c.length);
    return true;
}

}  // namespace vorlenta
