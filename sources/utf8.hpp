// The UTF-8 rules, in one place: the length a start byte announces, the decoding formula, and
// which characters are well-formed enough to be one 16-bit code unit of a str. The reader, the
// fast batch loop and the code-unit check all use these and nothing else.
#pragma once

#include <cstddef>
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

// The character at q, given the n >= 1 bytes there, by the strict rules (no overlong forms,
// surrogates or values above U+10FFFF): its length and true when it is well-formed; the length
// of its maximal ill-formed part (at least 1) and false when not; or length 0 when the n bytes
// begin a well-formed character that needs more of them.
struct Utf8Step {
    uint32_t length;
    bool ok;
};

inline Utf8Step utf8_step(const uint8_t* q, size_t n) {
    const uint8_t b = q[0];
    if (b < 0x80) return {1, true};
    uint32_t need;
    uint8_t low = 0x80, high = 0xBF;  // the second byte's range
    if (b >= 0xC2 && b <= 0xDF) {
        need = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return {1, false};
    }
    for (uint32_t i = 1; i < need; ++i) {
        if (i >= n) return {0, false};
        const uint8_t c = q[i];
        if (i == 1 ? (c < low || c > high) : !is_continuation_byte(c)) return {i, false};
    }
    return {need, true};
}

}  // namespace vorlenta
