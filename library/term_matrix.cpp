#include "library/term_matrix.hpp"

#include <cstring>
#include <thread>

#include "library/counts.hpp"
#include "library/utf8_tally.hpp"
#include "sources/utf8.hpp"

namespace vorlenta {

namespace {

// The key of a token whose bytes are not all UTF-8 into `out`, followed by the zero bytes a
// look-up reads past it; returns its length. Each byte of an ill-formed part becomes its
// escape: "x" D0 FF (78 D0 FF) becomes 78 ED B3 90 ED B3 BF, the UTF-8 of "x\udcd0\udcff".
uint32_t escaped_key(const uint8_t* p, uint32_t n, std::vector<uint8_t>& out) {
    out.clear();
    for (uint32_t i = 0; i < n;) {
        const Utf8Step step = utf8_step(p + i, n - i);
        if (step.ok) {
            out.insert(out.end(), p + i, p + i + step.length);
            i += step.length;
            continue;
        }
        // A character cut at the token's end (length 0) is as ill-formed as any other part.
        const uint32_t bad = step.length == 0 ? n - i : step.length;
        for (uint32_t k = 0; k < bad; ++k, ++i) {
            out.push_back(0xED);  // U+DC00 + b, b >= 0x80: ED B2..B3 xx
            out.push_back(static_cast<uint8_t>(0xB0 | p[i] >> 6));
            out.push_back(static_cast<uint8_t>(0x80 | (p[i] & 0x3F)));
        }
    }
    const auto length = static_cast<uint32_t>(out.size());
    out.resize(out.size() + WordCounts::READ_PAST, 0);
    return length;
}

}  // namespace

bool TextTerms::key_of(const uint8_t*& p, uint32_t& n, bool escapes, const TermSettings& s) {
    if (escapes) {
        n = escaped_key(p, n, escaped_);
        p = escaped_.data();
    }
    return s.stop == nullptr || s.stop->find(p, n) == nullptr;
}

void count_terms(SpanTokenizer& t, Group& g, const TermSettings& s, WordCounts& table,
                 bool grow, TermWorker& w) {
    GroupRows& rows = g.rows;
    for (const TextRecord& r : g.texts) {
        const size_t before = rows.columns.size();
        w.counter.start_row();
        w.terms.each_list(t, r, s, [&](const std::vector<TermKey>& terms) {
            // The terms are all known before the first is looked up: their slots and words
            // are fetched from memory side by side, not one after another.
            w.hashes.resize(terms.size());
            for (size_t i = 0; i < terms.size(); ++i) {
                w.hashes[i] = WordCounts::hash(terms[i].key, terms[i].length);
                table.prefetch_slot(w.hashes[i]);
            }
            for (uint64_t h : w.hashes) table.prefetch_word(h);
            for (size_t i = 0; i < terms.size(); ++i) {
                const TermKey& k = terms[i];
                if (grow) {
                    w.counter.add(table.add_hashed(w.hashes[i], k.key, k.length), rows);
                } else if (const WordCounts::Entry* e =
                               table.find_hashed(w.hashes[i], k.key, k.length)) {
                    w.counter.add(e->id, rows);
                }
            }
        });
        rows.per_text.push_back(static_cast<uint32_t>(rows.columns.size() - before));
    }
}

int32_t murmur3_32(const uint8_t* p, size_t n, uint32_t seed) {
    auto rotl = [](uint32_t x, int r) { return x << r | x >> (32 - r); };
    auto scramble = [&](uint32_t k) { return rotl(k * 0xCC9E2D51u, 15) * 0x1B873593u; };
    uint32_t h = seed;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint32_t k;
        std::memcpy(&k, p + i, 4);  // little-endian, as on x86
        h = rotl(h ^ scramble(k), 13) * 5 + 0xE6546B64u;
    }
    uint32_t tail = 0;
    for (size_t j = n - i; j > 0; --j) tail = tail << 8 | p[i + j - 1];
    if (n - i > 0) h ^= scramble(tail);
    h ^= static_cast<uint32_t>(n);
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return static_cast<int32_t>(h);
}

void hash_terms(SpanTokenizer& t, Group& g, const TermSettings& s, uint32_t n_features,
                bool alternate_sign, TermWorker& w) {
    GroupRows& rows = g.rows;
    for (const TextRecord& r : g.texts) {
        w.hashed.clear();
        w.terms.each_list(t, r, s, [&](const std::vector<TermKey>& terms) {
            for (const TermKey& k : terms)
                w.hashed.push_back(
                    hashed_column(murmur3_32(k.key, k.length, 0), n_features, alternate_sign));
        });
        std::sort(w.hashed.begin(), w.hashed.end(),
                  [](HashedColumn a, HashedColumn b) { return a.column < b.column; });
        const size_t before = rows.columns.size();
        for (size_t i = 0; i < w.hashed.size();) {
            const uint32_t column = w.hashed[i].column;
            int32_t sum = 0;
            for (; i < w.hashed.size() && w.hashed[i].column == column; ++i) sum += w.hashed[i].sign;
            rows.columns.push_back(column);
            rows.values.push_back(sum);
        }
        rows.per_text.push_back(static_cast<uint32_t>(rows.columns.size() - before));
    }
}

std::vector<int64_t> ids_in_key_order(const WordCounts& table) {
    std::vector<int64_t> ids;
    ids.reserve(table.size());
    for (const WordCounts::Entry* e : words_in_order(table)) ids.push_back(e->id);
    return ids;
}

std::vector<int32_t> add_table(WordCounts& into, const WordCounts& from) {
    std::vector<int32_t> ids(from.size());
    into.reserve(from.size());
    for (const WordCounts::Entry& e : from.entries())
        if (e.count != 0) ids[e.id] = static_cast<int32_t>(into.add(from.word(e), e.length, e.count));
    return ids;
}

std::vector<const WordCounts::Entry*> entries_by_id(const WordCounts& table) {
    std::vector<const WordCounts::Entry*> by_id(table.size());
    for (const WordCounts::Entry& e : table.entries())
        if (e.count != 0) by_id[e.id] = &e;
    return by_id;
}

bool table_of(const WordCounts& table, const int64_t* ids, size_t n, WordCounts& out) {
    const std::vector<const WordCounts::Entry*> by_id = entries_by_id(table);
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (ids[i] < 0 || static_cast<uint64_t>(ids[i]) >= by_id.size()) return false;
        const WordCounts::Entry& e = *by_id[static_cast<size_t>(ids[i])];
        out.add(table.word(e), e.length, e.count);
    }
    return true;
}

namespace {

void order_some_rows(const int64_t* starts, size_t first_row, size_t end_row, int32_t* columns,
                     int64_t* values, const int32_t* renumbered) {
    if (renumbered != nullptr)
        for (auto k = static_cast<size_t>(starts[first_row]); k < static_cast<size_t>(starts[end_row]); ++k)
            columns[k] = renumbered[columns[k]];
    // A row's entries sort as one number each, the column above the value: the columns differ,
    // so the values never decide. A value that does not fit 32 bits (a count of 2**32 in one
    // text) sorts its row as pairs.
    std::vector<uint64_t> packed;
    std::vector<std::pair<int32_t, int64_t>> pairs;
    for (size_t r = first_row; r < end_row; ++r) {
        const auto first = static_cast<size_t>(starts[r]), end = static_cast<size_t>(starts[r + 1]);
        packed.clear();
        for (size_t i = first; i < end; ++i) {
            if (static_cast<uint64_t>(values[i]) > UINT32_MAX) break;
            packed.push_back(static_cast<uint64_t>(columns[i]) << 32 | static_cast<uint64_t>(values[i]));
        }
        if (packed.size() == end - first) {
            if (packed.size() <= 64) {  // most rows: an insertion sort beats the general one
                for (size_t i = 1; i < packed.size(); ++i) {
                    const uint64_t entry = packed[i];
                    size_t j = i;
                    for (; j > 0 && packed[j - 1] > entry; --j) packed[j] = packed[j - 1];
                    packed[j] = entry;
                }
            } else {
                std::sort(packed.begin(), packed.end());
            }
            for (size_t i = first; i < end; ++i) {
                columns[i] = static_cast<int32_t>(packed[i - first] >> 32);
                values[i] = static_cast<int64_t>(packed[i - first] & UINT32_MAX);
            }
            continue;
        }
        pairs.clear();
        for (size_t i = first; i < end; ++i) pairs.emplace_back(columns[i], values[i]);
        std::sort(pairs.begin(), pairs.end());
        for (size_t i = first; i < end; ++i) {
            columns[i] = pairs[i - first].first;
            values[i] = pairs[i - first].second;
        }
    }
}

}  // namespace

void order_rows(const int64_t* starts, size_t rows, int32_t* columns, int64_t* values,
                const int32_t* renumbered, unsigned jobs) {
    // Shares of about the same number of entries; threads only where there is enough to share.
    const auto entries = static_cast<uint64_t>(starts[rows]);
    const unsigned shares = entries < (1u << 16) || jobs < 2 ? 1 : jobs;
    std::vector<std::thread> threads;
    size_t first = 0;
    for (unsigned k = 1; k <= shares; ++k) {
        const int64_t* cut = std::lower_bound(starts, starts + rows, static_cast<int64_t>(entries * k / shares));
        const size_t end = k == shares ? rows : static_cast<size_t>(cut - starts);
        if (k == shares)
            order_some_rows(starts, first, end, columns, values, renumbered);
        else
            threads.emplace_back(order_some_rows, starts, first, end, columns, values, renumbered);
        first = end;
    }
    for (std::thread& t : threads) t.join();
}

}  // namespace vorlenta
