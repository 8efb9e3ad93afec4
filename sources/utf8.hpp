// The UTF-8 rules, in one place: the length a start byte announces, the decoding formula, and
// which characters are well-formed enough to be one 16-bit code unit of a str. The reader, the
// fast batch loop and the code-unit check all use these and nothing else.
#pragma once

#include <cstdint>

namespace vorlenta {

// A byte that opens a character: ASCII or a lead byte C0..F7. Anything else (80..BF, F8..FF)
// is taken as a continuation byte.
inline bool is_start_byte(uint8_t b) { return !((b & 0xC0) == 0x80 || b >= 0xF8); }

// A continuation byte in the strict sense: 80..BF.
inline bool is_continuation_byte(uint8_t b) { return (b & 0xC0) == 0x80; }

// Lead bytes by the length they announce.
inline bool is_two_byte_lead(uint8_t b) { return (b & 0xE0) == 0xC0; }
inline bool is_three_byte_lead(uint8_t b) { return (b & 0xF0) == 0xE0; }

// Sequence length announced by a start byte; 0 for a continuation byte (80..BF, F8..FF).
inline uint32_t sequence_length(uint8_t b) {
    if (b < 0x80) return 1;
    if (is_two_byte_lead(b)) return 2;
    if (is_three_byte_lead(b)) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    return 0;
}

// The code point of a sequence, first byte first. Continuation bytes give their low six bits,
// whatever their high bits.
inline uint32_t decode2(uint8_t b0, uint8_t b1) { return (b0 & 0x1Fu) << 6 | (b1 & 0x3Fu); }

inline uint32_t decode3(uint8_t b0, uint8_t b1, uint8_t b2) {
    return (b0 & 0x0Fu) << 12 | (b1 & 0x3Fu) << 6 | (b2 & 0x3Fu);
}

inline uint32_t decode4(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    return (b0 & 0x07u) << 18 | (b1 & 0x3Fu) << 12 | (b2 & 0x3Fu) << 6 | (b3 & 0x3Fu);
}

// The code point of a complete sequence of 1 to 4 bytes.
inline uint32_t decode_code_point(const uint8_t* bytes, uint32_t length) {
    switch (length) {
        case 1:
            return bytes[0];
        case 2:
            return decode2(bytes[0], bytes[1]);
        case 3:
            return decode3(bytes[0], bytes[1], bytes[2]);
        default:
            return decode4(bytes[0], bytes[1], bytes[2], bytes[3]);
    }
}

// Whether a complete sequence is its code point's own UTF-8 form (not overlong, strict
// continuation bytes, not a surrogate) below U+10000: then one 16-bit code unit of a str
// stands for it. Every other character sends its batch to a full decoder.
inline bool has_own_code_unit(const uint8_t* bytes, uint32_t length, uint32_t code_point) {
    switch (length) {
        case 1:
            return true;
        case 2:
            return code_point >= 0x80 && is_continuation_byte(bytes[1]);
        case 3:
            return code_point >= 0x800 && (code_point < 0xD800 || code_point > 0xDFFF) &&
                   is_continuation_byte(bytes[1]) && is_continuation_byte(bytes[2]);
        default:
            return false;
    }
}

}  // namespace vorlenta
