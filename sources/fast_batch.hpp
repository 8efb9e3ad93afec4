// The batch loop's fast path. Its plain twin is collect_batch_bytewise (batch.hpp); the tests
// hold the two to the same batches and the same engine state, byte for byte.
//
// Between calls the engine's state is its records. Within a call the pending group and the
// token being built are kept as the very bytes they will be delivered as, staged in
// text_buffer right behind the kept tokens:
//
//   | kept tokens, each + 0 | group's parts | gap | current token |
//   0                  text_used       group_end   cur_start       cur_end
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
    uint8_t* group_end;   // the group's bytes start at text_buffer + text_used
    TokenType cur_type;   // the token being built
    uint32_t cur_chars;
    uint8_t* cur_start;   // group_end + 1
    uint8_t* cur_end;
    // The reader's record is written only when read_byte is about to use it, and at the end;
    // until then this last character is what it would hold.
    Utf8Char last;
    bool input_behind;
};

// A byte that continues a sequence, as the reader sees it: anything but a start byte.
inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80 || b >= 0xF8; }

// Rebuilds character records from staged bytes: each character starts with its start byte,
// which tells its length; the code point follows from the bytes as the reader computes it.
inline void read_chars(Token& t, const uint8_t* p, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        Utf8Char& c = t.chars[i];
        const uint32_t length = sequence_length(*p);
        c = Utf8Char{};
        std::memcpy(c.bytes, p, length);
        c.code_point = decode_code_point(c.bytes, length);
        c.received = c.length = length;
        p += length;
    }
    t.char_count = count;
}

inline void stage(const TokenEngine& e, Batch& b, StagedEngine& s) {
    const TokenJoiner& j = e.joiner;
    uint8_t* out = b.text_buffer + b.text_used;
    s.part_count = j.group_size;
    s.group_type = j.group_type;
    s.group_chars = 0;
    for (uint32_t i = 0; i < j.group_size; ++i) {
        uint8_t* const start = out;
        out = write_chars(out, j.group[i]);
        s.parts[i] = {j.group[i].type, j.group[i].char_count, static_cast<uint32_t>(out - start)};
        s.group_chars += j.group[i].char_count;
    }
    s.group_end = out;
    s.cur_start = out + 1;
    s.cur_end = write_chars(s.cur_start, e.assembler.current);
    s.cur_type = e.assembler.current.type;
    s.cur_chars = e.assembler.current.char_count;
    s.last = e.assembler.input;
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
    read_chars(e.assembler.current, s.cur_start, s.cur_chars);
    e.assembler.current.type = s.cur_type;
    if (s.input_behind) e.assembler.input = s.last;
}

// The batch fields the loop uses, copied into locals for the length of a scan: stores of
// token bytes could otherwise alias them and force reloads at every character.
struct BatchView {
    uint8_t* text_buffer;
    uint64_t* types_buffer;
    uint64_t text_used;
    uint32_t token_count;
    uint32_t batch_size;
    uint32_t token_min_len;
    uint32_t token_max_len;
    uint64_t filter;
};

// The token being built closes: it joins the pending group, or the group is released (kept
// or dropped) and the closed token starts the next one. As push_token and deliver would.
inline void close_current(StagedEngine& s, BatchView& b) {
    const uint32_t length = static_cast<uint32_t>(s.cur_end - s.cur_start);
    const bool word_group = is_word_type(s.group_type);
    if (joins_group(s.group_type, s.part_count,
                    word_group ? s.parts[s.part_count - 1].type : TokenType::NOTTKN,
                    s.group_chars, s.cur_type, *s.cur_start, s.cur_chars)) {
        std::memmove(s.group_end, s.cur_start, length);
        if (s.group_type == TokenType::NOTTKN) s.group_type = s.cur_type;
        s.parts[s.part_count++] = {s.cur_type, s.cur_chars, length};
        s.group_chars += s.cur_chars;
        s.group_end += length;
    } else {
        if (keeps(b, s.group_chars, s.group_type)) {
            *s.group_end = 0;
            b.text_used = static_cast<uint64_t>(s.cur_start - b.text_buffer);
            b.types_buffer[b.token_count++] = type_bits(s.group_type);
        } else {
            std::memmove(b.text_buffer + b.text_used, s.cur_start, length);
        }
        s.parts[0] = {s.cur_type, s.cur_chars, length};
        s.part_count = 1;
        s.group_type = s.cur_type;
        s.group_chars = s.cur_chars;
        s.group_end = b.text_buffer + b.text_used + length;
    }
    s.cur_start = s.group_end + 1;
}

// The type a character needs to extend the token being built: its own while it is a word
// with room; otherwise NOTTKN, which no character has.
inline TokenType extending_type(const StagedEngine& s) {
    return is_word_type(s.cur_type) && s.cur_chars < MAX_TOKEN_CHARS ? s.cur_type
                                                                      : TokenType::NOTTKN;
}

// Extends the word being built with the run of its characters at p: ASCII letters or digits
// for a Latin word or a number, two-byte letters for a Cyrillic word. Returns the run's end.
inline const uint8_t* extend_run(StagedEngine& s, const CharClassTable& table, TokenType type,
                                 const uint8_t* p, const uint8_t* end) {
    const size_t room = MAX_TOKEN_CHARS - s.cur_chars;
    uint8_t* out = s.cur_end;
    const uint8_t* q = p;
    if (type == TokenType::RUWORD) {
        const size_t pairs = static_cast<size_t>(end - p) / 2;
        const uint8_t* const limit = p + 2 * (pairs < room ? pairs : room);
        while (q < limit && (q[0] & 0xE0) == 0xC0 && is_continuation(q[1]) &&
               classify_unicode(table, (q[0] & 0x1Fu) << 6 | (q[1] & 0x3Fu)) == type) {
            std::memcpy(out, q, 2);
            out += 2;
            q += 2;
        }
        if (q == p) return p;
        s.cur_chars += static_cast<uint32_t>(q - p) / 2;
        s.last = Utf8Char{{q[-2], q[-1], 0, 0}, (q[-2] & 0x1Fu) << 6 | (q[-1] & 0x3Fu), 2, 2};
    } else {
        const uint8_t* const limit = static_cast<size_t>(end - p) < room ? end : p + room;
        while (q < limit && *q < 0x80 && classify_ascii(table, *q) == type) *out++ = *q++;
        if (q == p) return p;
        s.cur_chars += static_cast<uint32_t>(q - p);
        s.last = Utf8Char{{q[-1], 0, 0, 0}, q[-1], 1, 1};
    }
    s.cur_end = out;
    s.input_behind = true;
    return q;
}

// Tokenizes bytes from p up to end, or until the batch is full; returns where it stopped,
// always just after a complete character or at `end`. Well-formed sequences whose bytes are
// all in the span are decoded at once; anything else goes through read_byte, so the reader's
// record ends exactly as byte-by-byte reading leaves it.
inline const uint8_t* scan(StagedEngine& staged, Batch& batch, const CharClassTable& table,
                           Utf8Char& input, const uint8_t* p, const uint8_t* const end) {
    StagedEngine s = staged;
    BatchView b{batch.text_buffer, batch.types_buffer,  batch.text_used,     batch.token_count,
                batch.batch_size,  batch.token_min_len, batch.token_max_len, batch.filter};
    TokenType extends = extending_type(s);
    while (p < end) {
        // Inside a word, whole runs of its characters at once. Whatever stops a run is taken
        // one character at a time below, where it may still extend the word.
        if (extends != TokenType::NOTTKN) {
            p = extend_run(s, table, extends, p, end);
            if (s.cur_chars == MAX_TOKEN_CHARS) extends = TokenType::NOTTKN;
            if (p == end) break;
        }
        const uint8_t b0 = p[0];
        TokenType t;
        if (b0 < 0x80) {
            s.last = Utf8Char{{b0, 0, 0, 0}, b0, 1, 1};
            t = classify_ascii(table, b0);
            p += 1;
        } else if ((b0 & 0xE0) == 0xC0 && end - p >= 2 && is_continuation(p[1])) {
            const uint32_t cp = (b0 & 0x1Fu) << 6 | (p[1] & 0x3Fu);
            s.last = Utf8Char{{b0, p[1], 0, 0}, cp, 2, 2};
            t = classify_unicode(table, cp);
            p += 2;
        } else if ((b0 & 0xF0) == 0xE0 && end - p >= 3 && is_continuation(p[1]) &&
                   is_continuation(p[2])) {
            const uint32_t cp = (b0 & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
            s.last = Utf8Char{{b0, p[1], p[2], 0}, cp, 3, 3};
            t = classify_unicode(table, cp);
            p += 3;
        } else {
            if (s.input_behind) input = s.last;
            s.input_behind = false;
            if (!read_byte(input, *p++)) continue;
            s.last = input;
            t = classify_in(table, input.code_point);
        }
        s.input_behind = true;
        uint32_t bytes;
        std::memcpy(&bytes, s.last.bytes, 4);
        const uint32_t length = s.last.length;

        if (t == extends) {
            std::memcpy(s.cur_end, &bytes, 4);  // bytes past the character land in staging room
            s.cur_end += length;
            if (++s.cur_chars == MAX_TOKEN_CHARS) extends = TokenType::NOTTKN;
            continue;
        }
        const bool closes = s.cur_type != TokenType::NOTTKN;
        if (closes) close_current(s, b);
        s.cur_type = t;
        s.cur_chars = 1;
        std::memcpy(s.cur_start, &bytes, 4);
        s.cur_end = s.cur_start + length;
        extends = extending_type(s);
        if (closes && b.token_count == b.batch_size) break;
    }
    staged = s;
    batch.text_used = b.text_used;
    batch.token_count = b.token_count;
    return p;
}

}  // namespace detail

// The batch loop over a source of byte spans: next_span(p, end) gives the next non-empty span,
// or false at end of input; consumed(p) tells it how far the loop has read. A full batch stops
// before taking another byte, so the next call goes on exactly there.
template <class Source>
inline void collect_batch(TokenEngine& e, Batch& b, Source& source) {
    b.text_used = 0;
    b.token_count = 0;
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
