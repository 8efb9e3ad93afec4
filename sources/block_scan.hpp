// The batch loop's block path: 64 bytes at a time, for text made of ASCII, two-byte and most
// three-byte characters (all of Russian and English prose but the odd hyphen-minus).
//
// A block's bytes are compared all at once into bit masks: ASCII, lead and continuation bytes,
// Latin letters, digits, and the lead bytes of Cyrillic letters. From those, one mask marks
// where tokens start: every character but a letter or digit that continues a run of its own
// class. Each token then costs one tzcnt to find, and a vector store of its bytes and of its
// code units. Closing and starting tokens, joining them into compounds and keeping or dropping
// them follow the scalar scan's steps, so the engine state after every call is exactly the
// scalar scan's.
//
// Whatever is rare goes to the scalar steps, from the first byte of it on: a hyphen-minus
// (which may join a compound), a lead byte E0, ED or from F0 up, C0 and C1 (their characters
// may have no code unit of their own), a lead byte without the continuation bytes it needs and
// a continuation byte without its lead, a run that would reach 128 characters, and the last
// bytes of a span. A full batch stops the block where the scalar scan would stop.
//
// The path is compiled for AVX2 by target attributes and chosen once per process by what the
// CPU runs (scan_path.hpp). Only Avx2Lanes knows the instruction set: another one would be
// another Lanes.
#pragma once

#include "sources/scan_path.hpp"
#include "sources/scan_steps.hpp"

#if defined(VORLENTA_BLOCKS)
#include <immintrin.h>
#endif

namespace vorlenta {
namespace detail {

// Bytes of a block, and the bytes that must lie in the span from where a block starts: a
// token's bytes and code units are moved in whole vectors, which read up to 31 bytes past the
// token, and a token ends at most 64 bytes into its block.
inline constexpr uint32_t BLOCK_BYTES = 64;
inline constexpr uint32_t BLOCK_READ = 2 * BLOCK_BYTES;

// Those vector stores run up to 31 bytes (and 15 code units) past a token. The staging room
// covers them, with room to spare: while the loop runs, the batch holds fewer than batch_size
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
    uint64_t lead3;     // E1..EC, EE, EF: three-byte leads whose characters all have a code unit
    uint64_t latin;     // A-Z, a-z
    uint64_t digit;     // 0-9
    uint64_t hyphen;    // 2D
    uint64_t d0, d1;    // D0, D1
    uint64_t upper_cont;  // 90..BF
    uint64_t b81, b91;  // 81, 91
};

#if defined(VORLENTA_BLOCKS)

// What the AVX2 path is compiled for; defined only in this header.
#define AVX2_CODE __attribute__((target("avx2,bmi,bmi2,popcnt")))

struct Avx2Lanes {
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
    static AVX2_CODE inline BlockMasks half(const uint8_t* p) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        BlockMasks m;
        m.high = bits(v);
        m.cont = bits(in(v, 0x80, 0xBF));
        m.lead2 = bits(in(v, 0xC2, 0xDF));
        m.lead3 = bits(_mm256_or_si256(in(v, 0xE1, 0xEC), in(v, 0xEE, 0xEF)));
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
    static AVX2_CODE inline BlockMasks masks(const uint8_t* p) {
        const BlockMasks a = half(p), b = half(p + 32);
        return {a.high | b.high << 32,   a.cont | b.cont << 32,     a.lead2 | b.lead2 << 32,
                a.lead3 | b.lead3 << 32, a.latin | b.latin << 32,   a.digit | b.digit << 32,
                a.hyphen | b.hyphen << 32, a.d0 | b.d0 << 32,       a.d1 | b.d1 << 32,
                a.upper_cont | b.upper_cont << 32, a.b81 | b.b81 << 32, a.b91 | b.b91 << 32};
    }
    // The copies below move whole vectors: up to 31 bytes past the n read and written.
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

// The bits below bit n, for n from 0 to 64.
inline uint64_t below(uint32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// Writes a token of `chars` characters in `bytes` bytes from `from` at `to`, and at `units`
// its code units when UNITS: all ASCII, all two-byte characters, or one three-byte character.
template <class Lanes, bool UNITS = true>
inline __attribute__((always_inline)) void write_token(uint8_t* to, uint16_t* units,
                                                       const uint8_t* from, uint32_t bytes,
                                                       uint32_t chars) {
    Lanes::copy_bytes(to, from, bytes);
    if (!UNITS) return;
    if (bytes == chars)
        Lanes::byte_units(units, from, chars);
    else if (__builtin_expect(bytes == 2 * chars, 1))
        Lanes::pair_units(units, from, chars);
    else  // one three-byte character
        units[0] = static_cast<uint16_t>(decode3(from[0], from[1], from[2]));
}

// The character at q, one a block takes: ASCII, or a two- or three-byte character whose
// continuation bytes follow.
inline __attribute__((always_inline)) ScannedChar block_char(const ScanContext& x,
                                                             const uint8_t* q) {
    if (q[0] < 0x80) return {q[0], 1, q[0], x.small[q[0]]};
    if (q[0] < 0xE0) {
        const uint32_t cp = decode2(q[0], q[1]);
        return {static_cast<uint32_t>(q[0] | q[1] << 8), 2, cp, x.small[cp]};
    }
    const uint32_t cp = decode3(q[0], q[1], q[2]);
    return {static_cast<uint32_t>(q[0] | q[1] << 8 | q[2] << 16), 3, cp,
            code_point_class(x.table, cp)};
}

// Whether a released token of `chars` characters and class `cls` is kept: a table of the lengths
// below 64 for each class, and the settings for longer ones.
struct KeepRule {
    uint64_t short_lengths[8];  // bit n of class k: a token of n characters is kept
    uint32_t classes;           // bit k: the filter keeps class k
    uint32_t min_len, length_span;
    bool all;                   // every token is kept (the default settings)

    explicit KeepRule(const ScanContext& x)
        : classes(0), min_len(x.min_len), length_span(x.length_span) {
        for (uint32_t k = 1; k < 8; ++k)
            if ((type_bits(CLASS_TO_TYPE[k]) & x.filter) != 0) classes |= 1u << k;
        // Lengths from min_len to min_len + length_span; none when the filter keeps nothing.
        const uint64_t top = uint64_t{min_len} + length_span + 1;
        const uint64_t lengths = below(top < 64 ? static_cast<uint32_t>(top) : 64) &
                                 ~below(min_len < 64 ? min_len : 64);
        for (uint32_t k = 0; k < 8; ++k) short_lengths[k] = (classes >> k & 1) != 0 ? lengths : 0;
        all = classes == 0xFE && min_len <= 1 && top > MAX_TOKEN_CHARS;
    }
    inline __attribute__((always_inline)) bool operator()(uint8_t cls, uint32_t chars) const {
        if (__builtin_expect(chars < 64, 1)) return (short_lengths[cls] >> chars & 1) != 0;
        return chars - min_len <= length_span && (classes >> cls & 1) != 0;
    }
};

// A token that the tight loop holds outside the staging area: its bytes in the input from
// `from` (all ASCII, all two-byte characters, or one three-byte character), its characters and
// class, and whether it is kept once released.
struct HeldToken {
    const uint8_t* from;
    uint32_t bytes, chars;
    uint8_t cls;
    bool keep;
};

// What a block holds for the token loop: where its plain zone ends (at the first byte the
// scalar steps must take, or 64), the characters that start in the zone, the boundaries where
// tokens start, and whether a two-byte character cut by the block's end starts the next block.
struct BlockView {
    uint32_t zone_end;
    uint64_t starts;
    uint64_t boundaries;
    bool cut_pair;
};

// The characters of a block's token of `bytes` bytes at q, and its class (its first
// character's): all ASCII, all two-byte characters, or one three-byte character.
inline __attribute__((always_inline)) void token_shape(const ScanContext& x, const uint8_t* q,
                                                       uint32_t bytes, uint32_t& chars,
                                                       uint32_t& cls) {
    if (q[0] < 0x80) {
        chars = bytes;
        cls = x.small[q[0]];
    } else if (__builtin_expect(q[0] < 0xE0, 1)) {
        chars = bytes / 2;
        cls = x.small[decode2(q[0], q[1])];
    } else {
        chars = 1;
        cls = code_point_class(x.table, decode3(q[0], q[1], q[2]));
    }
}

inline __attribute__((always_inline)) HeldToken held_token(const ScanContext& x,
                                                           const KeepRule& keep,
                                                           const uint8_t* q, uint32_t bytes) {
    uint32_t chars, cls;
    token_shape(x, q, bytes, chars, cls);
    const auto c = static_cast<uint8_t>(cls);
    return {q, bytes, chars, c, keep(c, chars)};
}

// The class a character needs to extend a token of this class and length: its own while the
// token is a word with room; otherwise 0, which no character has.
inline __attribute__((always_inline)) uint8_t extends_of(uint32_t cls, uint32_t chars) {
    return is_word_class(static_cast<uint8_t>(cls)) && chars < MAX_TOKEN_CHARS
               ? static_cast<uint8_t>(cls)
               : 0;
}

// Where the first boundary of a block lies (its zone's end when it has none), and the
// characters before it: those that go on with the token being built.
inline __attribute__((always_inline)) uint32_t first_boundary(const BlockView& v,
                                                              uint32_t& chars) {
    const uint32_t first = v.boundaries != 0
                               ? static_cast<uint32_t>(__builtin_ctzll(v.boundaries))
                               : v.zone_end;
    chars = static_cast<uint32_t>(__builtin_popcountll(v.starts & below(first)));
    return first;
}

// Appends `bytes` bytes of `chars` characters from `from` to the staged token being built.
template <class Lanes>
inline __attribute__((always_inline)) void append_to_current(Cursors& c, const uint8_t* from,
                                                             uint32_t bytes, uint32_t chars) {
    write_token<Lanes>(c.cur_end, c.units_cur_end, from, bytes, chars);
    c.cur_end += bytes;
    c.units_cur_end += chars;
    c.cur_chars += chars;
}

// The view of the block at p. `extends` is the class that continues the token being built
// (0 for none).
template <class Lanes>
inline __attribute__((always_inline)) BlockView view_block(const uint8_t* p, uint8_t extends) {
    const BlockMasks m = Lanes::masks(p);
    BlockView v;
    // Lead bytes followed by the continuation bytes they need. A two-byte character cut by the
    // block's end ends the zone at 63 and starts the next block (cut_pair); a three-byte one
    // cut there goes to the scalar steps.
    const uint64_t lead = m.lead2 & (m.cont >> 1);
    const uint64_t three = m.lead3 & (m.cont >> 1) & (m.cont >> 2);
    const uint64_t stop = m.hyphen | (m.high & ~m.cont & ~m.lead2 & ~m.lead3) |
                          (m.lead2 & ~lead) | (m.lead3 & ~three) |
                          (m.cont & ~(lead << 1 | three << 1 | three << 2));
    v.zone_end = stop != 0 ? static_cast<uint32_t>(__builtin_ctzll(stop)) : 64;
    v.cut_pair = v.zone_end == 63 && (m.lead2 >> 63) != 0 && (p[64] & 0xC0) == 0x80;
    const uint64_t zone = below(v.zone_end);
    v.starts = (~m.high | lead | three) & zone;
    const uint64_t lower_cont = m.cont & ~m.upper_cont;  // 80..8F
    const uint64_t cyrillic = lead & zone & ((m.d0 & ((m.upper_cont | m.b81) >> 1)) |
                                             (m.d1 & ((lower_cont | m.b91) >> 1)));
    const uint64_t latin = m.latin & zone, digit = m.digit & zone;
    // Letters and digits that continue the run before them; the first byte continues the token
    // being built when it is of the class that token needs.
    const uint64_t joined = (latin & (latin << 1 | uint64_t{extends == 3})) |
                            (digit & (digit << 1 | uint64_t{extends == 4})) |
                            (cyrillic & (cyrillic << 2 | uint64_t{extends == 5}));
    v.boundaries = v.starts & ~joined;
    return v;
}

// Where the tight loop runs and what it holds: the kept tokens end at kept_end; the group g is
// written behind them; cur is the token being built, not written yet. It goes on from the
// boundaries left in the block at p.
struct TightRun {
    enum Exit : uint8_t { STOPPED, FULL };
    const uint8_t* p;
    BlockView view;
    uint8_t* kept_end;
    uint16_t* units_kept_end;
    uint64_t* types_end;
    HeldToken g, cur;
    uint64_t group_start, group_stop;  // g's range, with offsets
    uint32_t full_at;  // with FULL: where in the block at p the token that found it full starts
};

// The tight loop: each boundary releases the group (kept or dropped), writes the token that
// ends there as the new group, and starts the next one; block after block, until a block
// stops at a byte for the scalar steps, a run would reach 128 characters, fewer than
// BLOCK_READ bytes are left (STOPPED, with p where the scalar scan goes on), or the batch is
// full (FULL).
template <class Lanes, bool KEEP_ALL, bool UNITS, class Offsets>
inline TightRun::Exit tight_loop(TightRun& run, const ScanContext& x, const KeepRule& keep,
                                 const uint8_t* const end, Offsets& o, uint64_t* types,
                                 const uint8_t* origin, uint64_t offset) {
    constexpr bool track = tracks_offsets<Offsets>;
    // Plain locals rather than records, so that the compiler keeps them in registers.
    const uint8_t* p = run.p;
    BlockView v = run.view;
    uint8_t* kept_end = run.kept_end;
    uint16_t* units_kept_end = run.units_kept_end;
    uint64_t* types_end = run.types_end;
    uint64_t* const types_full = x.types_full;
    uint32_t g_bytes = run.g.bytes, g_chars = run.g.chars, g_cls = run.g.cls;
    bool g_keep = run.g.keep;
    const uint8_t* cur_from = run.cur.from;
    uint32_t cur_bytes = run.cur.bytes, cur_chars = run.cur.chars, cur_cls = run.cur.cls;
    bool cur_keep = run.cur.keep;
    uint64_t group_start = run.group_start, group_stop = run.group_stop;
    auto at = [offset, origin](const uint8_t* q) {
        return offset + static_cast<uint64_t>(q - origin);
    };
    TightRun::Exit exit = TightRun::STOPPED;
    for (;;) {
        uint64_t boundaries = v.boundaries;
        while (boundaries != 0) {
            uint32_t i, next;
            take_boundary(boundaries, v.zone_end, i, next);
            // The group leaves, kept or dropped.
            const bool kept = KEEP_ALL || g_keep;
            if (kept) {
                kept_end[g_bytes] = 0;
                if (UNITS) units_kept_end[g_chars] = 0;
                *types_end++ = type_bits(CLASS_TO_TYPE[g_cls]);
                if constexpr (track) {
                    const auto index = static_cast<size_t>(types_end - 1 - types);
                    o.starts[index] = group_start;
                    o.stops[index] = group_stop;
                }
                kept_end += g_bytes + 1;
                units_kept_end += g_chars + 1;
            }
            // The token that ends at i becomes the group, written where it belongs.
            write_token<Lanes, UNITS>(kept_end, units_kept_end, cur_from, cur_bytes, cur_chars);
            if constexpr (track) {
                group_start = at(cur_from);
                group_stop = at(cur_from + cur_bytes);
            }
            g_bytes = cur_bytes;
            g_chars = cur_chars;
            g_cls = cur_cls;
            g_keep = cur_keep;
            // The next token starts at i.
            const uint8_t* const q = p + i;
            cur_from = q;
            cur_bytes = next - i;
            token_shape(x, q, cur_bytes, cur_chars, cur_cls);
            if constexpr (!KEEP_ALL) cur_keep = keep(static_cast<uint8_t>(cur_cls), cur_chars);
            if (__builtin_expect(kept && types_end == types_full, 0)) {
                run.full_at = i;
                exit = TightRun::FULL;
                goto done;
            }
        }
        p += v.zone_end;
        if ((v.zone_end < 64 && !v.cut_pair) || end - p < static_cast<ptrdiff_t>(BLOCK_READ))
            goto done;
        {
            const BlockView next_view = view_block<Lanes>(p, extends_of(cur_cls, cur_chars));
            if (next_view.zone_end == 0) goto done;
            uint32_t chars;
            const uint32_t first = first_boundary(next_view, chars);
            if (first > 0) {
                // The token being built goes on into this block.
                if (cur_chars + chars >= MAX_TOKEN_CHARS) goto done;  // the scalar steps cut it
                cur_bytes += first;
                cur_chars += chars;
                cur_keep = keep(static_cast<uint8_t>(cur_cls), cur_chars);
            }
            v = next_view;
        }
    }
done:
    run.p = p;
    run.view = v;
    run.kept_end = kept_end;
    run.units_kept_end = units_kept_end;
    run.types_end = types_end;
    run.g = {nullptr, g_bytes, g_chars, static_cast<uint8_t>(g_cls), g_keep};
    run.cur = {cur_from, cur_bytes, cur_chars, static_cast<uint8_t>(cur_cls), cur_keep};
    run.group_start = group_start;
    run.group_stop = group_stop;
    return exit;
}

// Runs blocks from p, and returns where it stopped: at a byte the scalar steps must take, after
// the character that filled the batch, or where fewer than BLOCK_READ bytes are left. `offset`
// is where p lies in the source.
//
// Tokens start at each boundary. The first ones go through the scalar scan's steps, until the
// pending group is a single token: nothing can join that in a block (no hyphen-minus reaches
// one), so from then on each token that closes releases the group before it, and the tight
// loop takes over. It holds the group and the token being built in registers, and writes each
// token once, where it belongs once the group before it has been kept or dropped, instead of
// staging it and moving it. When it stops, the two are staged as the scalar steps would have
// left them.
template <class Blocks, class Lanes, class Offsets>
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
    auto finish = [&](const uint8_t* stopped) {
        cursors = c;
        ranges = r;
        return stopped;
    };
    const KeepRule keep(x);
    while (end - p >= static_cast<ptrdiff_t>(BLOCK_READ)) {
        const BlockView v = view_block<Lanes>(p, c.extends);
        if (v.zone_end == 0) break;
        uint64_t boundaries = v.boundaries;
        uint32_t chars;
        const uint32_t first = first_boundary(v, chars);
        if (first > 0) {
            if (c.cur_chars + chars >= MAX_TOKEN_CHARS) break;  // the scalar steps cut it
            append_to_current<Lanes>(c, p, first, chars);
            if constexpr (track) r.current_stop = at(p + first);
        }
        while (boundaries != 0) {
            uint32_t i, next;
            take_boundary(boundaries, v.zone_end, i, next);
            const uint8_t* const q = p + i;
            const bool closes = c.cur_type != TokenType::NOTTKN;
            if (closes) {
                close_token_ranges(c, x, r, o, types);
                if (c.part_count == 1 && c.types_end != x.types_full)
                    return finish(Blocks::template tight<Offsets>(c, r, x, keep, p, v, boundaries,
                                                                  i, next, end, o, types, origin,
                                                                  offset));
            }
            const ScannedChar ch = block_char(x, q);
            start_token(c, ch);
            if constexpr (track) {
                r.current_start = at(q);
                r.current_stop = at(q + ch.length);
            }
            if (closes && c.types_end == x.types_full) {
                c.input_behind = true;
                return finish(q + ch.length);
            }
            const uint32_t rest = i + ch.length;
            if (next > rest) {
                const uint32_t more = next - rest;
                append_to_current<Lanes>(c, q + ch.length, more, ch.length == 1 ? more : more / 2);
                if constexpr (track) r.current_stop = at(p + next);
            }
        }
        c.input_behind = true;
        p += v.zone_end;
        if (v.zone_end < 64 && !v.cut_pair) break;
    }
    return finish(p);
}

// The tight loop from the boundary at i of the block at p (the token there runs to next), with
// the group just closed into a single token; then the records back into the cursors.
template <class Lanes, class Offsets>
inline const uint8_t* run_tight(Cursors& c, Ranges& r, const ScanContext& x,
                                const KeepRule& keep, const uint8_t* p, const BlockView& v,
                                uint64_t boundaries, uint32_t i, uint32_t next,
                                const uint8_t* end, Offsets& o, uint64_t* types,
                                const uint8_t* origin, uint64_t offset) {
    constexpr bool track = tracks_offsets<Offsets>;
    auto at = [offset, origin](const uint8_t* q) {
        return offset + static_cast<uint64_t>(q - origin);
    };
    TightRun run;
    run.p = p;
    run.view = v;
    run.view.boundaries = boundaries;
    run.kept_end = c.kept_end;
    run.units_kept_end = c.units_kept_end;
    run.types_end = c.types_end;
    run.g.from = nullptr;
    run.g.bytes = static_cast<uint32_t>(c.group_end - c.kept_end);
    run.g.chars = c.group_chars;
    run.g.cls = class_of_type(c.group_type);
    run.g.keep = keep(run.g.cls, run.g.chars);
    run.cur = held_token(x, keep, p + i, next - i);
    run.group_start = r.group_start;
    run.group_stop = r.group_stop;
    // With the default settings every token is kept, and the loop need not ask; and where
    // nobody reads code units, it writes none.
    TightRun::Exit exit;
    if (keep.all && x.units_wanted)
        exit = tight_loop<Lanes, true, true>(run, x, keep, end, o, types, origin, offset);
    else if (x.units_wanted)
        exit = tight_loop<Lanes, false, true>(run, x, keep, end, o, types, origin, offset);
    else if (keep.all)
        exit = tight_loop<Lanes, true, false>(run, x, keep, end, o, types, origin, offset);
    else
        exit = tight_loop<Lanes, false, false>(run, x, keep, end, o, types, origin, offset);
    // The group, staged behind the kept tokens.
    const HeldToken& g = run.g;
    c.kept_end = run.kept_end;
    c.units_kept_end = run.units_kept_end;
    c.types_end = run.types_end;
    c.group_end = run.kept_end + g.bytes;
    c.units_group_end = run.units_kept_end + g.chars;
    c.part_count = 1;
    c.group_type = CLASS_TO_TYPE[g.cls];
    c.group_chars = g.chars;
    x.parts[0] = {c.group_type, g.chars, g.bytes};
    r.group_start = run.group_start;
    r.group_stop = run.group_stop;
    c.input_behind = true;
    if (exit == TightRun::FULL) {
        // As the scalar scan, stop after the first character of the next token.
        const uint8_t* const q = run.p + run.full_at;
        const ScannedChar ch = block_char(x, q);
        start_token(c, ch);
        if constexpr (track) {
            r.current_start = at(q);
            r.current_stop = at(q + ch.length);
        }
        return q + ch.length;
    }
    // The token being built, staged behind the group.
    const HeldToken& cur = run.cur;
    uint8_t* const to = c.group_end + 1;
    write_token<Lanes>(to, c.units_group_end + 1, cur.from, cur.bytes, cur.chars);
    c.cur_end = to + cur.bytes;
    c.units_cur_end = c.units_group_end + 1 + cur.chars;
    c.cur_type = CLASS_TO_TYPE[cur.cls];
    c.cur_chars = cur.chars;
    c.extends = extends_of(cur.cls, cur.chars);
    if constexpr (track) {
        r.current_start = at(cur.from);
        r.current_stop = at(cur.from + cur.bytes);
    }
    return run.p;
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
    static __attribute__((noinline, flatten)) AVX2_CODE const uint8_t* run(
        Cursors& c, const ScanContext& x, const uint8_t* p, const uint8_t* end, Ranges& r,
        Offsets& o, uint64_t* types, uint64_t offset) {
        return run_blocks<Avx2Blocks, Avx2Lanes>(c, x, p, end, r, o, types, offset);
    }
    // Apart from run, so that the tight loop has the registers to itself.
    template <class Offsets>
    static __attribute__((noinline, flatten)) AVX2_CODE const uint8_t* tight(
        Cursors& c, Ranges& r, const ScanContext& x, const KeepRule& keep, const uint8_t* p,
        const BlockView& v, uint64_t boundaries, uint32_t i, uint32_t next, const uint8_t* end,
        Offsets& o, uint64_t* types, const uint8_t* origin, uint64_t offset) {
        return run_tight<Avx2Lanes>(c, r, x, keep, p, v, boundaries, i, next, end, o, types,
                                    origin, offset);
    }
};
#endif

#undef AVX2_CODE

}  // namespace detail
}  // namespace vorlenta
