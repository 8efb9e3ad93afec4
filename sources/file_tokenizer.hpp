// A tokenizer over a file, read a chunk at a time: the file is never held in memory whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "sources/fast_batch.hpp"
#include "sources/file_bytes.hpp"

namespace vorlenta {

struct FromFileTokenizer {
    TokenEngine engine;
    // The stream only opens and closes the file: reads go to its descriptor (bytes.fd), so that
    // a read returns what a pipe holds instead of waiting for a full chunk.
    FILE* file;  // null when the path could not be opened
    FileBytes bytes;
    Batch batch;

    // Opens the path (cut at a zero byte) for reading. A path that cannot be opened is no
    // error: is_fopen() tells, and every batch is empty. Throws std::bad_alloc, leaking
    // nothing, when the buffers cannot be had.
    explicit FromFileTokenizer(std::string_view path);
    ~FromFileTokenizer();
    FromFileTokenizer(const FromFileTokenizer&) = delete;
    FromFileTokenizer& operator=(const FromFileTokenizer&) = delete;

    bool is_fopen() const { return file != nullptr; }

    // Fills the batch buffers with the next batch, by the reader's rules (file_bytes.hpp), with
    // bytes.read_error telling of a failed read or a stop. The end of the file ends the input;
    // at the end every call reads again, and bytes the file gained since then are read.
    void get_batch(ReadCheck check = {});

    void set_batch_size(uint32_t n) { vorlenta::set_batch_size(batch, n); }
    void set_filter(uint64_t mask) { batch.filter = mask; }
    void set_token_min_len(uint32_t n) { batch.token_min_len = n; }
    void set_token_max_len(uint32_t n) { batch.token_max_len = n; }
};

}  // namespace vorlenta
