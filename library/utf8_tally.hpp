// A tally of what in a stream of bytes is not well-formed UTF-8, chunk after chunk: the
// command warns about an input that holds such bytes, and guesses a legacy encoding when
// most of its non-ASCII bytes are.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "sources/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#define VORLENTA_TALLY_AVX2 1
#endif

namespace vorlenta {

#if VORLENTA_TALLY_AVX2
// How many of the 64 bytes at p, from the first, hold only ASCII and well-formed two-byte
// and common three-byte characters, whole: adds their non-ASCII bytes to `non_ascii`. The byte steps take what
// follows (a four-byte character, a stray byte), and the next block starts after it. The masks, one bit per byte, for
// "Да, ok" (D0 94 D0 B0 2C 20 6F 6B):
//     bytes      D0 94 D0 B0 2C 20 6F 6B
//     high        1  1  1  1  0  0  0  0
//     lead        1  0  1  0  0  0  0  0   C2..DF
//     continues   0  1  0  1  0  0  0  0   80..BF
//     lead << 1   0  1  0  1  0  0  0  0   == continues: every lead has its one follower
// and every high byte is a lead or a follower.
#define TALLY_AVX2 __attribute__((target("avx2,popcnt")))

TALLY_AVX2 inline uint32_t byte_bits(__m256i m) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(m));
}

// The bits of the bytes of v (flipped, see below) within [low, high], as signed bytes.
TALLY_AVX2 inline uint32_t flipped_within(__m256i v, char low, char high) {
    return byte_bits(_mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(static_cast<char>(low - 1))),
                                      _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(high + 1)), v)));
}

TALLY_AVX2 inline uint32_t ascii_and_pairs_64(const uint8_t* p, uint64_t& non_ascii) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const uint64_t high = byte_bits(lo) | static_cast<uint64_t>(byte_bits(hi)) << 32;
    if (high == 0) return 64;
    // Bytes from 80 up as 00..7F, ASCII as negatives, so that signed comparisons take ranges.
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i a = _mm256_xor_si256(lo, flip), b = _mm256_xor_si256(hi, flip);
    const uint64_t continues =
        flipped_within(a, 0x00, 0x3F) | static_cast<uint64_t>(flipped_within(b, 0x00, 0x3F)) << 32;
    const uint64_t lead = flipped_within(a, 0x42, 0x5F) |
                          static_cast<uint64_t>(flipped_within(b, 0x42, 0x5F)) << 32;
    // Three-byte leads whose second byte may be any follower: E1..EC, EE, EF (the dashes,
    // quotes and ellipses of typeset text); E0 and ED are left to the byte steps.
    const uint64_t lead3 =
        (flipped_within(a, 0x61, 0x6C) | flipped_within(a, 0x6E, 0x6F)) |
        static_cast<uint64_t>(flipped_within(b, 0x61, 0x6C) | flipped_within(b, 0x6E, 0x6F)) << 32;
    // Where the rule breaks: a high byte that is none of these, or a follower where no lead
    // claims one, or none where one does (a follower in the first byte has its lead before
    // the block, and the byte steps take it). Two leads claiming one byte means one of them
    // claims a lead as its follower, so that breaks too.
    const uint64_t claimed = (lead << 1) | (lead3 << 1) | (lead3 << 2);
    const uint64_t broken = (high & ~(continues | lead | lead3)) | (claimed ^ continues);
    uint32_t taken = broken == 0 ? 64 : static_cast<uint32_t>(std::countr_zero(broken));
    // A character that the break or the block's end cuts is left to the next step.
    const auto is = [taken](uint64_t mask, uint32_t back) {
        return taken >= back && ((mask >> (taken - back)) & 1) != 0;
    };
    if (is(lead3, 1) || is(lead, 1))
        taken -= 1;
    else if (is(lead3, 2))
        taken -= 2;
    const uint64_t kept = taken == 64 ? ~0ull : (1ull << taken) - 1;
    non_ascii += static_cast<uint64_t>(_mm_popcnt_u64(high & kept));
    return taken;
}

inline bool tally_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return has;
}
#endif

struct Utf8Tally {
    uint64_t ill_formed = 0;        // maximal ill-formed parts
    uint64_t ill_formed_bytes = 0;  // the bytes in them
    uint64_t non_ascii_bytes = 0;
    uint8_t carry[4] = {};  // the start of a character that the last chunk cut
    uint32_t carry_length = 0;
    // Whether the vector steps may be taken; off, the byte-by-byte steps alone give the same
    // tally (the tests compare the two).
    bool vectors = true;

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
#if VORLENTA_TALLY_AVX2
        const bool wide = vectors && tally_has_avx2();
#else
        // Read only by the SSE2 steps, which a CPU without AVX2 may still have.
        [[maybe_unused]] const bool wide = false;
#endif
        while (p < end) {
#if VORLENTA_TALLY_AVX2
            if (wide && end - p >= 64) {
                const uint32_t taken = ascii_and_pairs_64(p, non_ascii_bytes);
                if (taken > 0) {
                    p += taken;
                    continue;
                }
            }
#endif
#if defined(__SSE2__)
            if (vectors && !wide && end - p >= 16) {
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

// Whether the n bytes at p are all well-formed UTF-8.
inline bool is_utf8(const uint8_t* p, size_t n) {
    Utf8Tally tally;
    tally.add(p, p + n);
    tally.finish();
    return tally.ill_formed == 0;
}

}  // namespace vorlenta
