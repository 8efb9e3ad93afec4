// Batch collection: bytes from a source through the engine into the tokenizer's two batch
// buffers, under the batch size, the length limits and the type filter.
#pragma once

#include <cstdint>
#include <type_traits>

#include "engine/joiner.hpp"
#include "sources/utf8_reader.hpp"

namespace vorlenta {

inline constexpr uint32_t DEFAULT_BATCH_SIZE = 65536;
inline constexpr uint32_t DEFAULT_TOKEN_MAX_LEN = 512;
// The longest token (128 characters of up to 4 bytes) and its zero byte: any batch of
// batch_size tokens fits batch_size * 513 bytes.
inline constexpr uint32_t TEXT_BYTES_PER_TOKEN = MAX_TOKEN_CHARS * 4 + 1;
// Room past the last token's budget, where the fast batch loop stages the pending group and
// the token being built (each at most 128 characters of 4 bytes, a byte between them, and up
// to 3 bytes of a 4-byte store past the end), and where its 16-byte moves of short tokens may
// reach.
inline constexpr uint32_t TEXT_STAGING_BYTES = 2 * MAX_TOKEN_CHARS * 4 + 4 + 16;
// The text again as 16-bit code units, one per character, each token followed by a 0 unit:
// what a str of the batch holds when every kept character is a well-formed one below U+10000,
// so that the str is a copy rather than a decoding. Staged like the text.
inline constexpr uint32_t UNITS_PER_TOKEN = MAX_TOKEN_CHARS + 1;
inline constexpr uint32_t UNITS_STAGING = 2 * MAX_TOKEN_CHARS + 1 + 8;
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

    uint16_t* units_buffer;  // the kept tokens' code units, valid while units_valid
    uint64_t units_used;
    bool units_valid;
    // Whether a kept character is known to have a code unit from U+0100 up, so that a str of
    // the batch takes two bytes a character without a look at every unit. False says nothing.
    bool units_wide;
    // Whether anyone reads the code units. When not, the block path leaves them out and
    // units_buffer holds no meaning (units_valid still says whether the kept characters all
    // have one: the batch is well-formed).
    bool units_wanted;

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

// A batch with the default settings and buffers for DEFAULT_BATCH_SIZE tokens (or for
// `capacity` tokens, the batch size then, where fewer will ever be needed).
// Throws std::bad_alloc, having allocated nothing, when the buffers cannot be had.
void init_batch(Batch& b, uint32_t capacity = DEFAULT_BATCH_SIZE);
void free_batch(Batch& b);

// Throws std::bad_alloc and leaves `b` as it was when the buffers cannot be had.
void set_batch_size(Batch& b, uint32_t n);

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

// Writes a token's code units, and returns the position after them; false in `plain` when
// a character has none.
inline uint16_t* write_units(uint16_t* out, const Token& t, bool& plain) {
    for (uint32_t i = 0; i < t.char_count; ++i) {
        const Utf8Char& c = t.chars[i];
        plain &= has_own_code_unit(c.bytes, c.length, c.code_point);
        *out++ = static_cast<uint16_t>(c.code_point);
    }
    return out;
}

// Starts a new batch in the buffers.
inline void clear_batch(Batch& b) {
    b.text_used = 0;
    b.token_count = 0;
    b.units_used = 0;
    b.units_valid = true;
    b.units_wide = false;
}

// Whether a released token of `chars` characters and type `t` is kept: it is within the length
// limits and the filter takes its type. The one statement of the rule; the block path tables it
// (KeepTable, block_scan.hpp). With min_len above max_len nothing is kept.
struct KeepRule {
    uint32_t min_len;
    uint32_t length_span;  // max_len - min_len: a length is within when chars - min_len <= span
    uint64_t filter;

    explicit KeepRule(const Batch& b)
        : min_len(b.token_min_len),
          length_span(b.token_max_len - b.token_min_len),
          filter(b.token_min_len <= b.token_max_len ? b.filter : 0) {}
    bool operator()(TokenType t, uint32_t chars) const {
        return chars - min_len <= length_span && (type_bits(t) & filter) != 0;
    }
};

// Appends a token to the batch, if it passes the length limits and the filter.
inline void deliver(Batch& b, const Token& t) {
    const uint32_t n = t.char_count;
    if (!KeepRule(b)(t.type, n)) return;
    uint8_t* end = write_chars(b.text_buffer + b.text_used, t);
    *end++ = 0;
    b.text_used = static_cast<uint64_t>(end - b.text_buffer);
    uint16_t* units_end = write_units(b.units_buffer + b.units_used, t, b.units_valid);
    *units_end++ = 0;
    b.units_used = static_cast<uint64_t>(units_end - b.units_buffer);
    b.types_buffer[b.token_count++] = type_bits(t.type);
}

// Where the kept tokens lie in the source: the offset of each one's first byte and of the byte
// after its last, so that bytes the reader dropped inside a token lie within its range. The
// library's tokenizers keep one beside their batch; vorlentaCXX's do not, and their loops are
// compiled without it (NoOffsets).
struct Ranges {
    uint64_t input_start;  // the start byte of the reader's open sequence
    uint64_t current_start, current_stop;  // the token being built
    uint64_t group_start, group_stop;      // the pending group
};

struct TokenOffsets {
    uint64_t* starts;  // one per kept token of the batch, as types_buffer
    uint64_t* stops;
    Ranges ranges;     // survives from one call to the next, as the engine does
};

struct NoOffsets {};

template <class Offsets>
inline constexpr bool tracks_offsets = std::is_same_v<Offsets, TokenOffsets>;

// deliver, recording the token's range when it is kept.
inline void deliver(Batch& b, const Token& t, TokenOffsets& o, uint64_t start, uint64_t stop) {
    const uint32_t index = b.token_count;
    deliver(b, t);
    if (b.token_count == index) return;
    o.starts[index] = start;
    o.stops[index] = stop;
}

// push_token with ranges: the ready token, lying at [start, stop), joins the group's range or
// starts the next one, and a released group is delivered with its own.
inline void push_token(TokenEngine& e, Batch& b, TokenOffsets& o, uint64_t start, uint64_t stop) {
    Ranges& r = o.ranges;
    const bool group_empty = e.joiner.group_type == TokenType::NOTTKN;
    const uint64_t released_start = r.group_start, released_stop = r.group_stop;
    if (push_token(e)) {
        r.group_start = start;
        r.group_stop = stop;
        deliver(b, e.joiner.output, o, released_start, released_stop);
        return;
    }
    if (group_empty) r.group_start = start;
    r.group_stop = stop;
}

// Runs what is left of the drain while the batch has room.
template <class Offsets>
inline void finish_input(TokenEngine& e, Batch& b, Offsets& o) {
    if (!b.source_started) return;
    while (b.drain_steps_run < 2 && b.token_count < b.batch_size) {
        ++b.drain_steps_run;
        if constexpr (tracks_offsets<Offsets>) {
            flush(e.assembler);
            push_token(e, b, o, o.ranges.current_start, o.ranges.current_stop);
        } else if (drain_step(e)) {
            deliver(b, e.joiner.output);
        }
    }
}

// The plain batch loop, one byte at a time through read_byte, push_char, push_token and
// deliver, over any source whose next_byte() gives 0..255, or -1 at end of input (and, with
// offsets, whose offset() tells where the next byte lies). A full batch stops before taking
// another byte, so the next call goes on exactly there. collect_batch (fast_batch.hpp) must
// give exactly what this gives; the tests hold them to it.
template <class Source, class Offsets>
inline void collect_batch_bytewise(TokenEngine& e, Batch& b, Source& source, Offsets& o) {
    clear_batch(b);
    const CharClassTable& table = class_table();
    TokenAssembler& a = e.assembler;
    while (b.token_count < b.batch_size) {
        uint64_t at = 0;
        if constexpr (tracks_offsets<Offsets>) at = source.offset();
        const int byte = source.next_byte();
        if (byte < 0) {
            finish_input(e, b, o);
            return;
        }
        b.source_started = true;
        if constexpr (!tracks_offsets<Offsets>) {
            if (read_byte(a.input, static_cast<uint8_t>(byte)) &&
                push_char(a, classify_in(table, a.input.code_point)) && push_token(e))
                deliver(b, e.joiner.output);
        } else {
            Ranges& r = o.ranges;
            if (is_start_byte(static_cast<uint8_t>(byte))) r.input_start = at;
            if (!read_byte(a.input, static_cast<uint8_t>(byte))) continue;
            const uint64_t ready_start = r.current_start, ready_stop = r.current_stop;
            const bool completed = push_char(a, classify_in(table, a.input.code_point));
            if (a.current.char_count == 1) r.current_start = r.input_start;  // a new token
            r.current_stop = at + 1;
            if (completed) push_token(e, b, o, ready_start, ready_stop);
        }
    }
}

template <class Source>
inline void collect_batch_bytewise(TokenEngine& e, Batch& b, Source& source) {
    NoOffsets none;
    collect_batch_bytewise(e, b, source, none);
}

}  // namespace vorlenta
