#include "library/hyphen_split.hpp"

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

void take_raw_batch(HyphenSplit& s) {
    s.next = 0;
    s.next_text = s.raw.text_buffer;
    s.word_taken = false;
}

void release_split(HyphenSplit& s, Batch& out, TokenOffsets* places) {
    const Batch& raw = s.raw;
    if (!split_pending(s)) return;
    // Conservative: a raw token dropped here may be the one without a code unit.
    out.units_valid &= raw.units_valid;
    // Lengths only need counting when a limit can refuse a token (none is over 128).
    const bool limited = out.token_min_len > 0 || out.token_max_len < MAX_TOKEN_CHARS;
    const uint8_t* p = s.next_text;
    for (; s.next < raw.token_count; ++s.next) {
        if (out.token_count == out.batch_size) break;
        // A token whose first byte is zero is the character U+0000 itself.
        const auto n = static_cast<uint32_t>(*p == 0 ? 1 : token_length(p));
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
                    break;
                }
                append(out, places, p + n - 1, 1, HYPHEN_BITS, stop - 1, stop);
            }
            s.word_taken = false;
        }
        p += n + 1;
    }
    s.next_text = p;
}

}  // namespace vorlenta
