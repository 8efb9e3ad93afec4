// The batch loop's block path: 64 bytes at a time, for text made of ASCII and two-byte
// characters (all of Russian and English prose but a few dashes and quotes).
//
// A block's bytes are compared all at once into bit masks: ASCII, lead and continuation bytes,
// Latin letters, digits, and the lead bytes of Cyrillic letters. From those, one mask marks
// where tokens start: every character but a letter or digit that continues a run of its own
// class. Each token then costs one tzcnt to find, one popcount to count its characters, and a
// 64-byte store of its bytes and of its code units. Closing and starting tokens, joining them
// into compounds and keeping or dropping them are the scalar scan's own steps, so the engine
// state after every call is exactly the scalar scan's.
//
// Whatever is rare goes to the scalar steps, from the first byte of it on: a hyphen-minus
// (which may join a compound), a byte from E0 up (or C0, C1), a lead byte without its
// continuation byte and a continuation byte without its lead, a run that would reach 128
// characters, and the last bytes of a span. A full batch stops the block where the scalar scan
// would stop.
//
// Each instruction set has its own copy of the path, compiled for it by target attributes and
// chosen once per process by what the CPU runs (scan_path.hpp).
#pragma once

#include "sources/scan_path.hpp"
#include "sources/scan_steps.hpp"

#if defined(VORLENTA_BLOCKS)
#include <immintrin.h>
#endif

namespace vorlenta {
namespace detail {

// Bytes of a block, and the bytes that must lie in the span from where a block starts: each
// token's bytes are moved with one 64-byte load from wherever in the block it starts.
inline constexpr uint32_t BLOCK_BYTES = 64;
inline constexpr uint32_t BLOCK_READ = 2 * BLOCK_BYTES;

// The stores of a block's token run up to 64 bytes (and 64 code units) past where it starts.
// The staging room covers them: while the loop runs, the batch holds fewer than batch_size
// tokens, so a whole token budget lies unused behind the staged group and token.
static_assert(TEXT_BYTES_PER_TOKEN + TEXT_STAGING_BYTES >=
                  2 * MAX_TOKEN_CHARS * 4 + 1 + 2 * BLOCK_BYTES,
              "room for a block's byte stores");
static_assert(UNITS_PER_TOKEN + UNITS_STAGING >= 2 * MAX_TOKEN_CHARS + 1 + 2 * BLOCK_BYTES,
              "room for a block's code unit stores");

// A block's bytes by kind, bit i for the byte at i.
struct BlockMasks {
    uint64_t high;      // 80..FF
    uint64_t cont;      // 80..BF
    uint64_t lead2;     // C2..DF
    uint64_t latin;     // A-Z, a-z
    uint64_t digit;     // 0-9
    uint64_t hyphen;    // 2D
    uint64_t d0, d1;    // D0, D1
    uint64_t upper_cont;  // 90..BF
    uint64_t b81, b91;  // 81, 91
};

#if defined(VORLENTA_BLOCKS)

#define AVX2_TARGET "avx2,bmi,bmi2,popcnt"

struct Avx2Lanes {
    static __attribute__((target(AVX2_TARGET))) inline uint32_t bits(__m256i m) {
        return static_cast<uint32_t>(_mm256_movemask_epi8(m));
    }
    // Bytes from lo to hi (unsigned): x - lo, unsigned, at most hi - lo.
    static __attribute__((target(AVX2_TARGET))) inline __m256i in(__m256i v, uint8_t lo, uint8_t hi) {
        const __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(lo)));
        return _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(static_cast<char>(hi - lo))), d);
    }
    static __attribute__((target(AVX2_TARGET))) inline __m256i is(__m256i v, uint8_t b) {
        return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(b)));
    }
    static __attribute__((target(AVX2_TARGET))) inline BlockMasks half(const uint8_t* p) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        BlockMasks m;
        m.high = bits(v);
        m.cont = bits(in(v, 0x80, 0xBF));
        m.lead2 = bits(in(v, 0xC2, 0xDF));
        m.latin = bits(in(_mm256_or_si256(v, _mm256_set1_epi8(0x20)), 'a', 'z'));
        m.digit = bits(in(v, '0', '9'));
        m.hyphen = bits(is(v, '-'));
        m.d0 = bits(is(v, static_cast<char>(0xD0)));
        m.d1 = bits(is(v, static_cast<char>(0xD1)));
        m.upper_cont = bits(in(v, 0x90, 0xBF));
        m.b81 = bits(is(v, static_cast<char>(0x81)));
        m.b91 = bits(is(v, static_cast<char>(0x91)));
        return m;
    }
    static __attribute__((target(AVX2_TARGET))) inline BlockMasks masks(const uint8_t* p) {
        const BlockMasks a = half(p), b = half(p + 32);
        return {a.high | b.high << 32,     a.cont | b.cont << 32,   a.lead2 | b.lead2 << 32,
                a.latin | b.latin << 32,   a.digit | b.digit << 32, a.hyphen | b.hyphen << 32,
                a.d0 | b.d0 << 32,         a.d1 | b.d1 << 32,       a.upper_cont | b.upper_cont << 32,
                a.b81 | b.b81 << 32,       a.b91 | b.b91 << 32};
    }
    // The copies below move whole vectors: up to 31 bytes past the n read and written.
    static __attribute__((target(AVX2_TARGET))) inline void copy_bytes(uint8_t* to, const uint8_t* from, uint32_t n) {
        for (uint32_t i = 0; i < n; i += 32)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i)));
    }
    // n ASCII characters as code units.
    static __attribute__((target(AVX2_TARGET))) inline void byte_units(uint16_t* to, const uint8_t* from, uint32_t n) {
        for (uint32_t i = 0; i < n; i += 16)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i),
                                _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i))));
    }
    // n two-byte characters as code units: (lead & 1F) << 6 | (continuation & 3F).
    static __attribute__((target(AVX2_TARGET))) inline void pair_units(uint16_t* to, const uint8_t* from, uint32_t n) {
        for (uint32_t i = 0; i < n; i += 16) {
            const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 2 * i));
            const __m256i lead = _mm256_slli_epi16(_mm256_and_si256(w, _mm256_set1_epi16(0x1F)), 6);
            const __m256i cont = _mm256_and_si256(_mm256_srli_epi16(w, 8), _mm256_set1_epi16(0x3F));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), _mm256_or_si256(lead, cont));
        }
    }
};

// The bits below bit n, for n from 0 to 64.
inline uint64_t below(uint32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// Writes a token of `chars` characters in `bytes` bytes from `from` at `to` and `units`: all
// ASCII, or all two-byte characters.
template <class Lanes>
inline __attribute__((always_inline)) void write_token(uint8_t* to, uint16_t* units,
                                                       const uint8_t* from, uint32_t bytes,
                                                       uint32_t chars) {
    Lanes::copy_bytes(to, from, bytes);
    if (bytes == chars)
        Lanes::byte_units(units, from, chars);
    else
        Lanes::pair_units(units, from, chars);
}

// The character at q, ASCII or a two-byte character whose continuation byte follows.
inline __attribute__((always_inline)) ScannedChar block_char(const ScanContext& x,
                                                             const uint8_t* q) {
    if (q[0] < 0x80) return {q[0], 1, q[0], x.small[q[0]]};
    const uint32_t cp = decode2(q[0], q[1]);
    return {static_cast<uint32_t>(q[0] | q[1] << 8), 2, cp, x.small[cp]};
}

// Whether a released token of `chars` characters and class `cls` is kept: a table of the lengths
// below 64 for each class, and the settings for longer ones.
struct KeepRule {
    uint64_t short_lengths[8];  // bit n of class k: a token of n characters is kept
    uint32_t classes;           // bit k: the filter keeps class k
    uint32_t min_len, length_span;

    explicit KeepRule(const ScanContext& x) : classes(0), min_len(x.min_len), length_span(x.length_span) {
        for (uint32_t k = 1; k < 8; ++k)
            if ((type_bits(CLASS_TO_TYPE[k]) & x.filter) != 0) classes |= 1u << k;
        // Lengths from min_len to min_len + length_span; none when the filter keeps nothing.
        const uint64_t top = uint64_t{min_len} + length_span + 1;
        const uint64_t lengths = below(top < 64 ? static_cast<uint32_t>(top) : 64) &
                                 ~below(min_len < 64 ? min_len : 64);
        for (uint32_t k = 0; k < 8; ++k) short_lengths[k] = (classes >> k & 1) != 0 ? lengths : 0;
    }
    inline __attribute__((always_inline)) bool operator()(uint8_t cls, uint32_t chars) const {
        if (chars < 64) return (short_lengths[cls] >> chars & 1) != 0;
        return chars - min_len <= length_span && (classes >> cls & 1) != 0;
    }
};

// A token that the tight loop holds outside the staging area: its bytes in the input from
// `from` (all ASCII, or all two-byte characters), its characters and class, and whether it is
// kept once released.
struct HeldToken {
    const uint8_t* from;
    uint32_t bytes, chars;
    uint8_t cls;
    bool keep;
};

inline __attribute__((always_inline)) HeldToken held_token(const ScanContext& x,
                                                           const KeepRule& keep,
                                                           const uint8_t* q, uint32_t bytes) {
    HeldToken t;
    t.from = q;
    t.bytes = bytes;
    const bool ascii = q[0] < 0x80;
    t.chars = ascii ? bytes : bytes / 2;
    t.cls = x.small[ascii ? q[0] : decode2(q[0], q[1])];
    t.keep = keep(t.cls, t.chars);
    return t;
}

// Runs blocks from p while at least BLOCK_READ bytes are left, and returns where it stopped:
// at a byte the scalar steps must take, after the character that filled the batch, or where
// fewer than BLOCK_READ bytes are left. `offset` is where p lies in the source.
//
// Tokens start at each boundary. The first ones go through the scalar scan's steps, until the
// pending group is a single token: nothing can join that in a block (no hyphen-minus reaches
// one), so from then on each token that closes releases the group before it. The tight loop
// then holds the group and the token being built in registers, and writes each token once,
// where it belongs once the group before it has been kept or dropped, instead of staging it
// and moving it. When it stops, it stages the two as the scalar steps would have left them.
template <class Lanes, class Offsets>
inline const uint8_t* run_blocks(Cursors& cursors, const ScanContext& x, const uint8_t* p,
                                 const uint8_t* const end, Ranges& ranges, Offsets& o,
                                 uint64_t* types, uint64_t offset) {
    constexpr bool track = tracks_offsets<Offsets>;
    Cursors c = cursors;
    Ranges r = ranges;
    const uint8_t* const origin = p;
    auto at = [offset, origin](const uint8_t* q) {
        return offset + static_cast<uint64_t>(q - origin);
    };
    const KeepRule keep(x);

    // The tight loop's records: the kept tokens end at kept_end; the group g is written behind
    // them; cur is the token being built, not written yet.
    bool tight = false;
    uint8_t* kept_end = nullptr;
    uint16_t* units_kept_end = nullptr;
    uint64_t* types_end = nullptr;
    HeldToken g{}, cur{};
    auto leave_tight = [&] {
        c.kept_end = kept_end;
        c.units_kept_end = units_kept_end;
        c.types_end = types_end;
        c.group_end = kept_end + g.bytes;
        c.units_group_end = units_kept_end + g.chars;
        c.part_count = 1;
        c.group_type = CLASS_TO_TYPE[g.cls];
        c.group_chars = g.chars;
        x.parts[0] = {c.group_type, g.chars, g.bytes};
    };
    // Back to the cursors, with cur staged as the token being built.
    auto stage_cur = [&] {
        leave_tight();
        uint8_t* const to = c.group_end + 1;
        write_token<Lanes>(to, c.units_group_end + 1, cur.from, cur.bytes, cur.chars);
        c.cur_end = to + cur.bytes;
        c.units_cur_end = c.units_group_end + 1 + cur.chars;
        c.cur_type = CLASS_TO_TYPE[cur.cls];
        c.cur_chars = cur.chars;
        c.extends = is_word_class(cur.cls) && cur.chars < MAX_TOKEN_CHARS ? cur.cls : 0;
        if constexpr (track) {
            r.current_start = at(cur.from);
            r.current_stop = at(cur.from + cur.bytes);
        }
        c.input_behind = true;
    };

    while (end - p >= static_cast<ptrdiff_t>(BLOCK_READ)) {
        const BlockMasks m = Lanes::masks(p);
        // A lead byte at 63 has its continuation byte in the next block: it stops this one.
        const uint64_t lead = m.lead2 & (m.cont >> 1);
        const uint64_t stop = m.hyphen | (m.high & ~m.cont & ~m.lead2) | (m.lead2 & ~lead) |
                              (m.cont & ~(lead << 1));
        const uint32_t zone_end = stop != 0 ? static_cast<uint32_t>(__builtin_ctzll(stop)) : 64;
        if (zone_end == 0) break;
        const uint64_t zone = below(zone_end);
        const uint64_t starts = (~m.high | lead) & zone;
        const uint64_t lower_cont = m.cont & ~m.upper_cont;  // 80..8F
        const uint64_t cyrillic = lead & zone &
                                  ((m.d0 & ((m.upper_cont | m.b81) >> 1)) |
                                   (m.d1 & ((lower_cont | m.b91) >> 1)));
        const uint64_t latin = m.latin & zone, digit = m.digit & zone;
        // Letters and digits that continue the run before them; the first byte continues the
        // token being built when it is of the class that token needs.
        const uint8_t extends =
            tight ? (is_word_class(cur.cls) && cur.chars < MAX_TOKEN_CHARS ? cur.cls : 0)
                  : c.extends;
        const uint64_t joined = (latin & (latin << 1 | uint64_t{extends == 3})) |
                                (digit & (digit << 1 | uint64_t{extends == 4})) |
                                (cyrillic & (cyrillic << 2 | uint64_t{extends == 5}));
        uint64_t boundaries = starts & ~joined;
        const uint32_t first = boundaries != 0 ? static_cast<uint32_t>(__builtin_ctzll(boundaries))
                                               : zone_end;
        if (first > 0) {
            const auto chars = static_cast<uint32_t>(__builtin_popcountll(starts & below(first)));
            const uint32_t before = tight ? cur.chars : c.cur_chars;
            if (before + chars >= MAX_TOKEN_CHARS) break;  // the scalar steps cut it
            if (tight) {
                cur.bytes += first;
                cur.chars += chars;
                cur.keep = keep(cur.cls, cur.chars);
            } else {
                write_token<Lanes>(c.cur_end, c.units_cur_end, p, first, chars);
                c.cur_end += first;
                c.units_cur_end += chars;
                c.cur_chars += chars;
                if constexpr (track) r.current_stop = at(p + first);
            }
        }
        while (!tight && boundaries != 0) {
            const auto i = static_cast<uint32_t>(__builtin_ctzll(boundaries));
            boundaries &= boundaries - 1;
            const uint32_t next = boundaries != 0
                                      ? static_cast<uint32_t>(__builtin_ctzll(boundaries))
                                      : zone_end;
            const uint8_t* const q = p + i;
            const bool closes = c.cur_type != TokenType::NOTTKN;
            if (closes) {
                if constexpr (track) {
                    const bool group_was_empty = c.group_type == TokenType::NOTTKN;
                    uint64_t* const types_before = c.types_end;
                    const bool joined_group = close_token(c, x);
                    close_ranges(r, o, c, joined_group, group_was_empty, types_before, types);
                } else {
                    close_token(c, x);
                }
                if (c.part_count == 1 && c.types_end != x.types_full) {
                    tight = true;
                    kept_end = c.kept_end;
                    units_kept_end = c.units_kept_end;
                    types_end = c.types_end;
                    g.bytes = static_cast<uint32_t>(c.group_end - c.kept_end);
                    g.chars = c.group_chars;
                    g.cls = class_of_type(c.group_type);
                    g.keep = keep(g.cls, g.chars);
                    cur = held_token(x, keep, q, next - i);
                    break;
                }
            }
            const ScannedChar ch = block_char(x, q);
            start_token(c, ch);
            if constexpr (track) {
                r.current_start = at(q);
                r.current_stop = at(q + ch.length);
            }
            if (closes && c.types_end == x.types_full) {
                c.input_behind = true;
                cursors = c;
                ranges = r;
                return q + ch.length;
            }
            const uint32_t rest = i + ch.length;
            if (next > rest) {
                const uint32_t more = next - rest;
                write_token<Lanes>(c.cur_end, c.units_cur_end, q + ch.length, more,
                                   ch.length == 1 ? more : more / 2);
                c.cur_end += more;
                c.units_cur_end += ch.length == 1 ? more : more / 2;
                c.cur_chars += ch.length == 1 ? more : more / 2;
                if constexpr (track) r.current_stop = at(p + next);
            }
        }
        while (boundaries != 0) {
            const auto i = static_cast<uint32_t>(__builtin_ctzll(boundaries));
            boundaries &= boundaries - 1;
            const uint32_t next = boundaries != 0
                                      ? static_cast<uint32_t>(__builtin_ctzll(boundaries))
                                      : zone_end;
            // The group leaves; the token that ends at i becomes the group.
            const bool kept = g.keep;
            if (kept) {
                kept_end[g.bytes] = 0;
                units_kept_end[g.chars] = 0;
                *types_end++ = uint64_t{1} << (g.cls - 1);
                if constexpr (track) {
                    const auto index = static_cast<size_t>(types_end - 1 - types);
                    o.starts[index] = r.group_start;
                    o.stops[index] = r.group_stop;
                }
                kept_end += g.bytes + 1;
                units_kept_end += g.chars + 1;
            }
            write_token<Lanes>(kept_end, units_kept_end, cur.from, cur.bytes, cur.chars);
            if constexpr (track) {
                r.group_start = at(cur.from);
                r.group_stop = at(cur.from + cur.bytes);
            }
            g = cur;
            cur = held_token(x, keep, p + i, next - i);
            if (kept && types_end == x.types_full) {
                // As the scalar scan, stop after the first character of the next token.
                leave_tight();
                const ScannedChar ch = block_char(x, p + i);
                start_token(c, ch);
                if constexpr (track) {
                    r.current_start = at(p + i);
                    r.current_stop = at(p + i + ch.length);
                }
                c.input_behind = true;
                cursors = c;
                ranges = r;
                return p + i + ch.length;
            }
        }
        c.input_behind = true;
        p += zone_end;
        // A two-byte character cut by the block's end starts the next block.
        const bool cut_pair = zone_end == 63 && (m.lead2 >> 63) != 0 && (p[1] & 0xC0) == 0x80;
        if (zone_end < 64 && !cut_pair) break;
    }
    if (tight) stage_cur();
    cursors = c;
    ranges = r;
    return p;
}

#endif  // VORLENTA_BLOCKS

// The scan's block path for each instruction set: run_blocks compiled for it, with everything
// it calls inlined (flatten), so that the steps shared with the scalar scan are compiled for
// the same instructions. Called once for each stretch of blocks, with copies of the scan's
// cursors, so that the scan keeps its own in registers.
struct NoBlocks {
    static constexpr bool enabled = false;
    template <class Offsets>
    static const uint8_t* run(Cursors&, const ScanContext&, const uint8_t* p, const uint8_t*,
                              Ranges&, Offsets&, uint64_t*, uint64_t) {
        return p;
    }
};

#if defined(VORLENTA_BLOCKS)
struct Avx2Blocks {
    static constexpr bool enabled = true;
    template <class Offsets>
    static __attribute__((noinline, flatten, target(AVX2_TARGET))) const uint8_t* run(
        Cursors& c, const ScanContext& x, const uint8_t* p, const uint8_t* end, Ranges& r,
        Offsets& o, uint64_t* types, uint64_t offset) {
        return run_blocks<Avx2Lanes>(c, x, p, end, r, o, types, offset);
    }
};
#endif

}  // namespace detail
}  // namespace vorlenta
