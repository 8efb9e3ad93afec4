// A tally of what in a stream of bytes is not well-formed UTF-8, chunk after chunk: the
// command warns about an input that holds such bytes, and guesses a legacy encoding when
// most of its non-ASCII bytes are.
#pragma once

#include <cstdint>
#include <cstring>

#include "sources/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlenta {

struct Utf8Tally {
    uint64_t ill_formed = 0;        // maximal ill-formed parts
    uint64_t ill_formed_bytes = 0;  // the bytes in them
    uint64_t non_ascii_bytes = 0;
    uint8_t carry[4] = {};  // the start of a character that the last chunk cut
    uint32_t carry_length = 0;

    void add(const uint8_t* p, const uint8_t* end) {
        if (carry_length > 0 && p < end) {
            uint8_t joined[8];
            std::memcpy(joined, carry, carry_length);
            const size_t taken = static_cast<size_t>(end - p) < 4 ? static_cast<size_t>(end - p) : 4;
            std::memcpy(joined + carry_length, p, taken);
            const Utf8Step s = utf8_step(joined, carry_length + taken);
            if (s.length == 0) {  // a chunk shorter than the rest of the character
                std::memcpy(carry + carry_length, p, taken);
                carry_length += static_cast<uint32_t>(taken);
                return;
            }
            count(s);
            // The carried bytes were a well-formed start, so whatever ends the character lies
            // in this chunk.
            p += s.length - carry_length;
            carry_length = 0;
        }
        while (p < end) {
#if defined(__SSE2__)
            if (end - p >= 16) {
                const uint32_t taken = ascii_and_pairs(p);
                if (taken > 0) {
                    p += taken;
                    continue;
                }
            }
#endif
            if (*p < 0x80) {
                ++p;
                continue;
            }
            // Cyrillic and the other two-byte letters first.
            if (end - p >= 2 && p[0] >= 0xC2 && p[0] <= 0xDF && (p[1] & 0xC0) == 0x80) {
                non_ascii_bytes += 2;
                p += 2;
                continue;
            }
            const Utf8Step s = utf8_step(p, static_cast<size_t>(end - p));
            if (s.length == 0) {
                carry_length = static_cast<uint32_t>(end - p);
                std::memcpy(carry, p, carry_length);
                return;
            }
            count(s);
            p += s.length;
        }
    }

#if defined(__SSE2__)
    // The 16 bytes at p when they hold only ASCII and well-formed two-byte characters (all
    // Russian and English text): counts them and returns how many it took, 15 when the last
    // one opens a character that the next block ends. 0 for anything else, which the
    // character-by-character steps take.
    uint32_t ascii_and_pairs(const uint8_t* p) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto high = static_cast<uint32_t>(_mm_movemask_epi8(bytes));
        if (high == 0) return 16;
        // Bytes from 80 up as 00..7F, so that signed comparisons order them.
        const __m128i v = _mm_xor_si128(bytes, _mm_set1_epi8(static_cast<char>(0x80)));
        const auto in = [&v](int low, int high_) {
            return static_cast<uint32_t>(_mm_movemask_epi8(
                _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(low - 1))),
                              _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(high_ + 1))))));
        };
        const uint32_t continuation = in(0x00, 0x3F);  // 80..BF
        const uint32_t lead = in(0x42, 0x5F);          // C2..DF
        // Every high byte is one of the two, every lead is followed by a continuation byte
        // and every continuation byte follows a lead.
        if ((high & ~(continuation | lead)) != 0 || ((lead << 1) & 0xFFFF) != continuation)
            return 0;
        // A last lead is left to the next block, which counts it. The high bits are summed
        // in the vector: a popcount instruction cannot be assumed, and the library's is a call.
        const bool last_open = (lead & 0x8000) != 0;
        const __m128i sums = _mm_sad_epu8(_mm_and_si128(_mm_srli_epi16(bytes, 7), _mm_set1_epi8(1)),
                                          _mm_setzero_si128());
        non_ascii_bytes += static_cast<uint32_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4)) -
                           last_open;
        return last_open ? 15 : 16;
    }
#endif

    // The end of the input: a character it cut short is ill-formed.
    void finish() {
        if (carry_length == 0) return;
        count({carry_length, false});
        carry_length = 0;
    }

    void count(Utf8Step s) {
        non_ascii_bytes += s.length;
        if (!s.ok) {
            ++ill_formed;
            ill_formed_bytes += s.length;
        }
    }
};

}  // namespace vorlenta
