// A tokenizer over a file, read a chunk at a time: the file is never held in memory whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "sources/fast_batch.hpp"

namespace vorlenta {

inline constexpr uint32_t FILE_CHUNK_BYTES = 64 * 1024;

// Asked before every read and after every read that a signal interrupted: true stops the batch
// there, as a failed read does. The Python binding runs the interpreter's signal handlers here.
using StopCheck = bool (*)();

struct FromFileTokenizer {
    TokenEngine engine;
    FILE* file;  // null when the path could not be opened
    // The stream only opens and closes the file: reads go to its descriptor, so that a read
    // returns what a pipe holds instead of waiting for a full chunk.
    int fd;
    // Bytes read from the file and not yet tokenized: chunk[chunk_pos, chunk_len).
    uint8_t* chunk;
    uint32_t chunk_pos;
    uint32_t chunk_len;
    // The errno of the read that stopped the last batch (EINTR when the stop check asked for
    // it); 0 when none did.
    int read_error;
    Batch batch;

    // Opens the path (cut at a zero byte) for reading. A path that cannot be opened is no
    // error: is_fopen() tells, and every batch is empty. Throws std::bad_alloc, leaking
    // nothing, when the buffers cannot be had.
    explicit FromFileTokenizer(std::string_view path);
    ~FromFileTokenizer();
    FromFileTokenizer(const FromFileTokenizer&) = delete;
    FromFileTokenizer& operator=(const FromFileTokenizer&) = delete;

    bool is_fopen() const { return file != nullptr; }

    // Fills the batch buffers with the next batch. The end of the file ends the input; at the
    // end every call reads again, and bytes the file gained since then are read. A failed read
    // (or a stop) is not the end: it ends the batch early with read_error set, the tokens before
    // it in the batch, the engine and the file as they were before the read, so that the next
    // call reads at the same place. A read that a signal interrupted is read again.
    void get_batch(StopCheck stop = nullptr);

    void set_batch_size(uint32_t n) { vorlenta::set_batch_size(batch, n); }
    void set_filter(uint64_t mask) { batch.filter = mask; }
    void set_token_min_len(uint32_t n) { batch.token_min_len = n; }
    void set_token_max_len(uint32_t n) { batch.token_max_len = n; }
};

}  // namespace vorlenta
