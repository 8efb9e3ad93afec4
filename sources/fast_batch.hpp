// The batch loop's fast path. Its plain twin is collect_batch_bytewise (batch.hpp); the tests
// hold the two to the same batches and the same engine state, byte for byte.
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

struct StagedEngine {
    StagedPart parts[MAX_GROUP_TOKENS];  // the pending group
    uint32_t part_count;
    TokenType group_type;
    uint32_t group_chars;
    uint8_t* group_end;         // the group's bytes start at text_buffer + text_used
    TokenType cur_type;         // the token being built, from group_end + 1
    uint32_t cur_chars;
    uint8_t* cur_end;
    uint16_t* units_group_end;  // the same as code units, from units_buffer + units_used
    uint16_t* units_cur_end;
    // The reader's record is written only when read_byte is about to use it, and at the end.
    // Until then it is behind: the last character read is the last one of the token being
    // built.
    bool input_behind;
};

// A byte that continues a sequence, as the reader sees it: anything but a start byte.
inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80 || b >= 0xF8; }

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

inline void stage(const TokenEngine& e, Batch& b, StagedEngine& s) {
    const TokenJoiner& j = e.joiner;
    uint8_t* out = b.text_buffer + b.text_used;
    uint16_t* units = b.units_buffer + b.units_used;
    s.part_count = j.group_size;
    s.group_type = j.group_type;
    s.group_chars = 0;
    for (uint32_t i = 0; i < j.group_size; ++i) {
        uint8_t* const start = out;
        out = write_chars(out, j.group[i]);
        units = write_units(units, j.group[i], b.units_valid);
        s.parts[i] = {j.group[i].type, j.group[i].char_count, static_cast<uint32_t>(out - start)};
        s.group_chars += j.group[i].char_count;
    }
    s.group_end = out;
    s.cur_end = write_chars(out + 1, e.assembler.current);
    s.units_group_end = units;
    s.units_cur_end = write_units(units + 1, e.assembler.current, b.units_valid);
    s.cur_type = e.assembler.current.type;
    s.cur_chars = e.assembler.current.char_count;
    s.input_behind = false;
}

inline void unstage(const StagedEngine& s, TokenEngine& e, const Batch& b) {
    TokenJoiner& j = e.joiner;
    const uint8_t* in = b.text_buffer + b.text_used;
    j.group_size = s.part_count;
    j.group_type = s.group_type;
    for (uint32_t i = 0; i < s.part_count; ++i) {
        read_chars(j.group[i], in, s.parts[i].chars);
        j.group[i].type = s.parts[i].type;
        in += s.parts[i].bytes;
    }
    read_chars(e.assembler.current, s.group_end + 1, s.cur_chars);
    e.assembler.current.type = s.cur_type;
    if (s.input_behind) e.assembler.input = last_staged_char(s.group_end + 1, s.cur_chars);
}

// Classes of the code points below U+0800 (ASCII and every two-byte sequence), one load each.
struct SmallClasses {
    uint8_t of[0x800];
};

inline const SmallClasses& small_classes() {
    static const SmallClasses classes = [] {
        const CharClassTable& table = class_table();
        SmallClasses c{};
        for (uint32_t cp = 0; cp < 0x800; ++cp) c.of[cp] = class_in(table, cp);
        return c;
    }();
    return classes;
}

// The class of a type: type 2^(k-1) is class k; NOTTKN is class 0.
inline uint8_t class_of(TokenType t) {
    const uint64_t bits = type_bits(t);
    return bits == 0 ? 0 : static_cast<uint8_t>(__builtin_ctzll(bits) + 1);
}

// Latin letters, digits and Cyrillic letters: the classes whose runs make one token.
inline bool is_word_class(uint8_t c) { return c >= 3 && c <= 5; }

// Tokenizes bytes from p up to end, or until the batch is full; returns where it stopped,
// always just after a complete character or at `end`. Well-formed sequences whose bytes are
// all in the span are decoded at once; anything else goes through read_byte, so the reader's
// record ends exactly as byte-by-byte reading leaves it.
//
// The state lives in locals for the length of the scan: in memory, every byte stored into the
// batch could alias it and force reloads at each character.
inline const uint8_t* scan(StagedEngine& s, Batch& batch, const CharClassTable& table,
                           Utf8Char& input, const uint8_t* p, const uint8_t* const end) {
    const uint8_t* const small = small_classes().of;
    uint8_t* const text = batch.text_buffer;
    uint64_t* const types = batch.types_buffer;
    uint8_t* kept_end = text + batch.text_used;  // where the group's bytes start
    uint64_t* types_end = types + batch.token_count;
    uint64_t* const types_full = types + batch.batch_size;
    // Kept: length - min_len <= length_span (unsigned) and a type bit in the filter; with
    // min_len above max_len nothing is.
    const uint32_t min_len = batch.token_min_len;
    const uint32_t length_span = batch.token_max_len - min_len;
    const uint64_t filter = min_len <= batch.token_max_len ? batch.filter : 0;

    uint32_t part_count = s.part_count;
    TokenType group_type = s.group_type;
    uint32_t group_chars = s.group_chars;
    uint8_t* group_end = s.group_end;
    TokenType cur_type = s.cur_type;
    uint32_t cur_chars = s.cur_chars;
    uint8_t* cur_end = s.cur_end;
    bool input_behind = s.input_behind;
    uint16_t* const units = batch.units_buffer;
    uint16_t* units_kept_end = units + batch.units_used;
    uint16_t* units_group_end = s.units_group_end;
    uint16_t* units_cur_end = s.units_cur_end;
    bool plain = batch.units_valid;  // every character staged has a code unit

    // The class a character needs to extend the token being built: its own while it is a word
    // with room; otherwise 0, which no character has.
    uint8_t extends =
        is_word_type(cur_type) && cur_chars < MAX_TOKEN_CHARS ? class_of(cur_type) : 0;

    // The token being built closes: it joins the pending group, or the group is released
    // (kept or dropped) and the closed token starts the next one; as push_token and deliver.
    auto close_current = [&] {
        uint8_t* const cur_start = group_end + 1;
        const uint32_t length = static_cast<uint32_t>(cur_end - cur_start);
        const bool word_group = is_word_type(group_type);
        if (joins_group(group_type, part_count,
                        word_group ? s.parts[part_count - 1].type : TokenType::NOTTKN,
                        group_chars, cur_type, *cur_start, cur_chars)) {
            std::memmove(group_end, cur_start, length);
            std::memmove(units_group_end, units_group_end + 1, cur_chars * sizeof(uint16_t));
            if (group_type == TokenType::NOTTKN) group_type = cur_type;
            s.parts[part_count++] = {cur_type, cur_chars, length};
            group_chars += cur_chars;
            group_end += length;
            units_group_end += cur_chars;
        } else {
            if (group_chars - min_len <= length_span && (type_bits(group_type) & filter) != 0) {
                *group_end = 0;
                kept_end = cur_start;
                *units_group_end = 0;
                units_kept_end = units_group_end + 1;
                *types_end++ = type_bits(group_type);
            } else {
                std::memmove(kept_end, cur_start, length);
                std::memmove(units_kept_end, units_group_end + 1, cur_chars * sizeof(uint16_t));
            }
            s.parts[0] = {cur_type, cur_chars, length};
            part_count = 1;
            group_type = cur_type;
            group_chars = cur_chars;
            group_end = kept_end + length;
            units_group_end = units_kept_end + cur_chars;
        }
    };

    while (p < end) {
        // Inside a word, whole runs of its characters at once: ASCII letters or digits, or
        // two-byte letters (no class of U+0080..U+00FF is a Latin or digit class, so a byte
        // from 80 on ends an ASCII run). Whatever stops a run is taken one character at a time
        // below, where it may still extend the word.
        if (extends != 0) {
            const size_t room = MAX_TOKEN_CHARS - cur_chars;
            const uint8_t* q = p;
            if (cur_type == TokenType::RUWORD) {
                const size_t pairs = static_cast<size_t>(end - p) / 2;
                const uint8_t* const limit = p + 2 * (pairs < room ? pairs : room);
                // A Cyrillic letter is U+0401 or above, so no two-byte form of it is overlong.
                while (q < limit && (q[0] & 0xE0) == 0xC0 && is_continuation(q[1]) &&
                       small[(q[0] & 0x1Fu) << 6 | (q[1] & 0x3Fu)] == extends) {
                    std::memcpy(cur_end, q, 2);
                    cur_end += 2;
                    *units_cur_end++ = static_cast<uint16_t>((q[0] & 0x1Fu) << 6 | (q[1] & 0x3Fu));
                    plain &= (q[1] & 0xC0) == 0x80;
                    q += 2;
                }
                cur_chars += static_cast<uint32_t>(q - p) / 2;
            } else {
                const uint8_t* const limit = static_cast<size_t>(end - p) < room ? end : p + room;
                while (q < limit && small[*q] == extends) {
                    *cur_end++ = *q;
                    *units_cur_end++ = *q++;
                }
                cur_chars += static_cast<uint32_t>(q - p);
            }
            if (q != p) input_behind = true;
            p = q;
            if (cur_chars == MAX_TOKEN_CHARS) extends = 0;
            if (p == end) break;
        }

        const uint8_t b0 = p[0];
        uint32_t bytes, length, cp;
        uint8_t cls;
        if (b0 < 0x80) {
            bytes = cp = b0;
            length = 1;
            cls = small[b0];
        } else if ((b0 & 0xE0) == 0xC0 && end - p >= 2 && is_continuation(p[1])) {
            bytes = b0 | p[1] << 8;
            length = 2;
            cp = (b0 & 0x1Fu) << 6 | (p[1] & 0x3Fu);
            cls = small[cp];
            plain &= b0 >= 0xC2 && (p[1] & 0xC0) == 0x80;
        } else if ((b0 & 0xF0) == 0xE0 && end - p >= 3 && is_continuation(p[1]) &&
                   is_continuation(p[2])) {
            bytes = b0 | p[1] << 8 | p[2] << 16;
            length = 3;
            cp = (b0 & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
            cls = class_in(table, cp);
            plain &= cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF) && (p[1] & 0xC0) == 0x80 &&
                     (p[2] & 0xC0) == 0x80;
        } else {
            // Anything else goes through the reader, whose record must be up to date first.
            if (input_behind) input = last_staged_char(group_end + 1, cur_chars);
            input_behind = false;
            const bool complete = read_byte(input, *p++);
            if (!complete) continue;
            std::memcpy(&bytes, input.bytes, 4);
            length = 0;  // the byte is taken already
            cp = input.code_point;
            cls = class_of(classify_in(table, cp));
            plain &= is_plain_unit(input);
        }
        p += length;
        if (length == 0) length = input.length;

        uint8_t* at;
        uint16_t* unit_at;
        bool full = false;
        if (cls == extends) {
            at = cur_end;
            unit_at = units_cur_end;
            if (++cur_chars == MAX_TOKEN_CHARS) extends = 0;
        } else {
            const bool closes = cur_type != TokenType::NOTTKN;
            if (closes) close_current();
            full = closes && types_end == types_full;
            cur_type = CLASS_TO_TYPE[cls];
            cur_chars = 1;
            at = group_end + 1;
            unit_at = units_group_end + 1;
            extends = is_word_class(cls) ? cls : 0;
        }
        std::memcpy(at, &bytes, 4);  // bytes past the character land in staging room
        cur_end = at + length;
        *unit_at = static_cast<uint16_t>(cp);
        units_cur_end = unit_at + 1;
        input_behind = true;
        if (full) break;
    }

    batch.text_used = static_cast<uint64_t>(kept_end - text);
    batch.token_count = static_cast<uint32_t>(types_end - types);
    batch.units_used = static_cast<uint64_t>(units_kept_end - units);
    batch.units_valid = plain;
    s.units_group_end = units_group_end;
    s.units_cur_end = units_cur_end;
    s.part_count = part_count;
    s.group_type = group_type;
    s.group_chars = group_chars;
    s.group_end = group_end;
    s.cur_type = cur_type;
    s.cur_chars = cur_chars;
    s.cur_end = cur_end;
    s.input_behind = input_behind;
    return p;
}

}  // namespace detail

// The batch loop over a source of byte spans: next_span(p, end) gives the next non-empty span,
// or false at end of input; consumed(p) tells it how far the loop has read. A full batch stops
// before taking another byte, so the next call goes on exactly there.
template <class Source>
inline void collect_batch(TokenEngine& e, Batch& b, Source& source) {
    clear_batch(b);
    if (b.batch_size == 0) return;
    const CharClassTable& table = class_table();
    detail::StagedEngine s;
    detail::stage(e, b, s);
    const uint8_t* p;
    const uint8_t* end;
    for (;;) {
        if (!source.next_span(p, end)) {
            detail::unstage(s, e, b);
            finish_input(e, b);
            return;
        }
        b.source_started = true;
        source.consumed(detail::scan(s, b, table, e.assembler.input, p, end));
        if (b.token_count == b.batch_size) {
            detail::unstage(s, e, b);
            return;
        }
    }
}

}  // namespace vorlenta
