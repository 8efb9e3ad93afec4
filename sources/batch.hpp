// Batch collection: bytes from a source through the engine into the tokenizer's two batch
// buffers, under the batch size, the length limits and the type filter.
#pragma once

#include <cstdint>

#include "engine/joiner.hpp"
#include "sources/utf8_reader.hpp"

namespace vorlenta {

inline constexpr uint32_t DEFAULT_BATCH_SIZE = 65536;
inline constexpr uint32_t DEFAULT_TOKEN_MAX_LEN = 512;
// The longest token (128 characters of up to 4 bytes) and its zero byte: any batch of
// batch_size tokens fits batch_size * 513 bytes.
inline constexpr uint32_t TEXT_BYTES_PER_TOKEN = MAX_TOKEN_CHARS * 4 + 1;
inline constexpr uint32_t MAX_RETIRED_TYPES_BUFFERS = 40;

struct Batch {
    uint8_t* text_buffer;    // kept tokens' bytes, each token followed by a zero byte
    uint64_t* types_buffer;  // kept tokens' types
    uint64_t text_used;
    uint32_t token_count;
    uint32_t batch_size;
    uint32_t token_min_len;
    uint32_t token_max_len;
    uint64_t filter;

    // The end of input: the two drain steps run once in a tokenizer's life, and only after the
    // source has yielded a byte. A step that finds the batch full waits for a later call.
    bool source_started;
    uint8_t drain_steps_run;

    // "types" arrays handed to Python view types_buffer, so it only grows, and the buffers it
    // replaces stay allocated until the tokenizer goes.
    uint64_t types_capacity;
    uint64_t* retired_types[MAX_RETIRED_TYPES_BUFFERS];
    uint32_t retired_count;
};

// A batch with the default settings and buffers for DEFAULT_BATCH_SIZE tokens.
// Throws std::bad_alloc, having allocated nothing, when the buffers cannot be had.
void init_batch(Batch& b);
void free_batch(Batch& b);

// Throws std::bad_alloc and leaves `b` as it was when the buffers cannot be had.
void set_batch_size(Batch& b, uint32_t n);

// Whether a token of this length and type is kept.
inline bool keeps(const Batch& b, uint32_t char_count, TokenType type) {
    return char_count >= b.token_min_len && char_count <= b.token_max_len &&
           (type_bits(type) & b.filter) != 0;
}

// Writes a token's characters as read, and returns the position after them. Four bytes per
// character are copied and the cursor moves by the true length: at most 3 bytes past the
// token, still within its 513-byte budget, and overwritten next.
inline uint8_t* write_chars(uint8_t* __restrict out, const Token& t) {
    const Utf8Char* __restrict c = t.chars;
    for (const Utf8Char* last = c + t.char_count; c != last; ++c) {
        std::memcpy(out, c->bytes, 4);
        out += c->length;
    }
    return out;
}

inline void append_kept(Batch& b, uint8_t* text_end, TokenType type) {
    *text_end++ = 0;
    b.text_used = static_cast<uint64_t>(text_end - b.text_buffer);
    b.types_buffer[b.token_count++] = type_bits(type);
}

// Appends a token to the batch, if it passes the length limits and the filter.
inline void deliver(Batch& b, const Token& t) {
    if (keeps(b, t.char_count, t.type)) append_kept(b, write_chars(b.text_buffer + b.text_used, t), t.type);
}

// The same for a group of tokens delivered as one: their characters concatenated.
inline void deliver_group(Batch& b, const TokenJoiner& j) {
    if (j.group_size == 1) {
        if (keeps(b, j.group[0].char_count, j.group_type))
            append_kept(b, write_chars(b.text_buffer + b.text_used, j.group[0]), j.group_type);
        return;
    }
    if (!keeps(b, group_char_count(j), j.group_type)) return;
    uint8_t* out = b.text_buffer + b.text_used;
    for (uint32_t i = 0; i < j.group_size; ++i) out = write_chars(out, j.group[i]);
    append_kept(b, out, j.group_type);
}

// Runs what is left of the drain while the batch has room.
inline void finish_input(TokenEngine& e, Batch& b) {
    if (!b.source_started) return;
    while (b.drain_steps_run < 2 && b.token_count < b.batch_size) {
        ++b.drain_steps_run;
        if (drain_step(e)) deliver(b, e.joiner.output);
    }
}

// The plain batch loop, one byte at a time through read_byte, push_char, push_token and
// deliver, over any source whose next_byte() gives 0..255, or -1 at end of input. A full
// batch stops before taking another byte, so the next call goes on exactly there.
// collect_batch below must give exactly what this gives; the tests hold them to it.
template <class Source>
inline void collect_batch_bytewise(TokenEngine& e, Batch& b, Source& source) {
    b.text_used = 0;
    b.token_count = 0;
    const CharClassTable& table = class_table();
    TokenAssembler& a = e.assembler;
    while (b.token_count < b.batch_size) {
        const int byte = source.next_byte();
        if (byte < 0) {
            finish_input(e, b);
            return;
        }
        b.source_started = true;
        if (read_byte(a.input, static_cast<uint8_t>(byte)) &&
            push_char(a, classify_in(table, a.input.code_point)) && push_token(e))
            deliver(b, e.joiner.output);
    }
}

namespace detail {

// A byte that continues a sequence, as the reader sees it: anything but a start byte.
inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80 || b >= 0xF8; }

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "characters are built as two words");

// A complete character record, as read_byte leaves it, held as its two 8-byte halves.
struct CharWords {
    uint64_t low;   // bytes, code_point
    uint64_t high;  // received, length
};

inline CharWords char_words(uint32_t bytes, uint32_t code_point, uint32_t length) {
    return {bytes | uint64_t{code_point} << 32, length * 0x100000001ull};
}

inline void store_char(Utf8Char& c, CharWords w) { std::memcpy(&c, &w, sizeof w); }

inline CharWords load_char(const Utf8Char& c) {
    CharWords w;
    std::memcpy(&w, &c, sizeof w);
    return w;
}

// The token in `current` closes: into the joiner's group, and out of it the group it breaks,
// delivered straight from the group. The same as flush, push_token and deliver, without the
// copies into `ready` and `output`, which nobody reads afterwards.
inline void close_current(TokenEngine& e, Batch& b) {
    TokenJoiner& j = e.joiner;
    const Token& closed = e.assembler.current;
    if (join_token(j, closed)) return;
    deliver_group(b, j);
    restart_group(j, closed);
}

// Extends the word being built with the run of same-type ASCII characters at p, up to end or
// to MAX_TOKEN_CHARS; `last` becomes the last character taken.
inline const uint8_t* extend_ascii_run(const CharClassTable& table, TokenType type, Token& cur,
                                       uint32_t& count, CharWords& last, const uint8_t* p,
                                       const uint8_t* end) {
    const size_t room = MAX_TOKEN_CHARS - count;
    const uint8_t* const limit = static_cast<size_t>(end - p) < room ? end : p + room;
    const uint8_t* const start = p;
    Utf8Char* out = cur.chars + count;
    while (p < limit && *p < 0x80 && classify_ascii(table, *p) == type) {
        store_char(*out++, char_words(*p, *p, 1));
        ++p;
    }
    if (p != start) {
        count += static_cast<uint32_t>(p - start);
        last = char_words(p[-1], p[-1], 1);
    }
    return p;
}

// The same for a run of two-byte characters (Cyrillic letters).
inline const uint8_t* extend_two_byte_run(const CharClassTable& table, TokenType type, Token& cur,
                                          uint32_t& count, CharWords& last, const uint8_t* p,
                                          const uint8_t* end) {
    const size_t room = MAX_TOKEN_CHARS - count;
    const size_t pairs = static_cast<size_t>(end - p) / 2;
    const uint8_t* const limit = p + 2 * (pairs < room ? pairs : room);
    const uint8_t* const start = p;
    Utf8Char* out = cur.chars + count;
    while (p < limit && (p[0] & 0xE0) == 0xC0 && is_continuation(p[1])) {
        const uint32_t cp = (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
        if (classify_unicode(table, cp) != type) break;
        last = char_words(p[0] | p[1] << 8, cp, 2);
        store_char(*out++, last);
        p += 2;
    }
    count += static_cast<uint32_t>(p - start) / 2;
    return p;
}

// Tokenizes bytes from p up to end, or until the batch is full; returns where it stopped,
// always just after a complete character or at `end`. Well-formed sequences whose bytes are
// all in the span are decoded at once; anything else goes through read_byte, so the reader
// state stays exactly what byte-by-byte reading leaves.
inline const uint8_t* scan(TokenEngine& e, Batch& b, const CharClassTable& table,
                           const uint8_t* p, const uint8_t* const end) {
    TokenAssembler& a = e.assembler;
    Token& cur = a.current;
    // The header of `current` lives in locals inside the loop, and goes back to the record
    // before anything else reads it.
    TokenType cur_type = cur.type;
    uint32_t count = cur.char_count;
    // The type a character needs to extend `current`: its own while it is a word with room;
    // otherwise NOTTKN, which no character has.
    auto extending_type = [](TokenType t, uint32_t n) {
        return is_word_type(t) && n < MAX_TOKEN_CHARS ? t : TokenType::NOTTKN;
    };
    TokenType extends = extending_type(cur_type, count);
    // The reader's record is written only when read_byte is about to use it and at the end:
    // until then `c`, the last character, is what it would hold.
    CharWords c = load_char(a.input);
    bool input_behind = false;
    while (p < end) {
        // Inside a word, whole runs of its characters at once. Whatever stops a run is taken
        // one character at a time below, where it may still extend the word.
        if (extends != TokenType::NOTTKN) {
            const uint8_t* const run_start = p;
            p = extends == TokenType::RUWORD
                    ? extend_two_byte_run(table, extends, cur, count, c, p, end)
                    : extend_ascii_run(table, extends, cur, count, c, p, end);
            if (p != run_start) input_behind = true;
            if (count == MAX_TOKEN_CHARS) extends = TokenType::NOTTKN;
            if (p == end) break;
        }
        const uint8_t b0 = p[0];
        TokenType t;
        if (b0 < 0x80) {
            c = char_words(b0, b0, 1);
            t = classify_ascii(table, b0);
            p += 1;
        } else if ((b0 & 0xE0) == 0xC0 && end - p >= 2 && is_continuation(p[1])) {
            const uint32_t cp = (b0 & 0x1Fu) << 6 | (p[1] & 0x3Fu);
            c = char_words(b0 | p[1] << 8, cp, 2);
            t = classify_unicode(table, cp);
            p += 2;
        } else if ((b0 & 0xF0) == 0xE0 && end - p >= 3 && is_continuation(p[1]) &&
                   is_continuation(p[2])) {
            const uint32_t cp = (b0 & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
            c = char_words(b0 | p[1] << 8 | p[2] << 16, cp, 3);
            t = classify_unicode(table, cp);
            p += 3;
        } else {
            if (input_behind) store_char(a.input, c);
            input_behind = false;
            if (!read_byte(a.input, *p++)) continue;
            c = load_char(a.input);
            t = classify_in(table, a.input.code_point);
        }
        input_behind = true;

        // Inside a word: the character joins the token being built.
        if (t == extends) {
            store_char(cur.chars[count++], c);
            if (count == MAX_TOKEN_CHARS) extends = TokenType::NOTTKN;
            continue;
        }
        const bool closes = cur_type != TokenType::NOTTKN;
        if (closes) {
            cur.type = cur_type;
            cur.char_count = count;
            close_current(e, b);
        }
        cur_type = t;
        count = 1;
        extends = extending_type(t, 1);
        store_char(cur.chars[0], c);
        if (closes && b.token_count == b.batch_size) break;
    }
    if (input_behind) store_char(a.input, c);
    cur.type = cur_type;
    cur.char_count = count;
    return p;
}

}  // namespace detail

// The batch loop over a source of byte spans: next_span(p, end) gives the next non-empty span,
// or false at end of input; consumed(p) tells it how far the loop has read.
template <class Source>
inline void collect_batch(TokenEngine& e, Batch& b, Source& source) {
    b.text_used = 0;
    b.token_count = 0;
    if (b.batch_size == 0) return;
    const CharClassTable& table = class_table();
    const uint8_t* p;
    const uint8_t* end;
    for (;;) {
        if (!source.next_span(p, end)) {
            finish_input(e, b);
            return;
        }
        b.source_started = true;
        source.consumed(detail::scan(e, b, table, p, end));
        if (b.token_count == b.batch_size) return;
    }
}

}  // namespace vorlenta
