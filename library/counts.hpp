// The word and type counts that several methods of vorlenta._native fill, the choice of the
// most frequent words, and the bytes pickle carries them in. No Python here.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/token_types.hpp"
#include "library/object_lock.hpp"
#include "library/token_lines.hpp"
#include "library/word_counts.hpp"
#include "sources/batch.hpp"

namespace vorlenta {

struct Counts {
    WordCounts words;
    std::array<uint64_t, 8> types{};  // by class: type bit k-1 is class k
    ObjectLock lock;
};

// A str's lone surrogate and the same three bytes read from bytes are different words: the
// first is the str's own character ("\ud800", as tokenize gives it), the second three bytes
// that are not UTF-8 ("\udced\udca0\udc80"). The word of a str holding one is counted under
// its bytes followed by this mark: no other word ends with it, since the byte FF, never part
// of UTF-8, is always a token of its own.
constexpr uint8_t STR_SURROGATES_MARK = 0xFF;

// Whether UTF-8 encoded from a str (lone surrogates as errors="surrogatepass" writes them,
// ED A0..BF xx) holds a surrogate.
inline bool has_encoded_surrogate(const uint8_t* p, size_t n) {
    for (const uint8_t* end = p + n; n >= 2;) {
        const auto* lead = static_cast<const uint8_t*>(std::memchr(p, 0xED, n - 1));
        if (lead == nullptr) return false;
        if (lead[1] >= 0xA0) return true;
        p = lead + 1;
        n = static_cast<size_t>(end - p);
    }
    return false;
}

// Whether a counted word's bytes carry STR_SURROGATES_MARK (and so are decoded as a str's).
inline bool is_str_surrogates_key(const uint8_t* p, size_t n) {
    return n > 1 && p[n - 1] == STR_SURROGATES_MARK;
}

// Counts the types of a batch's tokens, and the words among them (tokens whose type is in
// `word_mask`), lower-cased if asked; `lowered` has room for a token, a mark and what
// lower_word reads past it. `str_surrogates`: the batch is of a str that holds lone
// surrogates.
inline void count_batch(Counts& counts, const Batch& b, bool lower, uint64_t word_mask,
                        uint8_t* lowered, bool str_surrogates = false) {
    const uint8_t* p = b.text_buffer;
    for (uint32_t i = 0; i < b.token_count; ++i) {
        const uint8_t* const end = token_end(p);
        const uint64_t type = b.types_buffer[i];
        ++counts.types[class_of_type(static_cast<TokenType>(type))];
        if ((type & word_mask) != 0) {
            const auto n = static_cast<uint32_t>(end - p);
            if (str_surrogates && has_encoded_surrogate(p, n)) {
                std::memcpy(lowered, p, n);  // a surrogate has no case
                lowered[n] = STR_SURROGATES_MARK;
                counts.words.add(lowered, n + 1);
            } else {
                if (lower) lower_word(p, n, lowered);
                counts.words.add(lower ? lowered : p, n);
            }
        }
        p = end + 1;
    }
}

// Adds `from`'s words and types to `into`'s.
inline void merge_counts(Counts& into, const Counts& from) {
    into.words.reserve(from.words.size());
    for (const WordCounts::Entry& e : from.words.entries())
        if (e.count != 0) into.words.add(from.words.word(e), e.length, e.count);
    for (size_t k = 0; k < into.types.size(); ++k) into.types[k] += from.types[k];
}

// The counted words in the order of their bytes: the same order however the words were
// counted (on how many threads, in what order), so that ties among the most common come out
// the same.
inline std::vector<const WordCounts::Entry*> words_in_order(const WordCounts& words) {
    // Sorted by their first 16 bytes as two big-endian numbers, which decide nearly every
    // comparison without reading the words again; the rest by all their bytes.
    struct Keyed {
        uint64_t high, low;
        const WordCounts::Entry* entry;
    };
    auto big_endian = [](const uint8_t* p, uint32_t n) {
        uint64_t v = 0;
        for (uint32_t i = 0; i < 8; ++i) v = v << 8 | (i < n ? p[i] : 0);
        return v;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(words.size());
    for (const WordCounts::Entry& e : words.entries()) {
        if (e.count == 0) continue;
        const uint8_t* w = words.word(e);
        keyed.push_back({big_endian(w, e.length), e.length > 8 ? big_endian(w + 8, e.length - 8) : 0,
                         &e});
    }
    std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
        if (a.high != b.high) return a.high < b.high;
        if (a.low != b.low) return a.low < b.low;
        const WordCounts::Entry &x = *a.entry, &y = *b.entry;
        const int c = std::memcmp(words.word(x), words.word(y), std::min(x.length, y.length));
        return c != 0 ? c < 0 : x.length < y.length;
    });
    std::vector<const WordCounts::Entry*> out;
    out.reserve(keyed.size());
    for (const Keyed& k : keyed) out.push_back(k.entry);
    return out;
}

// The count of the n-th most frequent word: the words counted at least this often are the n
// most frequent and those tied with the last of them. 1 (every word) when n is 0 or no fewer
// than the words.
inline uint64_t least_count_of_top(const WordCounts& words, size_t n) {
    if (n == 0 || n >= words.size()) return 1;
    std::vector<uint64_t> all;
    all.reserve(words.size());
    for (const WordCounts::Entry& e : words.entries())
        if (e.count != 0) all.push_back(e.count);
    std::nth_element(all.begin(), all.begin() + static_cast<ptrdiff_t>(n - 1), all.end(),
                     std::greater<uint64_t>());
    return all[n - 1];
}

// Words as pickle carries them to another process (Dask sends each task's counts back): their
// bytes end to end, with their lengths (4 bytes each) and counts (8) as little-endian arrays.
// A few buffers instead of a Python object per word, and no byte of a word that is not UTF-8
// is changed on the way.
struct WordsState {
    std::string words, lengths, counts;
};

inline void put_le(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

inline uint64_t get_le(const std::string& in, size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= uint64_t{static_cast<uint8_t>(in[at + static_cast<size_t>(i)])} << (8 * i);
    return value;
}

inline WordsState words_state(const WordCounts& words) {
    WordsState s;
    s.lengths.reserve(4 * words.size());
    s.counts.reserve(8 * words.size());
    for (const WordCounts::Entry& e : words.entries()) {
        if (e.count == 0) continue;
        s.words.append(reinterpret_cast<const char*>(words.word(e)), e.length);
        put_le(s.lengths, e.length, 4);
        put_le(s.counts, e.count, 8);
    }
    return s;
}

// Whether the arrays have a length and a count for the same number of words.
inline bool words_state_shaped(const WordsState& s) {
    return s.lengths.size() % 4 == 0 && s.counts.size() == 2 * s.lengths.size();
}

// The words of a state into `out`; false when it is not one that words_state makes (arrays not
// shaped so, a word counted 0 times, lengths that do not tile the bytes).
inline bool add_words_state(WordsState s, WordCounts& out) {
    if (!words_state_shaped(s)) return false;
    const size_t n = s.lengths.size() / 4;
    const size_t size = s.words.size();
    s.words.append(WordCounts::READ_PAST, '\0');  // what add() reads past a word
    out.reserve(n);
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t length = get_le(s.lengths, 4 * i, 4);
        const uint64_t count = get_le(s.counts, 8 * i, 8);
        if (count == 0 || length > size - at) return false;
        out.add(reinterpret_cast<const uint8_t*>(s.words.data()) + at,
                static_cast<uint32_t>(length), count);
        at += length;
    }
    return at == size;
}

}  // namespace vorlenta
