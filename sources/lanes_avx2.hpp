// The block path's lanes for AVX2: a 64-byte block as two 32-byte vectors. Compiled by target
// attributes, so that the rest of the build needs no AVX2; the process takes the path only
// where the CPU runs it (cpu_runs). Another instruction set is another header like this one,
// another row of SCAN_PATH_TABLE (scan_path.cpp) and its line in sources/scan_paths.txt.
#pragma once

#include "sources/block_scan.hpp"
#include "sources/expand_tables.hpp"
#include "sources/utf8_blocks.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORLENTA_AVX2 1
#include <immintrin.h>

namespace vorlenta {
namespace detail {

#define AVX2_CODE __attribute__((target("avx2,bmi,bmi2,popcnt")))

struct Avx2Lanes {
    // The copies move whole vectors: up to 31 bytes, or 16 code units, past the n they copy; a
    // block written at once, up to 24 code units past what it leaves.
    static constexpr uint32_t BYTE_OVERRUN = 31;
    static constexpr uint32_t UNIT_OVERRUN = 24;

    // The compiler's CPU check also asks the operating system whether it saves the vector
    // registers that AVX needs.
    static bool cpu_runs() {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    }

    static AVX2_CODE inline uint32_t lowest_bit(uint64_t bits) {
        return static_cast<uint32_t>(__builtin_ctzll(bits));
    }
    static AVX2_CODE inline uint32_t highest_bit(uint64_t bits) {
        return 63 - static_cast<uint32_t>(__builtin_clzll(bits));
    }
    static AVX2_CODE inline uint32_t count_bits(uint64_t bits) {
        return static_cast<uint32_t>(__builtin_popcountll(bits));
    }

    // The primitives that byte_kinds() classifies a block with (byte_kinds.hpp): a block is
    // two vectors, and each mask joins their two halves.
    struct Block {
        __m256i lo, hi;
    };
    static AVX2_CODE inline uint64_t join(uint32_t lo, uint32_t hi) {
        return lo | uint64_t{hi} << 32;
    }
    static AVX2_CODE inline Block load(const uint8_t* p) {
        return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))};
    }
    // No byte shift: a 16-bit one, whose bits from the next byte the mask drops.
    static AVX2_CODE inline Block high_nibbles(const Block& b) {
        const __m256i low4 = _mm256_set1_epi8(0x0F);
        return {_mm256_and_si256(_mm256_srli_epi16(b.lo, 4), low4),
                _mm256_and_si256(_mm256_srli_epi16(b.hi, 4), low4)};
    }
    static AVX2_CODE inline Block low_nibbles(const Block& b) {
        const __m256i low4 = _mm256_set1_epi8(0x0F);
        return {_mm256_and_si256(b.lo, low4), _mm256_and_si256(b.hi, low4)};
    }
    // vpshufb looks up within each 128-bit lane, so both lanes hold the table.
    static AVX2_CODE inline Block look_up(const uint8_t (&table)[16], const Block& nibbles) {
        const __m256i t =
            _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table)));
        return {_mm256_shuffle_epi8(t, nibbles.lo), _mm256_shuffle_epi8(t, nibbles.hi)};
    }
    static AVX2_CODE inline Block both(const Block& a, const Block& b) {
        return {_mm256_and_si256(a.lo, b.lo), _mm256_and_si256(a.hi, b.hi)};
    }
    static AVX2_CODE inline uint64_t tops(const Block& b) {
        return join(static_cast<uint32_t>(_mm256_movemask_epi8(b.lo)),
                    static_cast<uint32_t>(_mm256_movemask_epi8(b.hi)));
    }
    static AVX2_CODE inline uint64_t equal(const Block& b, uint8_t byte) {
        const __m256i v = _mm256_set1_epi8(static_cast<char>(byte));
        return tops({_mm256_cmpeq_epi8(b.lo, v), _mm256_cmpeq_epi8(b.hi, v)});
    }
    // No test of any bits: the top bit is read as it is; the top bits from some bit on, by a
    // saturating add that carries any of them into the top; another single bit, moved up to
    // the top; others, added to 7F after the AND.
    template <uint8_t BITS>
    static AVX2_CODE inline uint64_t any_bits(const Block& b) {
        static_assert(BITS != 0);
        constexpr uint8_t lowest = BITS & -BITS;
        if constexpr (BITS == uint8_t(0x100 - lowest)) {
            if constexpr (lowest == 0x80) {
                return tops(b);
            } else {
                const __m256i carry = _mm256_set1_epi8(static_cast<char>(0x80 - lowest));
                return tops({_mm256_adds_epu8(b.lo, carry), _mm256_adds_epu8(b.hi, carry)});
            }
        } else if constexpr (BITS == lowest) {
            constexpr int up = __builtin_clz(BITS) - 24;  // 7 - the bit's place
            return tops({_mm256_slli_epi16(b.lo, up), _mm256_slli_epi16(b.hi, up)});
        } else {
            const __m256i bits = _mm256_set1_epi8(static_cast<char>(BITS));
            const __m256i seven_f = _mm256_set1_epi8(0x7F);
            return tops({_mm256_adds_epu8(_mm256_and_si256(b.lo, bits), seven_f),
                         _mm256_adds_epu8(_mm256_and_si256(b.hi, bits), seven_f)});
        }
    }

    // Most tokens take one vector; n is at least 1.
    static AVX2_CODE inline void copy_bytes(uint8_t* to, const uint8_t* from, uint32_t n) {
        uint32_t i = 0;
        do {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i)));
            i += 32;
        } while (__builtin_expect(i < n, 0));
    }
    // n ASCII characters as code units.
    static AVX2_CODE inline void byte_units(uint16_t* to, const uint8_t* from, uint32_t n) {
        uint32_t i = 0;
        do {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), _mm256_cvtepu8_epi16(bytes));
            i += 16;
        } while (__builtin_expect(i < n, 0));
    }
    // n two-byte characters as code units: (lead & 1F) << 6 | (continuation & 3F).
    static AVX2_CODE inline void pair_units(uint16_t* to, const uint8_t* from, uint32_t n) {
        uint32_t i = 0;
        do {
            const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 2 * i));
            const __m256i lead =
                _mm256_slli_epi16(_mm256_and_si256(w, _mm256_set1_epi16(0x1F)), 6);
            const __m256i cont =
                _mm256_and_si256(_mm256_srli_epi16(w, 8), _mm256_set1_epi16(0x3F));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), _mm256_or_si256(lead, cont));
            i += 16;
        } while (__builtin_expect(i < n, 0));
    }

    // The n bytes at `in` with a zero before each byte whose bit is set in `zeros`, 8 bytes at
    // a time: a block's tokens, each followed by its zero byte. Writes up to 15 bytes past
    // the n + popcount(zeros) it leaves, and reads up to 7 past n.
    static AVX2_CODE inline void expand_bytes(uint8_t* out, const uint8_t* in, uint64_t zeros,
                                              uint32_t n) {
        for (uint32_t i = 0; i < n; i += 8) {
            const uint32_t m = static_cast<uint32_t>(zeros >> i) & 0xFF;
            const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
            const __m128i row = _mm_load_si128(reinterpret_cast<const __m128i*>(ZEROS_BEFORE.row[m]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(bytes, row));
            out += 8 + count_bits(m);
        }
    }

    // The code units of the characters starting at the bits of `starts` among the n bytes at
    // `in`, with a zero unit before each one whose bit is set in `zeros` (a subset of
    // `starts`). The characters are ASCII, two-byte, or three-byte where `triples`. A unit is
    // computed at every byte as if a character started there, 16 at a time; the shuffle
    // tables keep those of the starts and spread them around the zeros. Writes up to 16 units
    // past the ones it leaves, and reads up to 17 bytes past n.
    static AVX2_CODE inline void expand_units(uint16_t* out, const uint8_t* in, uint64_t starts,
                                              uint64_t zeros, uint32_t n, bool triples) {
        const __m256i low6 = _mm256_set1_epi16(0x3F);
        for (uint32_t i = 0; i < n; i += 16) {
            const __m256i b = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
            const __m256i next = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 1)));
            const __m256i tail = _mm256_and_si256(next, low6);
            // (lead & 1F) << 6 | (next & 3F)
            __m256i wide = _mm256_or_si256(
                _mm256_slli_epi16(_mm256_and_si256(b, _mm256_set1_epi16(0x1F)), 6), tail);
            if (triples) {
                // lead << 12 (the lane drops all but its low nibble) | tail << 6 | (third & 3F)
                const __m256i third = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 2)));
                const __m256i three = _mm256_or_si256(
                    _mm256_or_si256(_mm256_slli_epi16(b, 12), _mm256_slli_epi16(tail, 6)),
                    _mm256_and_si256(third, low6));
                wide = _mm256_blendv_epi8(wide, three, _mm256_cmpgt_epi16(b, _mm256_set1_epi16(0xDF)));
            }
            const __m256i units = _mm256_blendv_epi8(b, wide, _mm256_cmpgt_epi16(b, _mm256_set1_epi16(0x7F)));
            out = spread_units(out, _mm256_castsi256_si128(units), starts >> i, zeros >> i);
            out = spread_units(out, _mm256_extracti128_si256(units, 1), starts >> (i + 8), zeros >> (i + 8));
        }
    }

    // The same for n ASCII bytes, each a character: no unit to leave out.
    static AVX2_CODE inline void expand_ascii_units(uint16_t* out, const uint8_t* in,
                                                    uint64_t zeros, uint32_t n) {
        // 16 a round: units 0..7 in the low lane and 8..15 in the high one, each lane spread
        // by its own row, and stored in that order (the second 8 start where the first end).
        for (uint32_t i = 0; i < n; i += 16) {
            const __m256i units = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
            const uint8_t* const a = UNIT_ZEROS_BEFORE.row[static_cast<uint32_t>(zeros >> i) & 0xFF];
            const uint8_t* const b = UNIT_ZEROS_BEFORE.row[static_cast<uint32_t>(zeros >> (i + 8)) & 0xFF];
            const __m256i front = _mm256_shuffle_epi8(units, two_rows(a, b));
            const __m256i back = _mm256_shuffle_epi8(units, two_rows(a + 16, b + 16));
            uint16_t* const second = out + 8 + count_bits(static_cast<uint32_t>(zeros >> i) & 0xFF);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(front));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm256_castsi256_si128(back));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(second), _mm256_extracti128_si256(front, 1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(second + 8), _mm256_extracti128_si256(back, 1));
            out = second + 8 + count_bits(static_cast<uint32_t>(zeros >> (i + 8)) & 0xFF);
        }
    }

    // A shuffle row for each lane.
    static AVX2_CODE inline __m256i two_rows(const uint8_t* lo, const uint8_t* hi) {
        return _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(lo))),
            _mm_load_si128(reinterpret_cast<const __m128i*>(hi)), 1);
    }

    // The types of the tokens starting at the bits of `at` in the block at p, by their first
    // bytes (ScanContext::start_type), one after another.
    static AVX2_CODE inline void start_types(uint64_t* to, const uint8_t* p, uint64_t at,
                                             const ScanContext& context) {
        // Two a round: one test of what is left for two tokens.
        for (uint64_t m = at; m != 0; to += 2) {
            to[0] = context.start_type[p[lowest_bit(m)]];
            m &= m - 1;
            if (m == 0) break;
            to[1] = context.start_type[p[lowest_bit(m)]];
            m &= m - 1;
        }
    }

    // Eight 16-bit lanes: those of the low byte of `starts` kept, a zero before those of the
    // low byte of `zeros`.
    static AVX2_CODE inline uint16_t* spread_units(uint16_t* out, __m128i lanes, uint64_t starts,
                                                   uint64_t zeros) {
        const uint32_t s = static_cast<uint32_t>(starts) & 0xFF;
        const uint32_t z = static_cast<uint32_t>(zeros) & 0xFF;
        const __m128i kept = _mm_shuffle_epi8(
            lanes, _mm_load_si128(reinterpret_cast<const __m128i*>(KEPT_UNITS.row[s])));
        zeros_before_units(out, kept, _pext_u32(z, s));
        return out + count_bits(s) + count_bits(z);
    }

    static AVX2_CODE inline void zeros_before_units(uint16_t* out, __m128i units, uint32_t z) {
        const uint8_t* const row = UNIT_ZEROS_BEFORE.row[z];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_shuffle_epi8(units, _mm_load_si128(reinterpret_cast<const __m128i*>(row))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8),
                         _mm_shuffle_epi8(units, _mm_load_si128(reinterpret_cast<const __m128i*>(row + 16))));
    }
};
static_assert(copies_fit<Avx2Lanes>, "the staging room covers the AVX2 copies' overrun");
static_assert(emission_fits<Avx2Lanes>, "the staging room covers a block written at once");

// The block path compiled for AVX2, with everything it calls inlined (flatten), so that the
// steps shared with the scalar scan are compiled for the same instructions. Called once for
// each stretch of blocks, with copies of the scan's state, so that the scan keeps its own in
// registers; the tight loop apart, so that it has the registers to itself.
struct Avx2Blocks {
    using Lanes = Avx2Lanes;
    static constexpr bool enabled = true;
    template <class Places>
    static __attribute__((noinline, flatten)) AVX2_CODE const uint8_t* run(
        InFlight& flight, const ScanContext& context, const uint8_t* p, const uint8_t* end, Places& places) {
        return run_blocks<Avx2Blocks>(flight, context, p, end, places);
    }
    template <class Places>
    static __attribute__((noinline, flatten)) AVX2_CODE const uint8_t* tight(
        InFlight& flight, const BlockContext& block, const uint8_t* p, const BlockView& v,
        Places& places) {
        return run_tight<Avx2Lanes>(flight, block, p, v, places);
    }
    // The UTF-8 tally's vector step (utf8_blocks.hpp).
    static __attribute__((noinline, flatten)) AVX2_CODE const uint8_t* well_formed(
        const uint8_t* p, const uint8_t* end, uint64_t& non_ascii) {
        return well_formed_blocks<Avx2Lanes>(p, end, non_ascii);
    }
    // A block's kinds as the block path computes them, for the tests to hold to the byte ranges.
    static __attribute__((noinline)) AVX2_CODE ByteKinds kinds(const uint8_t* p) {
        return byte_kinds<Avx2Lanes>(p);
    }
};

#undef AVX2_CODE

}  // namespace detail
}  // namespace vorlenta

#endif
