// A tokenizer over a private copy of a text.
#pragma once

#include <cstdint>
#include <string_view>

#include "sources/fast_batch.hpp"

namespace vorlenta {

struct FromTextTokenizer {
    TokenEngine engine;
    uint8_t* source_text;  // exactly source_size bytes, no terminator; null when empty
    uint64_t source_size;
    uint64_t read_pos;
    Batch batch;

    // Copies the bytes as they are (no UTF-8 check; zero bytes are ordinary bytes).
    // Throws std::bad_alloc, leaking nothing, when the copy or the buffers cannot be had.
    explicit FromTextTokenizer(std::string_view text);
    ~FromTextTokenizer();
    FromTextTokenizer(const FromTextTokenizer&) = delete;
    FromTextTokenizer& operator=(const FromTextTokenizer&) = delete;

    // Fills the batch buffers with the next batch; an empty batch once the text is used up.
    void get_batch();

    void set_batch_size(uint32_t n) { vorlenta::set_batch_size(batch, n); }
    void set_filter(uint64_t mask) { batch.filter = mask; }
    void set_token_min_len(uint32_t n) { batch.token_min_len = n; }
    void set_token_max_len(uint32_t n) { batch.token_max_len = n; }
};

}  // namespace vorlenta
