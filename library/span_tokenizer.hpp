// The library's tokenizer: the same engine and batch loop as vorlentaCXX's, over bytes in
// memory (not copied) or a file read in chunks, recording the byte range of every kept token.
// No Python here: the binding (native.cpp) releases the interpreter while it runs.
#pragma once

#include <cstdint>
#include <string>

#include "library/hyphen_split.hpp"
#include "library/utf8_tally.hpp"
#include "sources/fast_batch.hpp"
#include "sources/file_bytes.hpp"

namespace vorlenta {

struct SpanTokenizer {
    TokenEngine engine;
    Batch batch;
    TokenOffsets offsets;
    uint32_t offsets_capacity;

    // Bytes in memory, which the owner keeps alive and unchanged: data[pos, size). One
    // tokenizer may go over many texts in turn (restart).
    const uint8_t* data;
    uint64_t size;
    uint64_t pos;

    // Or a file, which it owns (file.fd is -1 for bytes in memory).
    FileBytes file;
    // What of the input is not UTF-8, when asked for: a pass over every chunk read, or over
    // the bytes in memory that each batch went over, while they are still in the caches.
    bool tally_utf8;
    Utf8Tally utf8;
    uint64_t tallied;  // bytes in memory up to here are in the tally
    // Words ending in a hyphen that joins nothing given as the word and the hyphen; off unless
    // asked for (set_split_hyphens).
    HyphenSplit split{};

    // Over bytes in memory, with buffers for `capacity` tokens (the batch size then): a text
    // of n bytes never has more than n tokens, so a short one needs far less than the default.
    // Throws std::bad_alloc, leaking nothing, when the buffers cannot be had.
    SpanTokenizer(const uint8_t* bytes, uint64_t length, uint32_t capacity = DEFAULT_BATCH_SIZE);
    // Over an open file, whose descriptor it takes and closes, from where it stands; or over
    // the bytes [start, stop) of a file that can seek, offsets counted from the file's start.
    explicit SpanTokenizer(int file);
    SpanTokenizer(int file, uint64_t start, uint64_t stop);
    ~SpanTokenizer();
    SpanTokenizer(const SpanTokenizer&) = delete;
    SpanTokenizer& operator=(const SpanTokenizer&) = delete;

    // Throws std::bad_alloc and leaves the tokenizer as it was when the buffers cannot be had.
    void set_batch_size(uint32_t n);

    // Turns the release of trailing hyphens on or off (hyphen_split.hpp), between batches. On,
    // it takes buffers for the engine's own batch: std::bad_alloc, leaving it off, when they
    // cannot be had. Off while tokens of the engine's batch are still to be released throws
    // std::invalid_argument, as they would be lost.
    void set_split_hyphens(bool on);

    // The next batch and, if `with_places`, its tokens' ranges; an empty batch at the end of the
    // input. A file is read by the reader's rules (file_bytes.hpp): a failed read or a stop
    // ends the batch early, without the end-of-input drain, with file.read_error set; the
    // tokens before it are in the batch, and the next call reads at the same place again.
    // Recording places costs the loop a fifth of its speed: callers that only count leave it
    // off, and then the ranges are not to be used again. With the split of trailing hyphens on,
    // the batch holds the pieces, under the same settings.
    void next_batch(bool with_places = true, ReadCheck check = {});

    // Appends the rest of a file's bytes to `text`, read and tallied as a batch's are; stops
    // early with file.read_error set, as a batch does.
    void read_rest(std::string& text, ReadCheck check);

    // Brings the tally of bytes in memory up to where tokenizing stands, or to the end.
    void tally_memory(uint64_t up_to);

    bool in_memory() const { return file.fd < 0; }

    // Bytes tokenized so far: the offset where the next batch starts reading.
    uint64_t position() const { return in_memory() ? pos : file_position(file); }

    // Goes over other bytes in memory as a new input, with the same settings and buffers: the
    // tokens of one text never join those of another.
    void restart(const uint8_t* bytes, uint64_t length);

    // Whether the input in memory is used up: read to its end, and its last tokens released.
    bool input_done() const {
        const Batch& engine_batch = split.on ? split.raw : batch;
        return pos == size && !split_pending(split) &&
               (!engine_batch.source_started || engine_batch.drain_steps_run == 2);
    }
};

}  // namespace vorlenta
