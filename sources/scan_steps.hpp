// The batch loop's steps over staged bytes, shared by the scalar scan and the block path.
//
// Between calls the engine's state is its records. Within a call the pending group and the
// token being built are kept as the very bytes they will be delivered as, staged in
// text_buffer right behind the kept tokens:
//
//   | kept tokens, each + 0 | group's parts | gap | current token |
//   0                  text_used       group_end   group_end + 1   cur_end
//
// and likewise as code units in units_buffer (one per character), from which the batch's str
// is copied when every kept character has one.
//
// A character joins its token with one small store; a released group is kept by writing its
// zero byte into the gap; a token that joins the group closes the gap. Nothing is copied twice.
// The records are rebuilt from the staged bytes when the call ends, or before the drain.
#pragma once

#include "sources/batch.hpp"

namespace vorlenta {
namespace detail {

struct StagedPart {
    TokenType type;
    uint32_t chars;
    uint32_t bytes;
};

// Where the staged group and token are, and what the loop knows of them. The scan works on a
// local copy, so that the compiler keeps it in registers: in memory, every byte stored into the
// batch could alias it and force reloads at each character.
struct Cursors {
    uint8_t* kept_end;          // the kept tokens end and the group's bytes start here
    uint8_t* group_end;
    uint8_t* cur_end;           // the token being built runs from group_end + 1
    uint16_t* units_kept_end;   // the same as code units
    uint16_t* units_group_end;
    uint16_t* units_cur_end;
    uint64_t* types_end;
    uint32_t part_count;
    TokenType group_type;
    uint32_t group_chars;
    TokenType cur_type;
    uint32_t cur_chars;
    // The class a character needs to extend the token being built: its own while it is a word
    // with room; otherwise 0, which no character has.
    uint8_t extends;
    bool plain;  // every character staged has a code unit
    // The reader's record is written only when read_byte is about to use it, and at the end.
    // Until then it is behind: the last character read is the last one of the token being
    // built.
    bool input_behind;
};

struct StagedEngine {
    Cursors cursors;
    StagedPart parts[MAX_GROUP_TOKENS];  // the pending group
};

// The character record that read_byte leaves for the staged character at p: each character
// starts with its start byte, which tells its length.
inline Utf8Char staged_char(const uint8_t* p) {
    Utf8Char c{};
    const uint32_t length = sequence_length(*p);
    std::memcpy(c.bytes, p, length);
    c.code_point = decode_code_point(c.bytes, length);
    c.received = c.length = length;
    return c;
}

// The last of `count` staged characters from p.
inline Utf8Char last_staged_char(const uint8_t* p, uint32_t count) {
    while (--count > 0) p += sequence_length(*p);
    return staged_char(p);
}

inline void read_chars(Token& t, const uint8_t* p, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        t.chars[i] = staged_char(p);
        p += t.chars[i].length;
    }
    t.char_count = count;
}

// Writes the engine's pending group and token into the staging area behind the batch's kept
// tokens.
inline void stage(const TokenEngine& e, const Batch& b, StagedEngine& s) {
    const TokenJoiner& j = e.joiner;
    const Token& cur = e.assembler.current;
    Cursors& c = s.cursors;
    c.kept_end = b.text_buffer + b.text_used;
    c.units_kept_end = b.units_buffer + b.units_used;
    c.types_end = b.types_buffer + b.token_count;
    c.plain = b.units_valid;
    uint8_t* out = c.kept_end;
    uint16_t* units = c.units_kept_end;
    c.part_count = j.group_size;
    c.group_type = j.group_type;
    c.group_chars = 0;
    for (uint32_t i = 0; i < j.group_size; ++i) {
        uint8_t* const start = out;
        out = write_chars(out, j.group[i]);
        units = write_units(units, j.group[i], c.plain);
        s.parts[i] = {j.group[i].type, j.group[i].char_count, static_cast<uint32_t>(out - start)};
        c.group_chars += j.group[i].char_count;
    }
    c.group_end = out;
    c.cur_end = write_chars(out + 1, cur);
    c.units_group_end = units;
    c.units_cur_end = write_units(units + 1, cur, c.plain);
    c.cur_type = cur.type;
    c.cur_chars = cur.char_count;
    c.extends =
        is_word_type(cur.type) && cur.char_count < MAX_TOKEN_CHARS ? class_of_type(cur.type) : 0;
    c.input_behind = false;
}

// Rebuilds the engine's records from the staging area, and the batch's counts from the cursors.
inline void unstage(const StagedEngine& s, TokenEngine& e, Batch& b) {
    const Cursors& c = s.cursors;
    b.text_used = static_cast<uint64_t>(c.kept_end - b.text_buffer);
    b.token_count = static_cast<uint32_t>(c.types_end - b.types_buffer);
    b.units_used = static_cast<uint64_t>(c.units_kept_end - b.units_buffer);
    b.units_valid = c.plain;
    TokenJoiner& j = e.joiner;
    const uint8_t* in = c.kept_end;
    j.group_size = c.part_count;
    j.group_type = c.group_type;
    for (uint32_t i = 0; i < c.part_count; ++i) {
        read_chars(j.group[i], in, s.parts[i].chars);
        j.group[i].type = s.parts[i].type;
        in += s.parts[i].bytes;
    }
    read_chars(e.assembler.current, c.group_end + 1, c.cur_chars);
    e.assembler.current.type = c.cur_type;
    if (c.input_behind) e.assembler.input = last_staged_char(c.group_end + 1, c.cur_chars);
}

// Classes of the code points below U+0800 (ASCII and every two-byte sequence), one load each.
struct SmallClasses {
    uint8_t of[0x800];
};

inline const SmallClasses& small_classes() {
    static const SmallClasses classes = [] {
        const CharClassTable& table = class_table();
        SmallClasses c{};
        for (uint32_t cp = 0; cp < 0x800; ++cp) c.of[cp] = code_point_class(table, cp);
        return c;
    }();
    return classes;
}

// The scan's steps are always inlined into it: left to itself the compiler inlines them in one
// translation unit and not in another, and a call per character costs a fifth of the speed.
#define SCAN_STEP inline __attribute__((always_inline))

// Moves a token's n bytes down to an earlier place, over what is no longer needed there. The
// usual token is short: up to 16 bytes move as two loads and two stores, which may write up to
// 15 bytes past the moved token, into room that nothing uses yet. Longer ones go to memmove.
template <class Unit>
SCAN_STEP void move_down(Unit* to, const Unit* from, uint32_t n) {
    constexpr uint32_t units = 16 / sizeof(Unit);
    if (n > units) {
        std::memmove(to, from, n * sizeof(Unit));
        return;
    }
    uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, reinterpret_cast<const uint8_t*>(from) + 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(reinterpret_cast<uint8_t*>(to) + 8, &b, 8);
}

// Latin letters, digits and Cyrillic letters: the classes whose runs make one token.
inline bool is_word_class(uint8_t c) { return c >= 3 && c <= 5; }

// What a scan reads but never changes.
struct ScanContext {
    const CharClassTable& table;
    const uint8_t* small;  // small_classes().of
    Utf8Char& input;       // the reader's record, for what the fast decoding leaves to it
    StagedPart* parts;     // the pending group's parts
    uint64_t* types_full;  // types_buffer + batch_size
    // Kept: length - min_len <= length_span (unsigned) and a type bit in the filter; with
    // min_len above max_len nothing is.
    uint32_t min_len;
    uint32_t length_span;
    uint64_t filter;
    bool units_wanted;  // the batch's
};

// One character as the scan takes it: its bytes as a little-endian word (what lies past the
// character is stored too and lands in staging room), its length, code point and class.
struct ScannedChar {
    uint32_t bytes;
    uint32_t length;
    uint32_t code_point;
    uint8_t cls;
};

// Extends the word being built by the run of its own class from p, as far as its room allows,
// and returns where the run stops. ASCII letters and digits take a byte each; Cyrillic letters
// two (no class of U+0080..U+00FF is a Latin or digit class, so a byte from 80 on ends an ASCII
// run). Whatever stops the run is read as one character next, and may still extend the word.
SCAN_STEP const uint8_t* extend_run(Cursors& c, const ScanContext& x, const uint8_t* p,
                                 const uint8_t* end) {
    const size_t room = MAX_TOKEN_CHARS - c.cur_chars;
    const uint8_t* q = p;
    if (c.cur_type == TokenType::RUWORD) {
        const size_t pairs = static_cast<size_t>(end - p) / 2;
        const uint8_t* const limit = p + 2 * (pairs < room ? pairs : room);
        // A Cyrillic letter is U+0401 or above, so no two-byte form of it is overlong.
        while (q < limit && is_two_byte_lead(q[0]) && !is_start_byte(q[1]) &&
               x.small[decode2(q[0], q[1])] == c.extends) {
            std::memcpy(c.cur_end, q, 2);
            c.cur_end += 2;
            *c.units_cur_end++ = static_cast<uint16_t>(decode2(q[0], q[1]));
            c.plain &= is_continuation_byte(q[1]);
            q += 2;
        }
        c.cur_chars += static_cast<uint32_t>(q - p) / 2;
    } else {
        const uint8_t* const limit = static_cast<size_t>(end - p) < room ? end : p + room;
        while (q < limit && x.small[*q] == c.extends) {
            *c.cur_end++ = *q;
            *c.units_cur_end++ = *q++;
        }
        c.cur_chars += static_cast<uint32_t>(q - p);
    }
    if (q != p) c.input_behind = true;
    if (c.cur_chars == MAX_TOKEN_CHARS) c.extends = 0;
    return q;
}

// Reads the character at p into `ch` and moves p past what it took; false when the bytes
// taken complete no character. Sequences of up to three bytes whose bytes are all in the span
// are decoded at once; anything else goes through read_byte, so the reader's record ends
// exactly as byte-by-byte reading leaves it.
SCAN_STEP bool read_char(Cursors& c, const ScanContext& x, const uint8_t*& p, const uint8_t* end,
                      ScannedChar& ch) {
    const uint8_t b0 = p[0];
    if (b0 < 0x80) {
        ch = {b0, 1, b0, x.small[b0]};
    } else if (is_two_byte_lead(b0) && end - p >= 2 && !is_start_byte(p[1])) {
        const uint32_t cp = decode2(b0, p[1]);
        ch = {static_cast<uint32_t>(b0 | p[1] << 8), 2, cp, x.small[cp]};
        c.plain &= has_own_code_unit(p, 2, cp);
    } else if (is_three_byte_lead(b0) && end - p >= 3 && !is_start_byte(p[1]) &&
               !is_start_byte(p[2])) {
        const uint32_t cp = decode3(b0, p[1], p[2]);
        ch = {static_cast<uint32_t>(b0 | p[1] << 8 | p[2] << 16), 3, cp,
              code_point_class(x.table, cp)};
        c.plain &= has_own_code_unit(p, 3, cp);
    } else {
        // The reader's record must be up to date before it takes a byte.
        if (c.input_behind) x.input = last_staged_char(c.group_end + 1, c.cur_chars);
        c.input_behind = false;
        const bool complete = read_byte(x.input, *p++);
        if (!complete) return false;
        const Utf8Char& in = x.input;
        std::memcpy(&ch.bytes, in.bytes, 4);
        ch.length = in.length;
        ch.code_point = in.code_point;
        ch.cls = class_of_type(classify_in(x.table, in.code_point));
        c.plain &= has_own_code_unit(in.bytes, in.length, in.code_point);
        return true;
    }
    p += ch.length;
    return true;
}

// Appends a character to the word being built.
SCAN_STEP void append_char(Cursors& c, const ScannedChar& ch) {
    std::memcpy(c.cur_end, &ch.bytes, 4);
    c.cur_end += ch.length;
    *c.units_cur_end++ = static_cast<uint16_t>(ch.code_point);
    if (++c.cur_chars == MAX_TOKEN_CHARS) c.extends = 0;
}

// Starts the next token with a character, one byte (and one unit) behind the pending group.
SCAN_STEP void start_token(Cursors& c, const ScannedChar& ch) {
    uint8_t* const at = c.group_end + 1;
    std::memcpy(at, &ch.bytes, 4);
    c.cur_end = at + ch.length;
    c.units_group_end[1] = static_cast<uint16_t>(ch.code_point);
    c.units_cur_end = c.units_group_end + 2;
    c.cur_type = CLASS_TO_TYPE[ch.cls];
    c.cur_chars = 1;
    c.extends = is_word_class(ch.cls) ? ch.cls : 0;
}

// The closed token becomes the group's last part: the gap before it closes.
SCAN_STEP void join_staged(Cursors& c, const ScanContext& x, uint32_t length) {
    move_down(c.group_end, c.group_end + 1, length);
    move_down(c.units_group_end, c.units_group_end + 1, c.cur_chars);
    if (c.group_type == TokenType::NOTTKN) c.group_type = c.cur_type;
    x.parts[c.part_count++] = {c.cur_type, c.cur_chars, length};
    c.group_chars += c.cur_chars;
    c.group_end += length;
    c.units_group_end += c.cur_chars;
}

// Keeps the released group, as deliver would: its zero byte fills the gap, its type goes to the
// types buffer. Or drops it: the closed token behind it moves down over it.
SCAN_STEP void keep_or_drop(Cursors& c, const ScanContext& x, uint32_t length) {
    uint8_t* const cur_start = c.group_end + 1;
    if (c.group_chars - x.min_len <= x.length_span && (type_bits(c.group_type) & x.filter) != 0) {
        *c.group_end = 0;
        c.kept_end = cur_start;
        *c.units_group_end = 0;
        c.units_kept_end = c.units_group_end + 1;
        *c.types_end++ = type_bits(c.group_type);
    } else {
        move_down(c.kept_end, cur_start, length);
        move_down(c.units_kept_end, c.units_group_end + 1, c.cur_chars);
    }
}

// The group leaves (kept or dropped) and the closed token, now right after the kept tokens,
// starts the next one.
SCAN_STEP void release_staged_group(Cursors& c, const ScanContext& x, uint32_t length) {
    keep_or_drop(c, x, length);
    x.parts[0] = {c.cur_type, c.cur_chars, length};
    c.part_count = 1;
    c.group_type = c.cur_type;
    c.group_chars = c.cur_chars;
    c.group_end = c.kept_end + length;
    c.units_group_end = c.units_kept_end + c.cur_chars;
}

// The token being built closes: it joins the pending group (true), or the group is released;
// as push_token and deliver do with the records.
SCAN_STEP bool close_token(Cursors& c, const ScanContext& x) {
    const uint32_t length = static_cast<uint32_t>(c.cur_end - (c.group_end + 1));
    const bool word_group = is_word_type(c.group_type);
    if (joins_group(c.group_type, c.part_count,
                    word_group ? x.parts[c.part_count - 1].type : TokenType::NOTTKN,
                    c.group_chars, c.cur_type, c.group_end[1], c.cur_chars)) {
        join_staged(c, x, length);
        return true;
    }
    release_staged_group(c, x, length);
    return false;
}

// The ranges of what a token closing did: the closed token joined the group (an empty one it
// starts), or the group was released (and kept, or not) and the closed token starts the next.
SCAN_STEP void close_ranges(Ranges& r, TokenOffsets& o, const Cursors& c, bool joined,
                            bool group_was_empty, const uint64_t* types_before,
                            const uint64_t* types) {
    if (joined) {
        if (group_was_empty) r.group_start = r.current_start;
        r.group_stop = r.current_stop;
        return;
    }
    if (c.types_end != types_before) {
        const size_t index = static_cast<size_t>(types_before - types);
        o.starts[index] = r.group_start;
        o.stops[index] = r.group_stop;
    }
    r.group_start = r.current_start;
    r.group_stop = r.current_stop;
}

// close_token, and with offsets the ranges it moves.
template <class Offsets>
SCAN_STEP void close_token_ranges(Cursors& c, const ScanContext& x, Ranges& r, Offsets& o,
                                  const uint64_t* types) {
    if constexpr (tracks_offsets<Offsets>) {
        const bool group_was_empty = c.group_type == TokenType::NOTTKN;
        uint64_t* const types_before = c.types_end;
        const bool joined = close_token(c, x);
        close_ranges(r, o, c, joined, group_was_empty, types_before, types);
    } else {
        close_token(c, x);
    }
}

// Takes the lowest of a block's boundaries: where the token there starts, and where it ends
// (at the next boundary, or at the end of the block's zone).
SCAN_STEP void take_boundary(uint64_t& boundaries, uint32_t zone_end, uint32_t& start,
                             uint32_t& stop) {
    start = static_cast<uint32_t>(__builtin_ctzll(boundaries));
    boundaries &= boundaries - 1;
    stop = boundaries != 0 ? static_cast<uint32_t>(__builtin_ctzll(boundaries)) : zone_end;
}

#undef SCAN_STEP

}  // namespace detail
}  // namespace vorlenta
