// The lines of `vorlenta tokenize`: one token per line, as tab-separated fields or as JSON
// objects, or a line of words per line of text (or per text), gathered in a buffer that goes
// to a file descriptor whenever it fills. No Python here: the binding runs it with the
// interpreter released.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "sources/batch.hpp"
#include "sources/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlenta {

// The bytes of a batch token's text before its zero byte. Tokens are short: 16 bytes at a
// time, inline, where the C library's strlen costs a call and its set-up per token. Reads up to
// 15 bytes past the zero byte, which the batch's text buffer has room for (and so must any
// other buffer handed to it).
inline size_t token_length(const uint8_t* p) {
#if defined(__SSE2__)
    for (size_t n = 0;; n += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n));
        const auto zero =
            static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
        if (zero != 0) return n + static_cast<size_t>(std::countr_zero(zero));
    }
#else
    return std::strlen(reinterpret_cast<const char*>(p));
#endif
}

// Where a token's bytes end in a batch's text: at its zero byte, except that a token whose
// first byte is zero is the character U+0000 itself.
inline const uint8_t* token_end(const uint8_t* p) {
    if (*p == 0) return p + 1;
    return p + token_length(p);
}

// The characters of a kept token's n bytes, as the reader made them: each one a start byte and
// the bytes its length says (stray continuation bytes never reach a batch).
inline uint32_t char_count(const uint8_t* p, size_t n) {
    uint32_t chars = 0;
    for (size_t i = 0; i < n; ++chars) {
        const uint32_t k = sequence_length(p[i]);
        i += k != 0 ? k : 1;
    }
    return chars;
}

// words: a line's kept tokens, space-separated and escaped as in tsv, one line per line of the
// input (its line feeds end lines) or per text (the caller ends each text's line).
enum class LineFormat : uint8_t { tsv, jsonl, words };

struct LineOptions {
    LineFormat format;
    bool offsets;  // each token's start and stop byte offsets
    bool lower;
    // The file column, formatted by the caller ("name\t", or "\"file\": \"name\", "), or empty.
    const uint8_t* prefix;
    uint32_t prefix_length;
    // words: the types and length limits (in characters) of the words written. Where line
    // feeds end lines, the writer must see every token, whatever the types and limits say (a
    // line feed is one character, and a last line without one still is a line), so the batch
    // keeps them all and these select the words.
    uint64_t word_types = UINT64_MAX;
    uint32_t word_min_len = 0;
    uint32_t word_max_len = UINT32_MAX;
};

// Output to a file descriptor through a buffer of its own.
struct LineOutput {
    static constexpr size_t CAPACITY = 1 << 20;
    int fd;
    uint8_t* data;
    size_t used;
    int error;  // errno of the write that failed; nothing is written after one
    // words: a token came after the last line end (the line is there, words or not), and a
    // word was written there (the next one takes a space).
    bool line_started;
    bool line_has_word;

    // Throws std::bad_alloc when the buffer cannot be had. The descriptor stays the caller's.
    explicit LineOutput(int file);
    ~LineOutput();
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    // Writes out what the buffer holds; false (with error set) when a write fails.
    bool flush();
};

// A field of any length, escaped as a token's text is in `format` (the file column: a path's
// bytes); a zero byte in it goes out as the character U+0000 would.
std::string escaped_field(const uint8_t* data, size_t n, LineFormat format);

// words: ends the current line when a token came after the last line end (an input that
// ends without a line feed, or whose read failed midway); or always (`empty_too`: a text's
// line, empty or not). False when a write failed.
bool end_words_line(LineOutput& output, bool empty_too);

// Appends a line per token of the batch, or (words) its words to the current line; `offsets`
// may be null when options.offsets is off. Writes the buffer out as it fills; stops at a
// failed write, with output.error set.
void write_token_lines(const Batch& b, const TokenOffsets* offsets, const LineOptions& options,
                       LineOutput& output);

}  // namespace vorlenta
