#include "library/hyphen_split.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "library/token_lines.hpp"

namespace vorlenta {

namespace {

constexpr uint64_t WORD_BITS =
    type_bits(TokenType::ENWORD) | type_bits(TokenType::NUMBER) | type_bits(TokenType::RUWORD);
constexpr uint64_t HYPHEN_BITS = type_bits(TokenType::PNCTTN);

// What the caller's batch keeps, as deliver decides it.
bool kept(const Batch& b, uint64_t type, uint32_t chars) {
    return chars >= b.token_min_len && chars <= b.token_max_len && (type & b.filter) != 0;
}

// The bytes of the token at `p`, its separator left out. A token whose first byte is zero is
// the character U+0000 itself.
size_t token_bytes(const uint8_t* p) { return *p == 0 ? 1 : token_length(p); }

void append(Batch& out, TokenOffsets* places, const uint8_t* text, uint32_t n, uint64_t type,
            uint64_t start, uint64_t stop) {
    uint8_t* const at = out.text_buffer + out.text_used;
    std::memcpy(at, text, n);
    at[n] = 0;
    out.text_used += n + 1;
    if (places != nullptr) {
        places->starts[out.token_count] = start;
        places->stops[out.token_count] = stop;
    }
    out.types_buffer[out.token_count++] = type;
}

}  // namespace

void start_hyphen_split(HyphenSplit& s, uint32_t capacity) {
    if (capacity > SPLIT_RAW_TOKENS) capacity = SPLIT_RAW_TOKENS;
    if (capacity == 0) capacity = 1;
    HyphenSplit made{};
    init_batch(made.raw, capacity);
    made.raw.units_wanted = false;  // the library makes its strs from the bytes
    made.raw_offsets.starts = static_cast<uint64_t*>(std::malloc(capacity * sizeof(uint64_t)));
    made.raw_offsets.stops = static_cast<uint64_t*>(std::malloc(capacity * sizeof(uint64_t)));
    if (made.raw_offsets.starts == nullptr || made.raw_offsets.stops == nullptr) {
        free_hyphen_split(made);
        throw std::bad_alloc();
    }
    made.on = true;
    made.next_text = made.raw.text_buffer;
    s = made;
}

void free_hyphen_split(HyphenSplit& s) {
    if (s.raw.text_buffer != nullptr) free_batch(s.raw);
    std::free(s.raw_offsets.starts);
    std::free(s.raw_offsets.stops);
    s = HyphenSplit{};
}

// A raw token must be kept when the caller keeps it whole, or its word (one character
// shorter: the least length needs no widening), or its hyphen; the hyphen wanted at all means
// every word ending in one, and they are all two characters or more.
void widen_settings(const Batch& caller, Batch& raw) {
    const bool hyphens = kept(caller, HYPHEN_BITS, 1);
    raw.filter = caller.filter | (hyphens ? WORD_BITS : 0);
    raw.token_min_len = caller.token_min_len;
    raw.token_max_len =
        hyphens || caller.token_max_len == UINT32_MAX ? UINT32_MAX : caller.token_max_len + 1;
}

namespace {

// Where the next token of more than one byte that ends in a hyphen-minus starts, in
// [text, end) (which starts at a token), or `end`. Only a word joins a hyphen, so only a word
// is such a token: the hyphen is right before a separator and right after a byte that is no
// separator. A lone "-" token, or one after the U+0000 token (a zero byte, then its
// separator), has a zero byte before it:
//   t o - \0 - \0 a \0      "to-" at 0
//   - \0 a \0               none
// memchr finds the hyphens a vector at a time; they are few.
const uint8_t* next_word_hyphen(const uint8_t* text, const uint8_t* end) {
    for (const uint8_t* p = text; p + 1 < end; ++p) {
        p = static_cast<const uint8_t*>(std::memchr(p, '-', static_cast<size_t>(end - p)));
        if (p == nullptr) break;
        if (p + 1 < end && p[1] == 0 && p != text && p[-1] != 0) {
            const void* separator = memrchr(text, 0, static_cast<size_t>(p - text));
            return separator == nullptr ? text : static_cast<const uint8_t*>(separator) + 1;
        }
    }
    return end;
}

// The settings the engine filled `raw` under are the caller's own: every raw token that is no
// split word is one the caller keeps.
bool same_settings(const Batch& caller, const Batch& raw) {
    return caller.filter == raw.filter && caller.token_min_len == raw.token_min_len &&
           caller.token_max_len == raw.token_max_len;
}

// The tokens in [text, end), both at token starts, when each is one separator: the zero bytes
// there, unless a U+0000 token (two zero bytes in a row, or one at the start) is among them,
// and then -1. Branch-free, so that the compiler makes it a vector loop.
int64_t plain_token_count(const uint8_t* text, const uint8_t* end) {
    const auto n = static_cast<size_t>(end - text);
    if (n == 0) return 0;
    uint64_t zeros = text[n - 1] == 0;
    uint8_t pairs = text[0] == 0;
    size_t i = 0;
    // Byte-wide sums of 64 bytes at a time, which the vectors add lane by lane.
    for (; i + 64 < n; i += 64) {
        uint8_t block_zeros = 0, block_pairs = 0;
        for (size_t j = i; j < i + 64; ++j) {
            block_zeros += text[j] == 0;
            block_pairs |= (text[j] == 0) & (text[j + 1] == 0);
        }
        zeros += block_zeros;
        pairs |= block_pairs;
    }
    for (; i + 1 < n; ++i) {
        zeros += text[i] == 0;
        pairs |= (text[i] == 0) & (text[i + 1] == 0);
    }
    return pairs ? -1 : static_cast<int64_t>(zeros);
}

// The raw tokens before `stop` (a token start), or as many as `out` has room for, each copied
// as it is, with one copy of each array. Before the end of the raw text their number is
// counted from the separators, and false, having copied nothing, when a U+0000 token is among
// them (they then go one by one); up to the end it is the raw tokens left, uncounted.
bool release_run(HyphenSplit& s, Batch& out, TokenOffsets* places, const uint8_t* stop) {
    const bool to_end = stop == s.raw.text_buffer + s.raw.text_used;
    const int64_t tokens =
        to_end ? s.raw.token_count - s.next : plain_token_count(s.next_text, stop);
    if (tokens < 0) return false;
    auto n = static_cast<uint32_t>(tokens);
    const uint8_t* end = stop;
    if (n > out.batch_size - out.token_count) {  // the caller's batch fills first
        n = out.batch_size - out.token_count;
        end = s.next_text;
        for (uint32_t left = n; left != 0; --left) end += token_bytes(end) + 1;
    }
    const auto bytes = static_cast<size_t>(end - s.next_text);
    std::memcpy(out.text_buffer + out.text_used, s.next_text, bytes);
    const size_t words = n * sizeof(uint64_t);
    std::memcpy(out.types_buffer + out.token_count, s.raw.types_buffer + s.next, words);
    if (places != nullptr) {
        std::memcpy(places->starts + out.token_count, s.raw_offsets.starts + s.next, words);
        std::memcpy(places->stops + out.token_count, s.raw_offsets.stops + s.next, words);
    }
    out.text_used += bytes;
    out.token_count += n;
    s.next += n;
    s.next_text = end;
    return true;
}

// The pieces of the next raw token that the caller keeps into `out`; false, leaving it
// pending, when `out` fills between its word and its hyphen.
bool release_token(HyphenSplit& s, Batch& out, TokenOffsets* places) {
    const Batch& raw = s.raw;
    const uint8_t* const p = s.next_text;
    // Lengths only need counting when a limit can refuse a token (none is over 128).
    const bool limited = out.token_min_len > 0 || out.token_max_len < MAX_TOKEN_CHARS;
    const auto n = static_cast<uint32_t>(token_bytes(p));
    const uint64_t type = raw.types_buffer[s.next];
    const bool word = (type & WORD_BITS) != 0;
    const uint32_t chars = limited && word ? char_count(p, n) : 1;
    uint64_t start = 0, stop = 0;
    if (places != nullptr) {
        start = s.raw_offsets.starts[s.next];
        stop = s.raw_offsets.stops[s.next];
    }
    if (!word || p[n - 1] != '-') {
        if (kept(out, type, chars)) append(out, places, p, n, type, start, stop);
    } else {
        // The hyphen is the token's last byte, and its range's: nothing the reader dropped
        // comes after it.
        if (!s.word_taken && kept(out, type, limited ? chars - 1 : 1))
            append(out, places, p, n - 1, type, start, stop - 1);
        if (kept(out, HYPHEN_BITS, 1)) {
            if (out.token_count == out.batch_size) {
                s.word_taken = true;
                return false;
            }
            append(out, places, p + n - 1, 1, HYPHEN_BITS, stop - 1, stop);
        }
        s.word_taken = false;
    }
    ++s.next;
    s.next_text = p + n + 1;
    return true;
}

}  // namespace

void take_raw_batch(HyphenSplit& s) {
    s.next = 0;
    s.next_text = s.raw.text_buffer;
    s.word_taken = false;
}

// Under the caller's own settings, the tokens between two words that end in a hyphen pass as
// they are, a run at a time; under wider ones, or for a split word, one token at a time.
void release_split(HyphenSplit& s, Batch& out, TokenOffsets* places) {
    const Batch& raw = s.raw;
    if (!split_pending(s)) return;
    // Conservative: a raw token dropped here may be the one without a code unit.
    out.units_valid &= raw.units_valid;
    const bool runs = same_settings(out, raw);
    const uint8_t* const text_end = raw.text_buffer + raw.text_used;
    while (split_pending(s) && out.token_count < out.batch_size) {
        if (runs) {
            const uint8_t* const word = next_word_hyphen(s.next_text, text_end);
            if (word != s.next_text) {
                if (release_run(s, out, places, word)) continue;
                while (s.next_text != word && out.token_count < out.batch_size)
                    release_token(s, out, places);
                continue;
            }
        }
        if (!release_token(s, out, places)) return;
    }
}
}  // namespace vorlenta
