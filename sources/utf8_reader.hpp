// UTF-8 reader: one byte at a time into a character record, no look-ahead, no validation.
// Ill-formed input is decoded or dropped by fixed rules and never reported.
#pragma once

#include <cstdint>

#include "engine/engine.hpp"
#include "sources/utf8.hpp"

namespace vorlenta {

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
