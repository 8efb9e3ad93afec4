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

// Appends a token to the batch, if it passes the length limits and the filter. The token is
// given as its parts: one record, or a joiner's group whose parts are concatenated.
inline void deliver_parts(Batch& b, TokenType type, const Token* parts, uint32_t part_count,
                          uint32_t char_count) {
    if (char_count < b.token_min_len || char_count > b.token_max_len ||
        (type_bits(type) & b.filter) == 0)
        return;
    uint8_t* out = b.text_buffer + b.text_used;
    // Four bytes per character are copied and the cursor moves by the true length: at most 3
    // bytes past the token, still within its 513-byte budget, and overwritten next.
    for (uint32_t p = 0; p < part_count; ++p) {
        const Token& part = parts[p];
        for (uint32_t i = 0; i < part.char_count; ++i) {
            std::memcpy(out, part.chars[i].bytes, 4);
            out += part.chars[i].length;
        }
    }
    *out++ = 0;
    b.text_used = static_cast<uint64_t>(out - b.text_buffer);
    b.types_buffer[b.token_count++] = type_bits(type);
}

inline void deliver(Batch& b, const Token& t) { deliver_parts(b, t.type, &t, 1, t.char_count); }

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

// The token in `current` closes: into the joiner's group, and out of it the group it breaks,
// delivered straight from the group. The same as flush, push_token and deliver, without the
// copies into `ready` and `output`, which nobody reads afterwards.
inline void close_current(TokenEngine& e, Batch& b) {
    TokenJoiner& j = e.joiner;
    const Token& closed = e.assembler.current;
    if (join_token(j, closed)) return;
    deliver_parts(b, j.group_type, j.group, j.group_size,
                  j.group_size == 1 ? j.group[0].char_count : group_char_count(j));
    restart_group(j, closed);
}

// Tokenizes bytes from p up to end, or until the batch is full; returns where it stopped,
// always just after a complete character or at `end`. Well-formed sequences whose bytes are
// all in the span are decoded at once; anything else goes through read_byte, so the reader
// state stays exactly what byte-by-byte reading leaves.
inline const uint8_t* scan(TokenEngine& e, Batch& b, const CharClassTable& table,
                           const uint8_t* p, const uint8_t* const end) {
    TokenAssembler& a = e.assembler;
    Token& cur = a.current;
    Utf8Char& in = a.input;
    while (p < end) {
        const uint8_t b0 = p[0];
        TokenType t;
        if (b0 < 0x80) {
            in = Utf8Char{{b0, 0, 0, 0}, b0, 1, 1};
            p += 1;
        } else if ((b0 & 0xE0) == 0xC0 && end - p >= 2 && is_continuation(p[1])) {
            in = Utf8Char{{b0, p[1], 0, 0},
                          (b0 & 0x1Fu) << 6 | (p[1] & 0x3Fu), 2, 2};
            p += 2;
        } else if ((b0 & 0xF0) == 0xE0 && end - p >= 3 && is_continuation(p[1]) &&
                   is_continuation(p[2])) {
            in = Utf8Char{{b0, p[1], p[2], 0},
                          (b0 & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu), 3, 3};
            p += 3;
        } else if (!read_byte(in, *p++)) {
            continue;
        }
        t = classify_in(table, in.code_point);

        // Inside a word: the character joins the token being built.
        if (t == cur.type && is_word_type(t) && cur.char_count < MAX_TOKEN_CHARS) {
            cur.chars[cur.char_count++] = in;
            continue;
        }
        const bool closes = cur.type != TokenType::NOTTKN;
        if (closes) close_current(e, b);
        cur.type = t;
        cur.chars[0] = in;
        cur.char_count = 1;
        if (closes && b.token_count == b.batch_size) break;
    }
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
