// The block path's lanes for AVX2: a 64-byte block as two 32-byte vectors. Compiled by target
// attributes, so that the rest of the build needs no AVX2; the process takes the path only
// where the CPU runs it (cpu_runs). Another instruction set is another header like this one,
// another row of SCAN_PATH_TABLE (fast_batch.hpp) and its line in sources/scan_paths.txt.
#pragma once

#include "sources/block_scan.hpp"
#include "sources/expand_tables.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORLENTA_AVX2 1
#include <immintrin.h>

namespace vorlenta {
namespace detail {

#define AVX2_CODE __attribute__((target("avx2,bmi,bmi2,popcnt")))

struct Avx2Lanes {
    // The copies move whole vectors: up to 31 bytes, or 16 code units, past the n they copy.
    static constexpr uint32_t BYTE_OVERRUN = 31;
    static constexpr uint32_t UNIT_OVERRUN = 16;

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

    static AVX2_CODE inline uint32_t bits(__m256i m) {
        return static_cast<uint32_t>(_mm256_movemask_epi8(m));
    }
    // Bytes from lo to hi (unsigned): x - lo, unsigned, at most hi - lo.
    static AVX2_CODE inline __m256i in(__m256i v, uint8_t lo, uint8_t hi) {
        const __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(lo)));
        const __m256i span = _mm256_set1_epi8(static_cast<char>(hi - lo));
        return _mm256_cmpeq_epi8(_mm256_min_epu8(d, span), d);
    }
    static AVX2_CODE inline __m256i is(__m256i v, uint8_t b) {
        return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(b)));
    }
    // A mask of a whole block from its two halves' compares.
    static AVX2_CODE inline uint64_t join(__m256i lo, __m256i hi) {
        return bits(lo) | uint64_t{bits(hi)} << 32;
    }
    static AVX2_CODE inline ByteKinds kinds(const uint8_t* p) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        const __m256i case_a = _mm256_or_si256(a, _mm256_set1_epi8(0x20));  // A-Z as a-z
        const __m256i case_b = _mm256_or_si256(b, _mm256_set1_epi8(0x20));
        ByteKinds k;
        k.high = join(a, b);
        k.cont = join(in(a, 0x80, 0xBF), in(b, 0x80, 0xBF));
        k.lead2 = join(in(a, 0xC2, 0xDF), in(b, 0xC2, 0xDF));
        k.lead3 = join(_mm256_or_si256(in(a, 0xE1, 0xEC), in(a, 0xEE, 0xEF)),
                       _mm256_or_si256(in(b, 0xE1, 0xEC), in(b, 0xEE, 0xEF)));
        k.latin = join(in(case_a, 'a', 'z'), in(case_b, 'a', 'z'));
        k.digit = join(in(a, '0', '9'), in(b, '0', '9'));
        k.hyphen = join(is(a, '-'), is(b, '-'));
        k.d0 = join(is(a, 0xD0), is(b, 0xD0));
        k.d1 = join(is(a, 0xD1), is(b, 0xD1));
        k.upper_cont = join(in(a, 0x90, 0xBF), in(b, 0x90, 0xBF));
        k.b81 = join(is(a, 0x81), is(b, 0x81));
        k.b91 = join(is(a, 0x91), is(b, 0x91));
        return k;
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
        for (uint32_t i = 0; i < n; i += 8) {
            const __m128i units = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i)));
            const uint32_t z = static_cast<uint32_t>(zeros >> i) & 0xFF;
            zeros_before_units(out, units, z);
            out += 8 + count_bits(z);
        }
    }

    // The types of the tokens starting at the bits of `at` in the block at p, by their first
    // bytes (ScanContext::start_type), one after another.
    static AVX2_CODE inline void start_types(uint64_t* to, const uint8_t* p, uint64_t at,
                                             const ScanContext& context) {
        for (uint64_t m = at; m != 0; m &= m - 1) *to++ = context.start_type[p[lowest_bit(m)]];
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
};

#undef AVX2_CODE

}  // namespace detail
}  // namespace vorlenta

#endif
