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

// Appends a released token to the batch, if it passes the length limits and the filter.
inline void deliver(Batch& b, const Token& t) {
    const uint32_t n = t.char_count;
    if (n < b.token_min_len || n > b.token_max_len || (type_bits(t.type) & b.filter) == 0) return;
    uint8_t* out = b.text_buffer + b.text_used;
    // Four bytes per character are copied and the cursor moves by the true length: at most 3
    // bytes past the token, still within its 513-byte budget, and overwritten next.
    for (uint32_t i = 0; i < n; ++i) {
        std::memcpy(out, t.chars[i].bytes, 4);
        out += t.chars[i].length;
    }
    *out++ = 0;
    b.text_used = static_cast<uint64_t>(out - b.text_buffer);
    b.types_buffer[b.token_count++] = type_bits(t.type);
}

// Runs what is left of the drain while the batch has room.
inline void finish_input(TokenEngine& e, Batch& b) {
    if (!b.source_started) return;
    while (b.drain_steps_run < 2 && b.token_count < b.batch_size) {
        ++b.drain_steps_run;
        if (drain_step(e)) deliver(b, e.joiner.output);
    }
}

// The batch loop over any byte source whose next_byte() gives 0..255, or -1 at end of input.
// A full batch stops before taking another byte, so the next call goes on exactly there.
template <class Source>
inline void collect_batch(TokenEngine& e, Batch& b, Source& source) {
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

}  // namespace vorlenta
