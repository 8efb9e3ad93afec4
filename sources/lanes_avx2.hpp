// The block path's lanes for AVX2: a 64-byte block as two 32-byte vectors. Compiled by target
// attributes, so that the rest of the build needs no AVX2; the process takes the path only
// where the CPU runs it (cpu_runs). Another instruction set is another header like this one,
// another row of SCAN_PATH_TABLE (fast_batch.hpp) and its line in sources/scan_paths.txt.
#pragma once

#include "sources/block_scan.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORLENTA_AVX2 1
#include <immintrin.h>

namespace vorlenta {
namespace detail {

#define AVX2_CODE __attribute__((target("avx2,bmi,bmi2,popcnt")))

struct Avx2Lanes {
    // The copies move whole vectors: up to 31 bytes, or 15 code units, past the n they copy.
    static constexpr uint32_t BYTE_OVERRUN = 31;
    static constexpr uint32_t UNIT_OVERRUN = 15;

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
};
static_assert(copies_fit<Avx2Lanes>, "the staging room covers the AVX2 copies' overrun");

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
