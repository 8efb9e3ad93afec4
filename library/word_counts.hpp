// Word counts for the library: a hash table from a word's bytes to its count, and the
// lower-casing of the letters a word token can hold.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vorlenta {

// Lower-cases ASCII letters, А-Я and Ё in UTF-8 bytes: every letter that an ENWORD or RUWORD
// token (or a compound of them) can hold. Other bytes are copied as they are, so ill-formed
// bytes stay as they were. `out` has room for n bytes; the length never changes.
inline void lower_word(const uint8_t* in, uint32_t n, uint8_t* out) {
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t b = in[i];
        if (static_cast<uint8_t>(b - 'A') < 26) {
            out[i] = static_cast<uint8_t>(b + 32);
        } else if (b == 0xD0 && i + 1 < n && in[i + 1] >= 0x81 && in[i + 1] <= 0xAF &&
                   (in[i + 1] >= 0x90 || in[i + 1] == 0x81)) {
            const uint8_t c = in[i + 1];
            // А-П (D0 90..9F) -> D0 B0..BF; Р-Я (D0 A0..AF) -> D1 80..8F; Ё (D0 81) -> D1 91.
            out[i] = c < 0xA0 && c >= 0x90 ? 0xD0 : 0xD1;
            out[i + 1] = c == 0x81 ? 0x91 : c < 0xA0 ? static_cast<uint8_t>(c + 0x20)
                                                     : static_cast<uint8_t>(c - 0x20);
            ++i;
        } else {
            out[i] = b;
        }
    }
}

// The n <= 8 bytes at p as a little-endian word, the others zero. Reads 8 bytes: the caller
// guarantees they are there.
inline uint64_t load_tail(const uint8_t* p, uint32_t n) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return n == 0 ? 0 : v & (~uint64_t{0} >> (64 - 8 * n));
}

// Whether lower_word would change any of the n bytes at p: most tokens hold no capital, and
// are then used where they lie, not copied. Eight bytes at a time, in the bits of a word
// (reads up to 7 bytes past the end, as load_tail does). A capital is A-Z, or 81 (Ё) or
// 90..AF (А-Я) after D0. For each byte, the top bit of `ones * k + low7` is whether its low
// seven bits are at least 0x80 - k; no sum carries into the next byte. For "Дa" (D0 94 61):
//     bytes                 D0 94 61      low7 = 50 14 61
//     before (bytes << 8)   00 D0 94      is D0:       0  1  0
//     90..AF: top bit set and low7 within 10..2F:      0  1  0   -> a capital
inline bool has_capital(const uint8_t* p, uint32_t n) {
    constexpr uint64_t ones = 0x0101010101010101ull, tops = ones * 0x80;
    auto at_least = [](uint64_t low7, uint64_t k) { return low7 + ones * (0x80 - k); };
    auto zero = [](uint64_t v) { return ~(((v & ~tops) + ~tops) | v) & tops; };  // exact
    uint64_t last = 0;  // the byte before the word, in the top byte
    for (uint32_t i = 0; i < n; i += 8) {
        const uint64_t v = n - i >= 8 ? load_tail(p + i, 8) : load_tail(p + i, n - i);
        const uint64_t low7 = v & ~tops, high = v & tops;
        const uint64_t ascii = at_least(low7, 0x41) & ~at_least(low7, 0x5B) & ~high;
        const uint64_t cyrillic = zero((v << 8 | last >> 56) ^ ones * 0xD0) &
                                  ((high & at_least(low7, 0x10) & ~at_least(low7, 0x30)) |
                                   zero(v ^ ones * 0x81));
        if (((ascii | cyrillic) & tops) != 0) return true;
        last = v;
    }
    return false;
}

// Counts of distinct byte strings. The words' bytes live in one arena, each followed by 8 zero
// bytes; the table holds their hashes, places, counts and ids (the order in which they were
// first added, from 0), and doubles before it is three quarters full.
//
// Words are read 8 bytes at a time, so a word handed to add() must have 8 readable bytes past
// its end (the batch's text buffer has, and so does the arena, for the comparisons).
class WordCounts {
public:
    static constexpr uint32_t READ_PAST = 8;

    struct Entry {
        uint64_t hash;
        uint64_t offset;  // into the arena
        uint32_t length;
        uint32_t id;      // the words added before it, or the place renumber() gave it
        uint64_t count;   // 0: the slot is free
    };

    // Small to start with: a short text's counts cost next to nothing to set up.
    WordCounts() : slots_(16) {}

    // Inlined where words are counted: a call per word costs the count a fifth of its time.
    // Returns the word's id.
    [[gnu::always_inline]] uint32_t add(const uint8_t* word, uint32_t length,
                                        uint64_t times = 1) {
        return add_hashed(hash(word, length), word, length, times);
    }

    // add() of a word whose hash() is known.
    [[gnu::always_inline]] uint32_t add_hashed(uint64_t h, const uint8_t* word, uint32_t length,
                                               uint64_t times = 1) {
        size_t i = h & (slots_.size() - 1);
        for (;; i = (i + 1) & (slots_.size() - 1)) {
            Entry& e = slots_[i];
            if (e.count == 0) break;
            if (e.hash == h && e.length == length && same(this->word(e), word, length)) {
                e.count += times;
                return e.id;
            }
        }
        const auto id = static_cast<uint32_t>(used_);
        slots_[i] = {h, arena_.size(), length, id, times};
        arena_.append(reinterpret_cast<const char*>(word), length);
        arena_.append(READ_PAST, '\0');
        if (++used_ * 4 > slots_.size() * 3) grow(slots_.size() * 2);
        return id;
    }

    // The entry of a word whose hash() is known, or null when it was never added.
    [[gnu::always_inline]] const Entry* find_hashed(uint64_t h, const uint8_t* word,
                                                    uint32_t length) const {
        for (size_t i = h & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            const Entry& e = slots_[i];
            if (e.count == 0) return nullptr;
            if (e.hash == h && e.length == length && same(this->word(e), word, length))
                return &e;
        }
    }

    const Entry* find(const uint8_t* word, uint32_t length) const {
        return find_hashed(hash(word, length), word, length);
    }

    // A large table's look-ups mostly wait for memory: where the words to look up are known
    // ahead, their slots are asked for first (prefetch_slot), then the bytes of the word in
    // each slot (prefetch_word), so that the look-ups find both in the cache.
    void prefetch_slot(uint64_t h) const { __builtin_prefetch(&slots_[h & (slots_.size() - 1)]); }
    void prefetch_word(uint64_t h) const {
        const Entry& e = slots_[h & (slots_.size() - 1)];
        if (e.count != 0) __builtin_prefetch(word(e));
    }

    static uint64_t hash(const uint8_t* p, uint32_t n) {
        uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
        for (; n >= 8; p += 8, n -= 8) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            h = (h ^ v) * 0xFF51AFD7ED558CCDull;
            h ^= h >> 32;
        }
        h = (h ^ load_tail(p, n)) * 0xC4CEB9FE1A85EC53ull;
        return h ^ (h >> 29);
    }

    // Room for n more words without growing on the way: one rehash instead of several.
    void reserve(size_t n) {
        size_t slots = slots_.size();
        while ((used_ + n) * 4 > slots * 3) slots *= 2;
        if (slots != slots_.size()) grow(slots);
    }

    size_t size() const { return used_; }

    // Gives the word of id i the id new_id[i]: `new_id` is an order of 0..size()-1.
    void renumber(const int32_t* new_id) {
        for (Entry& e : slots_)
            if (e.count != 0) e.id = static_cast<uint32_t>(new_id[e.id]);
    }
    const std::vector<Entry>& entries() const { return slots_; }  // free slots have count 0
    const uint8_t* word(const Entry& e) const {
        return reinterpret_cast<const uint8_t*>(arena_.data()) + e.offset;
    }

private:
    static bool same(const uint8_t* a, const uint8_t* b, uint32_t n) {
        for (; n >= 8; a += 8, b += 8, n -= 8) {
            uint64_t x, y;
            std::memcpy(&x, a, 8);
            std::memcpy(&y, b, 8);
            if (x != y) return false;
        }
        return load_tail(a, n) == load_tail(b, n);
    }

    void grow(size_t slots) {
        std::vector<Entry> old(slots);
        old.swap(slots_);
        for (const Entry& e : old) {
            if (e.count == 0) continue;
            size_t i = e.hash & (slots_.size() - 1);
            while (slots_[i].count != 0) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = e;
        }
    }

    std::vector<Entry> slots_;
    std::string arena_;
    size_t used_ = 0;
};

}  // namespace vorlenta
