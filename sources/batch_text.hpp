// A batch's text as the code units of the string that strict UTF-8 decoding gives, so that the
// string can be built in its final storage without a general-purpose decoder.
#pragma once

#include <cstdint>
#include <cstring>

namespace vorlenta {

struct TextShape {
    uint64_t chars;     // code points, if the text is well-formed
    uint32_t max_char;  // 0x7F, 0xFF, 0xFFFF or 0x10FFFF: the narrowest code unit that holds it
};

// One pass over the bytes. In well-formed UTF-8 every byte but a continuation byte starts a
// character, and the largest lead byte tells the width: C2..C3 lead code points below U+0100,
// up to EF below U+10000.
inline TextShape measure_text(const uint8_t* p, uint64_t n) {
    uint64_t continuation = 0;
    uint8_t largest = 0;
    // In blocks whose count fits 32 bits, which the compiler turns into vector code.
    for (uint64_t start = 0; start < n; start += 1u << 20) {
        const uint32_t size = static_cast<uint32_t>(n - start < (1u << 20) ? n - start : 1u << 20);
        const uint8_t* const block = p + start;
        uint32_t count = 0;
        for (uint32_t i = 0; i < size; ++i) {
            count += static_cast<int8_t>(block[i]) < -0x40;  // 80..BF
            largest = block[i] > largest ? block[i] : largest;
        }
        continuation += count;
    }
    const uint32_t max_char = largest < 0x80   ? 0x7F
                              : largest < 0xC4 ? 0xFF
                              : largest < 0xF0 ? 0xFFFF
                                               : 0x10FFFF;
    return {n - continuation, max_char};
}

inline bool in_range(uint8_t b, uint8_t lo, uint8_t hi) { return b >= lo && b <= hi; }

// Decodes the bytes into `shape.chars` code units. False, with `out` partly written, when the
// bytes are not well-formed UTF-8 (overlong forms, surrogates, values above U+10FFFF, a
// sequence cut short) or do not fit the shape: the caller then leaves it to a strict decoder
// to report the error.
template <class Unit>
bool decode_text(const uint8_t* p, uint64_t n, TextShape shape, Unit* out) {
    const uint8_t* const end = p + n;
    Unit* const out_end = out + shape.chars;
    while (p < end) {
        // One- and two-byte characters, the bulk of Russian and English text, first.
        for (const uint8_t* const last = end - 1; p < last;) {
            const uint32_t b0 = p[0];
            if (b0 < 0x80) {
                *out++ = static_cast<Unit>(b0);
                p += 1;
                continue;
            }
            const uint32_t b1 = p[1] ^ 0x80u;  // a continuation byte becomes 00..3F
            if (b0 - 0xC2 > 0xDF - 0xC2 || b1 > 0x3F) break;
            *out++ = static_cast<Unit>((b0 & 0x1Fu) << 6 | b1);
            p += 2;
        }
        if (p == end) break;
        if (out == out_end) return false;
        const uint8_t b0 = p[0];
        uint32_t cp;
        if (b0 < 0x80) {
            cp = b0;
            p += 1;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            if (end - p < 2 || !in_range(p[1], 0x80, 0xBF)) return false;
            cp = (b0 & 0x1Fu) << 6 | (p[1] & 0x3Fu);
            p += 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            const uint8_t lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
            if (end - p < 3 || !in_range(p[1], lo, hi) || !in_range(p[2], 0x80, 0xBF)) return false;
            cp = (b0 & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
            p += 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            const uint8_t lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
            if (end - p < 4 || !in_range(p[1], lo, hi) || !in_range(p[2], 0x80, 0xBF) ||
                !in_range(p[3], 0x80, 0xBF))
                return false;
            cp = (b0 & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
            p += 4;
        } else {
            return false;
        }
        if (cp > shape.max_char) return false;
        *out++ = static_cast<Unit>(cp);
    }
    return out == out_end;
}

}  // namespace vorlenta
