// The batch loop's block path: 64 bytes at a time, for text made of ASCII, two-byte and most
// three-byte characters (all of Russian and English prose but the odd hyphen-minus).
//
// A block's bytes are compared all at once into bit masks, and from those one mask marks where
// tokens start: every character but a letter or digit that continues a run of its own class.
// Each token then costs one bit scan to find, and a vector copy of its bytes and of its code
// units. Closing and starting tokens, joining them into compounds and keeping or dropping them
// are InFlight's steps, as in the scalar scan, so the engine state after every call is exactly
// the scalar scan's.
//
// Whatever is rare goes to the scalar steps, from the first byte of it on: a hyphen-minus
// (which may join a compound), a lead byte E0, ED or from F0 up, C0 and C1 (their characters
// may have no code unit of their own), a lead byte without the continuation bytes it needs and
// a continuation byte without its lead, a run that would reach 128 characters, and the last
// bytes of a span. A full batch stops the block where the scalar scan would stop.
//
// Nothing here knows an instruction set: a Lanes type (lanes_avx2.hpp) gives the primitives
// that a block's byte masks are computed with (byte_kinds.hpp), the vector copies, the bit
// scans and how far past a token its copies write.
#pragma once

#include "sources/byte_kinds.hpp"
#include "sources/in_flight.hpp"

namespace vorlenta {
namespace detail {

// Bytes of a block, and the bytes that must lie in the span from where a block starts: a token
// ends at most 64 bytes into its block, and its copies read a little past it.
inline constexpr uint32_t BLOCK_BYTES = 64;
inline constexpr uint32_t BLOCK_READ = 2 * BLOCK_BYTES;

// The room a Lanes type's copies need, past the n bytes (or code units) they copy: while the
// loop runs, the batch holds fewer than batch_size tokens, so a whole token budget lies unused
// behind the staged group and token, and a copy starts at most a block's bytes into them.
template <class Lanes>
inline constexpr bool copies_fit =
    Lanes::BYTE_OVERRUN + BLOCK_BYTES <= BLOCK_READ &&
    TEXT_BYTES_PER_TOKEN + TEXT_STAGING_BYTES >=
        2 * MAX_TOKEN_CHARS * 4 + 1 + BLOCK_BYTES + Lanes::BYTE_OVERRUN &&
    UNITS_PER_TOKEN + UNITS_STAGING >= 2 * MAX_TOKEN_CHARS + 1 + BLOCK_BYTES + Lanes::UNIT_OVERRUN;

// The room writing a block at once needs: it writes from the end of the token being built
// (after a group and a token of up to 128 characters each, and the gap between) at most the
// block's bytes, a zero for each token and the lanes' overrun; and it writes only while the
// batch has room for one token more than it releases, so each zero comes with a token's
// budget, and one spare budget besides.
template <class Lanes>
inline constexpr bool emission_fits =
    2 * TEXT_BYTES_PER_TOKEN + TEXT_STAGING_BYTES >=
        2 * MAX_TOKEN_CHARS * 4 + 1 + BLOCK_BYTES + 1 + Lanes::BYTE_OVERRUN &&
    2 * UNITS_PER_TOKEN + UNITS_STAGING >=
        2 * MAX_TOKEN_CHARS + 1 + BLOCK_BYTES + 1 + Lanes::UNIT_OVERRUN;

// The masks of one block, worked for the 16 bytes "Ёрш ёж 7a-b" (bit i is the byte at i, the
// first byte leftmost). The Russian letters are D0 90..D0 BF (А..п), D0 81 (Ё), D1 80..D1 8F
// (р..я) and D1 91 (ё):
//
//   bytes        D0 81 D1 80 D1 88 20 D1 91 D0 B6 20 37 61 2D 62
//   high         1  1  1  1  1  1  .  1  1  1  1  .  .  .  .  .
//   cont         .  1  .  1  .  1  .  .  1  .  1  .  .  .  .  .
//   lead2        1  .  1  .  1  .  .  1  .  1  .  .  .  .  .  .
//   paired       1  .  1  .  1  .  .  1  .  1  .  .  .  .  .  .   lead2 with its continuation
//   stops        .  .  .  .  .  .  .  .  .  .  .  .  .  .  1  .   the hyphen-minus: zone_end 14
//   starts       1  .  1  .  1  .  1  1  .  1  .  1  1  1  .  .   characters in the zone
//   cyrillic     1  .  1  .  1  .  .  1  .  1  .  .  .  .  .  .   Ё р ш ё ж
//   joined       .  .  1  .  1  .  .  .  .  1  .  .  .  .  .  .   р ш ж go on with their run
//   boundaries   1  .  .  .  .  .  1  1  .  .  .  1  1  1  .  .   Ёрш, " ", ёж, " ", 7, a
//
// (with no token being built before the block; the hyphen and what follows go to the scalar
// steps).

// Two-byte leads followed by a continuation byte.
inline uint64_t paired_leads(const ByteKinds& k) { return k.lead2 & k.cont >> 1; }

// Three-byte leads followed by their two continuation bytes.
inline uint64_t tripled_leads(const ByteKinds& k) {
    return k.lead3 & k.cont >> 1 & k.cont >> 2;
}

// The bytes the scalar steps must take: a hyphen-minus, a byte from 80 up that is no
// continuation byte and no lead the block takes, a lead without its continuation bytes, and a
// continuation byte without its lead.
inline uint64_t stops(const ByteKinds& k, uint64_t paired, uint64_t tripled) {
    const uint64_t odd_high = k.high & ~k.cont & ~k.lead2 & ~k.lead3;
    const uint64_t owned_cont = paired << 1 | tripled << 1 | tripled << 2;
    return k.hyphen | odd_high | (k.lead2 & ~paired) | (k.lead3 & ~tripled) |
           (k.cont & ~owned_cont);
}

// The leads of the letters of the Russian alphabet.
inline uint64_t cyrillic_leads(const ByteKinds& k, uint64_t paired) {
    const uint64_t lower_cont = k.cont & ~k.upper_cont;  // 80..8F
    return paired & ((k.d0 & (k.upper_cont | k.b81) >> 1) | (k.d1 & (lower_cont | k.b91) >> 1));
}

// Letters and digits that go on with the run before them; the first byte goes on with the
// token being built when it is of the class that token needs (`extends`).
inline uint64_t joined_runs(uint64_t latin, uint64_t digit, uint64_t cyrillic, uint8_t extends) {
    return (latin & (latin << 1 | uint64_t{extends == LATIN_CLASS})) |
           (digit & (digit << 1 | uint64_t{extends == DIGIT_CLASS})) |
           (cyrillic & (cyrillic << 2 | uint64_t{extends == CYRILLIC_CLASS}));
}


// The view of the block at p, the token being built needing `extends` to go on. A two-byte
// character cut by the block's end ends the zone at 63 and starts the next block (cut_pair); a
// three-byte one cut there goes to the scalar steps.
template <class Lanes>
SCAN_STEP BlockView view_block(const uint8_t* p, uint8_t extends) {
    const ByteKinds k = byte_kinds<Lanes>(p);
    const uint64_t paired = paired_leads(k), tripled = tripled_leads(k);
    const uint64_t stop = stops(k, paired, tripled);
    BlockView v;
    v.zone_end = stop != 0 ? Lanes::lowest_bit(stop) : 64;
    v.cut_pair = v.zone_end == 63 && (k.lead2 >> 63) != 0 && is_continuation_byte(p[64]);
    const uint64_t zone = below(v.zone_end);
    v.starts = (~k.high | paired | tripled) & zone;
    v.cyrillic = cyrillic_leads(k, paired) & zone;
    const uint64_t joined = joined_runs(k.latin & zone, k.digit & zone, v.cyrillic, extends);
    v.boundaries = v.starts & ~joined;
    v.odd_starts = v.starts & k.high & ~v.cyrillic;
    v.ascii = (k.high & zone) == 0;
    v.triples = (tripled & zone) != 0;
    return v;
}

// Where the first boundary of a block lies (its zone's end when it has none), and the
// characters before it: those that go on with the token being built.
template <class Lanes>
SCAN_STEP uint32_t first_boundary(const BlockView& v, uint32_t& chars) {
    const uint32_t first = v.boundaries != 0 ? Lanes::lowest_bit(v.boundaries) : v.zone_end;
    chars = Lanes::count_bits(v.starts & below(first));
    return first;
}

// Takes the lowest of a block's boundaries: where the token there starts, and where it ends
// (at the next boundary, or at the end of the block's zone).
template <class Lanes>
SCAN_STEP void take_boundary(uint64_t& boundaries, uint32_t zone_end, uint32_t& start,
                             uint32_t& stop) {
    start = Lanes::lowest_bit(boundaries);
    boundaries &= boundaries - 1;
    stop = boundaries != 0 ? Lanes::lowest_bit(boundaries) : zone_end;
}

template <class Lanes, bool UNITS>
inline __attribute__((always_inline)) void write_token(uint8_t* to, uint16_t* units, const uint8_t* from, uint32_t bytes,
                           uint32_t chars) {
    static_assert(copies_fit<Lanes>, "room for the lanes' copies past a token");
    Lanes::copy_bytes(to, from, bytes);
    if (!UNITS) return;
    if (bytes == chars)
        Lanes::byte_units(units, from, chars);
    else if (bytes == 2 * chars)
        Lanes::pair_units(units, from, chars);
    else  // one three-byte character
        units[0] = static_cast<uint16_t>(decode3(from[0], from[1], from[2]));
}

// KeepRule by class, tabled for the lengths below 64; longer ones ask the rule.
struct KeepTable {
    uint64_t short_lengths[8];  // bit n of class k: a token of n characters is kept
    KeepRule rule;
    bool all;  // every token is kept (the default settings)

    explicit KeepTable(const KeepRule& r) : rule(r) {
        const uint64_t top = uint64_t{r.min_len} + r.length_span + 1;
        const uint64_t lengths = below(top < 64 ? static_cast<uint32_t>(top) : 64) &
                                 ~below(r.min_len < 64 ? r.min_len : 64);
        uint32_t classes = 0;
        for (uint32_t k = 0; k < 8; ++k) {
            const bool typed = k > 0 && (type_bits(CLASS_TO_TYPE[k]) & r.filter) != 0;
            short_lengths[k] = typed ? lengths : 0;
            classes |= uint32_t{typed} << k;
        }
        all = classes == 0xFE && r.min_len <= 1 && top > MAX_TOKEN_CHARS;
    }
    SCAN_STEP bool operator()(uint8_t cls, uint32_t chars) const {
        if (chars < 64) return (short_lengths[cls] >> chars & 1) != 0;
        return rule(CLASS_TO_TYPE[cls], chars);
    }
};

// What the block path reads but never changes.
struct BlockContext {
    ScanContext context;
    KeepTable keep;
    const uint8_t* end;  // of the span
};

// The tight loop's steps over the boundaries left in the block at p: at each, the group leaves
// (kept or dropped), the token that ends there becomes the group, written where it belongs,
// and the next one is held. False, with where the last token starts, when the batch is full.
template <class Lanes, bool KEEP_ALL, bool UNITS, class Places>
SCAN_STEP bool tight_boundaries(InFlight& flight, const BlockContext& block, const uint8_t* p,
                                const BlockView& v, Places& places, uint32_t& full_at) {
    uint64_t boundaries = v.boundaries;
    while (boundaries != 0) {
        uint32_t i, next;
        take_boundary<Lanes>(boundaries, v.zone_end, i, next);
        const bool kept = flight.release_held_group<KEEP_ALL, UNITS>(places);
        flight.held_becomes_group<Lanes, UNITS>(places);
        flight.hold<!KEEP_ALL>(block.context, block.keep, p + i, next - i);
        if (kept && flight.types_end == block.context.types_full) {
            full_at = i;
            return false;
        }
    }
    return true;
}

// The tight loop's next block after the one at p: false where it stops (with p where the
// scalar scan goes on), at a byte for the scalar steps, a run that would reach 128 characters,
// or fewer than BLOCK_READ bytes left.
template <class Lanes>
SCAN_STEP bool next_tight_block(InFlight& flight, const BlockContext& block, const uint8_t*& p,
                                BlockView& v) {
    p += v.zone_end;
    if ((v.zone_end < 64 && !v.cut_pair) || block.end - p < static_cast<ptrdiff_t>(BLOCK_READ))
        return false;
    const BlockView next = view_block<Lanes>(p, extends_of(flight.held.cls, flight.held.chars));
    if (next.zone_end == 0) return false;
    uint32_t chars;
    const uint32_t first = first_boundary<Lanes>(next, chars);
    if (first > 0 && !flight.grow_held(first, chars, block.keep)) return false;
    v = next;
    return true;
}

// The tight loop, from the block at p whose boundaries `v` still holds, with the group a single
// token and the next one held; block after block, until it stops or the batch is full. Then
// the held token is staged as the scalar steps would have left it; returns where it stopped.
template <class Lanes, bool KEEP_ALL, bool UNITS, class Places>
inline const uint8_t* tight_loop(InFlight& flight_in, const BlockContext& block, const uint8_t* p,
                                 BlockView v, Places& places_in) {
    // Copies, so that the compiler keeps them in registers.
    InFlight flight = flight_in;
    Places places = places_in;
    uint32_t full_at = 0;
    bool full = false;
    for (;;) {
        if (!tight_boundaries<Lanes, KEEP_ALL, UNITS>(flight, block, p, v, places, full_at)) {
            full = true;
            break;
        }
        if (!next_tight_block<Lanes>(flight, block, p, v)) break;
    }
    const uint8_t* stopped = p;
    if (full) {
        const uint8_t* const q = p + full_at;
        const ScannedChar first = block_char(block.context, q);
        flight.leave_tight_full(first);
        places.current_is(q, q + first.length);
        stopped = q + first.length;
    } else {
        flight.leave_tight<Lanes>(places);
    }
    flight_in = flight;
    places_in = places;
    return stopped;
}

// The tight loop for the settings: with the default ones every token is kept, and the loop
// need not ask; where nobody reads code units, it writes none.
template <class Lanes, class Places>
inline const uint8_t* run_tight(InFlight& flight, const BlockContext& block_in, const uint8_t* p,
                                const BlockView& v, Places& places) {
    const BlockContext block = block_in;  // a copy, which no store into the batch can change
    if (block.keep.all && block.context.units_wanted) return tight_loop<Lanes, true, true>(flight, block, p, v, places);
    if (block.context.units_wanted) return tight_loop<Lanes, false, true>(flight, block, p, v, places);
    if (block.keep.all) return tight_loop<Lanes, true, false>(flight, block, p, v, places);
    return tight_loop<Lanes, false, false>(flight, block, p, v, places);
}

// Whether blocks may be written at once: every token is kept and nobody asks where they lie.
template <class Places>
SCAN_STEP bool writes_whole_blocks(const BlockContext& block) {
    return std::is_same_v<Places, NoPlaces> && block.keep.all;
}

// Writes the rest of the block at p from byte `from` at once (InFlight::emit_block).
template <class Lanes>
SCAN_STEP void emit(InFlight& flight, const BlockContext& block, const uint8_t* p,
                    const BlockView& v, uint64_t boundaries, uint32_t from) {
    if (block.context.units_wanted)
        flight.emit_block<Lanes, true>(block.context, p, v, boundaries, from);
    else
        flight.emit_block<Lanes, false>(block.context, p, v, boundaries, from);
}

// The tokens that start in the block at p, through InFlight's steps, until the pending group
// is a single token: nothing can join that in a block (no hyphen-minus reaches one), so from
// then on each token that closes releases the group before it, and the tight loop takes over.
// Returns where the scan goes on when the block is left early (the tight loop ran, or the
// batch is full), else nullptr.
template <class Blocks, class Places>
SCAN_STEP const uint8_t* block_tokens(InFlight& flight, const BlockContext& block, const uint8_t* p,
                                      const BlockView& v, Places& places) {
    using Lanes = typename Blocks::Lanes;
    // Where blocks may be written at once, the rest of this one is as soon as the group allows;
    // else the tight loop takes the tokens one by one.
    const bool emits = writes_whole_blocks<Places>(block);
    uint64_t boundaries = v.boundaries;
    while (boundaries != 0) {
        if (emits && flight.can_emit(block.context, Lanes::count_bits(boundaries))) {
            emit<Lanes>(flight, block, p, v, boundaries, Lanes::lowest_bit(boundaries));
            return nullptr;
        }
        uint32_t i, next;
        take_boundary<Lanes>(boundaries, v.zone_end, i, next);
        const uint8_t* const q = p + i;
        const bool closes = flight.cur_type != TokenType::NOTTKN;
        if (closes) {
            flight.close(block.context, places);
            if (!emits && flight.part_count == 1 && flight.types_end != block.context.types_full) {
                flight.enter_tight(block.keep(class_of_type(flight.group_type), flight.group_chars));
                flight.hold<true>(block.context, block.keep, q, next - i);
                BlockView rest = v;
                rest.boundaries = boundaries;
                return Blocks::tight(flight, block, p, rest, places);
            }
        }
        const ScannedChar ch = block_char(block.context, q);
        flight.start(ch);
        places.current_is(q, q + ch.length);
        if (closes && flight.types_end == block.context.types_full) return q + ch.length;
        const uint32_t rest = i + ch.length;
        if (next > rest) {
            const uint32_t more = next - rest;
            flight.append_block<Lanes>(q + ch.length, more, ch.length == 1 ? more : more / 2);
            places.current_to(p + next);
        }
    }
    return nullptr;
}

// Runs blocks from p, and returns where it stopped: at a byte the scalar steps must take, after
// the character that filled the batch, or where fewer than BLOCK_READ bytes are left.
template <class Blocks, class Places>
inline const uint8_t* run_blocks(InFlight& flight_in, const ScanContext& context, const uint8_t* p,
                                 const uint8_t* const end, Places& places_in) {
    using Lanes = typename Blocks::Lanes;
    flight_in.check();
    InFlight flight = flight_in;
    Places places = places_in;
    const BlockContext block{context, KeepTable(context.keep), end};  // copies, as in run_tight
    const bool emits = writes_whole_blocks<Places>(block);
    bool emitted = false;  // the last block was written at once
    const uint8_t* left = nullptr;
    while (end - p >= static_cast<ptrdiff_t>(BLOCK_READ)) {
        const BlockView v = view_block<Lanes>(p, flight.extends);
        if (v.zone_end == 0) break;
        uint32_t chars;
        const uint32_t first = first_boundary<Lanes>(v, chars);
        if (first > 0 && !has_room(flight.cur_chars + chars)) break;  // the scalar steps cut it
        // Written at once from the block's first byte, what goes on with the token being built
        // included.
        const uint32_t tokens = Lanes::count_bits(v.boundaries);
        emitted = emits && tokens > 0 &&
                  (emitted ? flight.has_type_room(context, tokens)
                           : flight.can_emit(context, tokens));
        if (emitted) {
            emit<Lanes>(flight, block, p, v, v.boundaries, 0);
        } else {
            if (first > 0) {
                flight.append_block<Lanes>(p, first, chars);
                places.current_to(p + first);
            }
            left = block_tokens<Blocks>(flight, block, p, v, places);
            if (left != nullptr) break;
        }
        p += v.zone_end;
        if (v.zone_end < 64 && !v.cut_pair) break;
    }
    flight.check();
    flight_in = flight;
    places_in = places;
    return left != nullptr ? left : p;
}

// The scan without a block path.
struct NoBlocks {
    static constexpr bool enabled = false;
};

}  // namespace detail
}  // namespace vorlenta
