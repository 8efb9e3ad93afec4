// Trailing hyphens released, on request: a word token (ENWORD, NUMBER, RUWORD, with the
// compounds they start) whose last character is a hyphen-minus leaves as the word, of its own
// type, and the hyphen as a PNCTTN token. The joiner only ever ends a word token with U+002D
// when that hyphen joins nothing: the token after it is no word (`to-` before `-`, `a-` before a
// line feed or the end), or would take the compound past 16 parts or 128 characters.
//
// The engine keeps the hyphen (vorlentaCXX's batches must stay as they are), and it applies the
// type filter and the length limits before anything else sees a token. So with the split on,
// the engine fills a batch of its own, `raw`, under settings wide enough to keep every token a
// piece of which the caller's settings keep; release_split cuts its tokens and applies the
// caller's settings to the pieces, into the batch the caller reads. With the split off none of
// this runs, and `raw` has no buffers.
#pragma once

#include <cstdint>

#include "sources/batch.hpp"

namespace vorlenta {

// Tokens of the engine's own batch: few enough that it stays in the caches, as the library's
// inner batches do.
inline constexpr uint32_t SPLIT_RAW_TOKENS = 8192;

struct HyphenSplit {
    bool on;
    Batch raw;                 // the engine's batch; its end-of-input flags are the engine's
    TokenOffsets raw_offsets;  // its places; `ranges` survive from one batch to the next
    uint32_t next;             // the raw token that the next release starts at
    const uint8_t* next_text;  // where its bytes are
    // Its word went out and its hyphen did not: the caller's batch was full between the two.
    bool word_taken;
};

// All zero is off, with no buffers. On, with buffers for `capacity` raw tokens (at most
// SPLIT_RAW_TOKENS); std::bad_alloc, leaving it off, when they cannot be had. Free turns it off.
void start_hyphen_split(HyphenSplit& s, uint32_t capacity);
void free_hyphen_split(HyphenSplit& s);

// Raw tokens not released yet.
inline bool split_pending(const HyphenSplit& s) { return s.next < s.raw.token_count; }

// The engine's settings for `raw`: the caller's, widened to keep whatever may hold a kept piece.
void widen_settings(const Batch& caller, Batch& raw);

// The raw batch was filled anew: its tokens are released from the first.
void take_raw_batch(HyphenSplit& s);

// Appends the pieces of the pending raw tokens that the caller's settings keep to `out` (and
// their places to `places`, when not null), until `out` is full or nothing is pending.
void release_split(HyphenSplit& s, Batch& out, TokenOffsets* places);

}  // namespace vorlenta
