// The lines of `vorlenta tokenize`: one token per line, as tab-separated fields or as JSON
// objects, gathered in a buffer that goes to a file descriptor whenever it fills. No Python
// here: the binding runs it with the interpreter released.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sources/batch.hpp"

namespace vorlenta {

enum class LineFormat : uint8_t { tsv, jsonl };

struct LineOptions {
    LineFormat format;
    bool offsets;  // each token's start and stop byte offsets
    bool lower;
    // The file column, formatted by the caller ("name\t", or "\"file\": \"name\", "), or empty.
    const uint8_t* prefix;
    uint32_t prefix_length;
};

// Output to a file descriptor through a buffer of its own.
struct LineOutput {
    static constexpr size_t CAPACITY = 1 << 20;
    int fd;
    uint8_t* data;
    size_t used;
    int error;  // errno of the write that failed; nothing is written after one

    // Throws std::bad_alloc when the buffer cannot be had. The descriptor stays the caller's.
    explicit LineOutput(int file);
    ~LineOutput();
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    // Writes out what the buffer holds; false (with error set) when a write fails.
    bool flush();
};

// Appends a line per token of the batch (`offsets` may be null when options.offsets is off),
// writing the buffer out as it fills. Stops at a failed write, with output.error set.
void write_token_lines(const Batch& b, const TokenOffsets* offsets, const LineOptions& options,
                       LineOutput& output);

}  // namespace vorlenta
