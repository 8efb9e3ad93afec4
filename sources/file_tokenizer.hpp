// A tokenizer over a file, read through the buffered stream a chunk at a time: the file is
// never held in memory whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "sources/fast_batch.hpp"

namespace vorlenta {

inline constexpr uint32_t FILE_CHUNK_BYTES = 64 * 1024;

struct FromFileTokenizer {
    TokenEngine engine;
    FILE* file;  // null when the path could not be opened
    // Bytes read from the file and not yet tokenized: chunk[chunk_pos, chunk_len).
    uint8_t* chunk;
    uint32_t chunk_pos;
    uint32_t chunk_len;
    Batch batch;

    // Opens the path (cut at a zero byte) for reading. A path that cannot be opened is no
    // error: is_fopen() tells, and every batch is empty. Throws std::bad_alloc, leaking
    // nothing, when the buffers cannot be had.
    explicit FromFileTokenizer(std::string_view path);
    ~FromFileTokenizer();
    FromFileTokenizer(const FromFileTokenizer&) = delete;
    FromFileTokenizer& operator=(const FromFileTokenizer&) = delete;

    bool is_fopen() const { return file != nullptr; }

    // Fills the batch buffers with the next batch. At the end of the file every call reads
    // again, under the stream's end-of-file rules.
    void get_batch();

    void set_batch_size(uint32_t n) { vorlenta::set_batch_size(batch, n); }
    void set_filter(uint64_t mask) { batch.filter = mask; }
    void set_token_min_len(uint32_t n) { batch.token_min_len = n; }
    void set_token_max_len(uint32_t n) { batch.token_max_len = n; }
};

}  // namespace vorlenta
