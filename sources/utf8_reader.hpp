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
    const uint32_t b1 = c.bytes[1] & 0x3Fu;
    switch (c.length) {
        case 2:
            c.code_point = (c.bytes[0] & 0x1Fu) << 6 | b1;
            break;
        case 3:
            c.code_point = (c.bytes[0] & 0x0Fu) << 12 | b1 << 6 | (c.bytes[2] & 0x3Fu);
            break;
        default:
            c.code_point = (c.bytes[0] & 0x07u) << 18 | b1 << 12 | (c.bytes[2] & 0x3Fu) << 6 |
                           (c.bytes[3] & 0x3Fu);
            break;
    }
    return true;
}

}  // namespace vorlenta
