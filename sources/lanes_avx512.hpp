// The block path's lanes for AVX-512 with VBMI2: a block's tokens are written with expand and
// compress instructions instead of the AVX2 shuffle tables, 32 bytes of input at a time. What
// AVX-512 does not make faster (the copies of single tokens) is AVX2's, which every CPU with
// AVX-512 runs.
#pragma once

#include "sources/lanes_avx2.hpp"

#if defined(VORLENTA_AVX2)
#define VORLENTA_AVX512 1

// GCC 12's AVX-512 intrinsics start some results from a deliberately undefined vector, which
// its own -Wmaybe-uninitialized then reports wherever they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

namespace vorlenta {
namespace detail {

#define AVX512_CODE \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,avx2,bmi,bmi2,popcnt")))

// The zero slots and value slots of 32 characters: character i takes output places 2i (a zero
// before it, where bit i of `zeros` is set) and 2i + 1 (itself). Taking the value bits (odd)
// at the places that exist packs them into a mask of the output, a 1 where the next character
// goes and a 0 where a zero goes. For zeros = 0b0101 (zeros before characters 0 and 2):
//   places that exist   ...1110111011   (bit 2i for each zero, bit 2i+1 for each character)
//   output              ...11011010     a zero, char 0, char 1, a zero, char 2, char 3, ...
// 32 + popcount(zeros) bits of it are the output's.
inline AVX512_CODE uint64_t output_of(uint32_t zeros) {
    constexpr uint64_t EVEN = 0x5555555555555555, ODD = 0xAAAAAAAAAAAAAAAA;
    return _pext_u64(ODD, _pdep_u64(zeros, EVEN) | ODD);
}

struct Avx512Lanes {
    static constexpr uint32_t BYTE_OVERRUN = Avx2Lanes::BYTE_OVERRUN;
    static constexpr uint32_t UNIT_OVERRUN = Avx2Lanes::UNIT_OVERRUN;

    static bool cpu_runs() {
        __builtin_cpu_init();
        return Avx2Lanes::cpu_runs() && __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2");
    }

    static AVX512_CODE inline uint32_t lowest_bit(uint64_t bits) { return Avx2Lanes::lowest_bit(bits); }
    static AVX512_CODE inline uint32_t highest_bit(uint64_t bits) { return Avx2Lanes::highest_bit(bits); }
    static AVX512_CODE inline uint32_t count_bits(uint64_t bits) { return Avx2Lanes::count_bits(bits); }

    // The primitives that byte_kinds() classifies a block with (byte_kinds.hpp): a block is one
    // vector, and a compare gives its mask at once. (In a struct, as AVX2's two vectors are: the
    // generic code between them is compiled without AVX-512, where a bare vector may not pass.)
    struct Block {
        __m512i v;
    };
    static AVX512_CODE inline Block load(const uint8_t* p) { return {_mm512_loadu_si512(p)}; }
    static AVX512_CODE inline Block high_nibbles(const Block& b) {
        return {_mm512_and_si512(_mm512_srli_epi16(b.v, 4), _mm512_set1_epi8(0x0F))};
    }
    static AVX512_CODE inline Block low_nibbles(const Block& b) {
        return {_mm512_and_si512(b.v, _mm512_set1_epi8(0x0F))};
    }
    // vpshufb looks up within each 128-bit lane, so every lane holds the table.
    static AVX512_CODE inline Block look_up(const uint8_t (&table)[16], const Block& nibbles) {
        const __m512i t = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table)));
        return {_mm512_shuffle_epi8(t, nibbles.v)};
    }
    static AVX512_CODE inline Block both(const Block& a, const Block& b) {
        return {_mm512_and_si512(a.v, b.v)};
    }
    static AVX512_CODE inline uint64_t tops(const Block& b) { return _mm512_movepi8_mask(b.v); }
    static AVX512_CODE inline uint64_t equal(const Block& b, uint8_t byte) {
        return _mm512_cmpeq_epi8_mask(b.v, _mm512_set1_epi8(static_cast<char>(byte)));
    }
    template <uint8_t BITS>
    static AVX512_CODE inline uint64_t any_bits(const Block& b) {
        return _mm512_test_epi8_mask(b.v, _mm512_set1_epi8(static_cast<char>(BITS)));
    }

    static AVX512_CODE inline void copy_bytes(uint8_t* to, const uint8_t* from, uint32_t n) {
        Avx2Lanes::copy_bytes(to, from, n);
    }
    static AVX512_CODE inline void byte_units(uint16_t* to, const uint8_t* from, uint32_t n) {
        Avx2Lanes::byte_units(to, from, n);
    }
    static AVX512_CODE inline void pair_units(uint16_t* to, const uint8_t* from, uint32_t n) {
        Avx2Lanes::pair_units(to, from, n);
    }

    // As Avx2Lanes::expand_bytes; writes up to 31 bytes past what it leaves (the last input
    // bytes of its last 32), and reads up to 31 past n.
    static AVX512_CODE inline void expand_bytes(uint8_t* out, const uint8_t* in, uint64_t zeros,
                                                uint32_t n) {
        for (uint32_t i = 0; i < n; i += 32) {
            const uint32_t z = static_cast<uint32_t>(zeros >> i);
            const __m512i bytes = _mm512_castsi256_si512(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)));
            const uint32_t length = 32 + count_bits(z);
            _mm512_mask_storeu_epi8(out, _bzhi_u64(~uint64_t{0}, length),
                                    _mm512_maskz_expand_epi8(output_of(z), bytes));
            out += length;
        }
    }

    // As Avx2Lanes::expand_units: the units computed at every byte, compressed to those of the
    // starts, and expanded around the zeros. Writes nothing past what it leaves.
    static AVX512_CODE inline void expand_units(uint16_t* out, const uint8_t* in, uint64_t starts,
                                                uint64_t zeros, uint32_t n, bool triples) {
        const __m512i low6 = _mm512_set1_epi16(0x3F);
        for (uint32_t i = 0; i < n; i += 32) {
            const __m512i b = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)));
            const __m512i next = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 1)));
            const __m512i tail = _mm512_and_si512(next, low6);
            __m512i wide = _mm512_or_si512(
                _mm512_slli_epi16(_mm512_and_si512(b, _mm512_set1_epi16(0x1F)), 6), tail);
            if (triples) {
                const __m512i third = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 2)));
                const __m512i three = _mm512_or_si512(
                    _mm512_or_si512(_mm512_slli_epi16(b, 12), _mm512_slli_epi16(tail, 6)),
                    _mm512_and_si512(third, low6));
                wide = _mm512_mask_blend_epi16(_mm512_cmpgt_epu16_mask(b, _mm512_set1_epi16(0xDF)), wide, three);
            }
            const __m512i units = _mm512_mask_blend_epi16(_mm512_cmpgt_epu16_mask(b, _mm512_set1_epi16(0x7F)), b, wide);
            out = spread_units(out, units, static_cast<uint32_t>(starts >> i), static_cast<uint32_t>(zeros >> i));
        }
    }

    static AVX512_CODE inline void expand_ascii_units(uint16_t* out, const uint8_t* in,
                                                      uint64_t zeros, uint32_t n) {
        for (uint32_t i = 0; i < n; i += 32) {
            const __m512i units = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)));
            const uint32_t chars = n - i < 32 ? n - i : 32;
            out = spread_units(out, units, static_cast<uint32_t>(_bzhi_u64(~uint64_t{0}, chars)),
                               static_cast<uint32_t>(zeros >> i));
        }
    }

    // 32 units: those of `starts` kept, a zero before those of `zeros`; where the next go.
    static AVX512_CODE inline uint16_t* spread_units(uint16_t* out, __m512i units, uint32_t starts,
                                                     uint32_t zeros) {
        const __m512i chars = _mm512_maskz_compress_epi16(starts, units);
        const uint64_t places = output_of(_pext_u32(zeros, starts));
        const uint32_t first = static_cast<uint32_t>(places);
        const __m512i rest = _mm512_permutexvar_epi16(
            _mm512_add_epi16(iota16(), _mm512_set1_epi16(static_cast<short>(count_bits(first)))), chars);
        const uint32_t length = count_bits(starts) + count_bits(zeros);
        _mm512_mask_storeu_epi16(out, static_cast<uint32_t>(_bzhi_u64(~uint64_t{0}, length)),
                                 _mm512_maskz_expand_epi16(first, chars));
        if (length > 32)
            _mm512_mask_storeu_epi16(out + 32, static_cast<uint32_t>(_bzhi_u64(~uint64_t{0}, length - 32)),
                                     _mm512_maskz_expand_epi16(static_cast<uint32_t>(places >> 32), rest));
        return out + length;
    }

    static AVX512_CODE inline __m512i iota16() {
        return _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                                15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    }

    // As Avx2Lanes::start_types: the block's first bytes looked up 64 at a time (ASCII in a
    // 128-entry table, every other byte a Cyrillic lead), those at `at` compressed together
    // and widened to 8 bytes, 8 types a store.
    static AVX512_CODE inline void start_types(uint64_t* to, const uint8_t* p, uint64_t at,
                                               const ScanContext& context) {
        const __m512i bytes = _mm512_loadu_si512(p);
        const __m512i ascii = _mm512_permutex2var_epi8(_mm512_load_si512(context.ascii_type), bytes,
                                                       _mm512_load_si512(context.ascii_type + 64));
        const __m512i types = _mm512_mask_blend_epi8(
            _mm512_movepi8_mask(bytes), ascii,
            _mm512_set1_epi8(static_cast<char>(type_bits(TokenType::RUWORD))));
        __m512i picked = _mm512_maskz_compress_epi8(at, types);
        const uint32_t count = count_bits(at);
        for (uint32_t i = 0; i < count; i += 8) {
            const __m512i wide = _mm512_maskz_cvtepu8_epi64(0xFF, _mm512_castsi512_si128(picked));
            _mm512_mask_storeu_epi64(to + i, static_cast<__mmask8>(_bzhi_u32(0xFF, count - i)), wide);
            picked = _mm512_alignr_epi64(picked, picked, 1);  // the next 8 to the bottom
        }
    }
};
static_assert(copies_fit<Avx512Lanes>, "the staging room covers the AVX-512 copies' overrun");
static_assert(emission_fits<Avx512Lanes>, "the staging room covers a block written at once");

// As Avx2Blocks, compiled for AVX-512.
struct Avx512Blocks {
    using Lanes = Avx512Lanes;
    static constexpr bool enabled = true;
    template <class Places>
    static __attribute__((noinline, flatten)) AVX512_CODE const uint8_t* run(
        InFlight& flight, const ScanContext& context, const uint8_t* p, const uint8_t* end,
        Places& places) {
        return run_blocks<Avx512Blocks>(flight, context, p, end, places);
    }
    template <class Places>
    static __attribute__((noinline, flatten)) AVX512_CODE const uint8_t* tight(
        InFlight& flight, const BlockContext& block, const uint8_t* p, const BlockView& v,
        Places& places) {
        return run_tight<Avx512Lanes>(flight, block, p, v, places);
    }
    static __attribute__((noinline, flatten)) AVX512_CODE const uint8_t* well_formed(
        const uint8_t* p, const uint8_t* end, uint64_t& non_ascii) {
        return well_formed_blocks<Avx512Lanes>(p, end, non_ascii);
    }
    static __attribute__((noinline)) AVX512_CODE ByteKinds kinds(const uint8_t* p) {
        return byte_kinds<Avx512Lanes>(p);
    }
};

#undef AVX512_CODE

}  // namespace detail
}  // namespace vorlenta

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif
