// Bag-of-words matrices of many texts, made where the tokens are: each text's terms (its kept
// tokens, stop words dropped, and their word n-grams joined by one space), counted into a row
// of columns. A column is a term's id in a table of terms (count matrices) or its hash (hashed
// matrices). No Python here: the binding gathers the rows of a group's texts into the CSR
// arrays (row starts, columns, values) that SciPy takes as they are.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "library/text_groups.hpp"
#include "library/utf8_tally.hpp"
#include "library/word_counts.hpp"

namespace vorlenta {

// A term is found by its key: the UTF-8 of its str, lone surrogates in their
// errors="surrogatepass" form, one space between the tokens of an n-gram. So a token's key is
// its bytes, but for the bytes of a bytes (or Arrow) text that are not UTF-8: each such byte b
// is U+DC00 + b in the token's str (errors="surrogateescape"), and so ED B2..B3 xx in its key.
// One str, one key, whatever the text was; and the order of the keys' bytes is the order of
// their strs.
struct TermSettings {
    bool lower = true;
    uint32_t min_n = 1, max_n = 1;    // the n-grams made, n from min_n to max_n
    const WordCounts* stop = nullptr;  // the keys of the stop words, or none
};

// A term's key where it lies.
struct TermKey {
    const uint8_t* key;
    uint32_t length;
};

// The terms of one text: its kept tokens (lower-cased if asked, not stop words) and their
// n-grams.
class TextTerms {
public:
    // use(terms) for the terms of text `r`, the tokens (n = 1) first, then each longer n-gram,
    // in one or more lists whose keys stay where they are during the call. Tokens alone are
    // listed a batch at a time, most where the batch holds them; n-grams need the text's tokens
    // one after another, each followed by a space, so that an n-gram's key is the bytes from
    // its first token's start to its last token's end.
    template <class Use>
    void each_list(SpanTokenizer& t, const TextRecord& r, const TermSettings& s, Use&& use) {
        // Only bytes from Python or Arrow can be ill-formed; a str's encoding is its key.
        const bool escapes = r.tally && !r.null && !is_utf8(r.data, r.size);
        if (s.max_n == 1) {
            tokenize_text(t, r, false, [&](const Batch& b) { use(tokens_of(b, escapes, s)); });
        } else {
            bytes_.clear();
            starts_.clear();
            tokenize_text(t, r, false, [&](const Batch& b) { gather(b, escapes, s); });
            use(ngrams(s));
        }
    }

private:
    // The kept tokens of a batch, most where the batch holds them.
    const std::vector<TermKey>& tokens_of(const Batch& b, bool escapes, const TermSettings& s) {
        list_.clear();
        moved_.clear();
        moved_at_.clear();
        uint8_t lowered[TEXT_BYTES_PER_TOKEN + 16];
        each_token(b, s.lower, lowered, [&](const uint8_t* p, uint32_t n, uint32_t) {
            if (!key_of(p, n, escapes, s)) return;
            if (p == lowered || p == escaped_.data()) {
                // In a buffer that the next token reuses: kept aside till the batch is listed.
                moved_at_.push_back({list_.size(), moved_.size()});
                moved_.insert(moved_.end(), p, p + n);
            }
            list_.push_back({p, n});
        });
        moved_.resize(moved_.size() + WordCounts::READ_PAST, 0);
        for (const auto& [i, at] : moved_at_) list_[i].key = moved_.data() + at;
        return list_;
    }

    // Adds a batch's kept tokens to the text's, each followed by a space.
    void gather(const Batch& b, bool escapes, const TermSettings& s) {
        uint8_t lowered[TEXT_BYTES_PER_TOKEN + 16];
        each_token(b, s.lower, lowered, [&](const uint8_t* p, uint32_t n, uint32_t) {
            if (!key_of(p, n, escapes, s)) return;
            starts_.push_back(bytes_.size());
            bytes_.insert(bytes_.end(), p, p + n);
            bytes_.push_back(' ');
        });
    }

    // The n-grams of the tokens gathered.
    const std::vector<TermKey>& ngrams(const TermSettings& s) {
        starts_.push_back(bytes_.size());
        bytes_.resize(bytes_.size() + WordCounts::READ_PAST, 0);
        list_.clear();
        const auto tokens = static_cast<uint32_t>(starts_.size()) - 1;
        for (uint32_t n = s.min_n; n <= s.max_n && n <= tokens; ++n) {
            for (uint32_t i = 0; i + n <= tokens; ++i) {
                const uint64_t start = starts_[i];
                list_.push_back({bytes_.data() + start,
                                 static_cast<uint32_t>(starts_[i + n] - 1 - start)});
            }
        }
        return list_;
    }

    // Makes p, n a token's key (escaping bytes that are not UTF-8); false for a stop word.
    bool key_of(const uint8_t*& p, uint32_t& n, bool escapes, const TermSettings& s);

    std::vector<TermKey> list_;
    std::vector<uint8_t> moved_;      // tokens lowered or escaped, with a batch's tokens
    std::vector<std::pair<size_t, size_t>> moved_at_;  // their places in list_ and moved_
    std::vector<uint8_t> bytes_;      // the tokens, each followed by a space; then
                                      // WordCounts::READ_PAST zero bytes, for the look-ups
    std::vector<uint64_t> starts_;    // where each token starts, then the end of the last
    std::vector<uint8_t> escaped_;    // a token with bytes that are not UTF-8, as its key
};

// Counts a text's terms by column: each column once in the row, in the order first met.
class RowCounter {
public:
    void start_row() {
        if (++row_ == 0) {  // after 2**32 rows: the marks of old rows would be taken as new
            std::fill(last_row_.begin(), last_row_.end(), 0);
            row_ = 1;
        }
    }
    void add(uint32_t column, GroupRows& rows) {
        if (column >= last_row_.size()) {
            last_row_.resize(std::max<size_t>(column + 1, 2 * last_row_.size()), 0);
            place_.resize(last_row_.size());
        }
        if (last_row_[column] == row_) {
            ++rows.values[place_[column]];
            return;
        }
        last_row_[column] = row_;
        place_[column] = static_cast<uint32_t>(rows.columns.size());
        rows.columns.push_back(column);
        rows.values.push_back(1);
    }

private:
    std::vector<uint32_t> last_row_;  // by column: the last row that has it
    std::vector<uint32_t> place_;     // by column: its entry in that row
    uint32_t row_ = 0;
};

// A hashed term's column and sign, as scikit-learn's FeatureHasher gives them: |h| modulo the
// columns (h = -2**31, whose absolute value an int32 cannot hold, as 2**31 modulo them), and
// the sign of h.
struct HashedColumn {
    uint32_t column;
    int32_t sign;
};
inline HashedColumn hashed_column(int32_t h, uint32_t n_features, bool alternate_sign) {
    const uint32_t magnitude = h == INT32_MIN ? 2147483648u : static_cast<uint32_t>(h < 0 ? -h : h);
    return {magnitude % n_features, alternate_sign && h < 0 ? -1 : 1};
}

// What a worker keeps between the texts it counts: the terms of the text in hand, the row
// marks, and (for a worker other than the first, when terms are added) a table of its own.
struct TermWorker {
    TextTerms terms;
    RowCounter counter;
    WordCounts own;  // ids of its own, renumbered into the call's table at the end
    std::vector<uint64_t> hashes;  // of the terms listed, for the look-ups
    std::vector<HashedColumn> hashed;  // the text's hashed terms
};

// The rows of the group's texts into g's rows: each term's id in `table`, added if new and
// `grow`, else skipped when the table has none.
void count_terms(SpanTokenizer& t, Group& g, const TermSettings& s, WordCounts& table,
                 bool grow, TermWorker& w);

// The signed 32-bit MurmurHash3 (x86, 32-bit) of n bytes with `seed`: scikit-learn's hash of
// features.
int32_t murmur3_32(const uint8_t* p, size_t n, uint32_t seed);

// The rows of the group's texts into g's rows, by hashed column: each row's columns ascending,
// each once, its value the sum of its terms' signs (0 kept, as scikit-learn keeps it).
void hash_terms(SpanTokenizer& t, Group& g, const TermSettings& s, uint32_t n_features,
                bool alternate_sign, TermWorker& w);

// The ids of `table`'s keys in the order of their bytes.
std::vector<int64_t> ids_in_key_order(const WordCounts& table);

// Adds the words of `from` (with their counts) to `into`; returns each one's id there, by its
// id in `from`.
std::vector<int32_t> add_table(WordCounts& into, const WordCounts& from);

// Each id's entry, in id order.
std::vector<const WordCounts::Entry*> entries_by_id(const WordCounts& table);

// The table of the words `ids` of `table` (count kept), renumbered from 0 in that order; false
// when an id is not the table's.
bool table_of(const WordCounts& table, const int64_t* ids, size_t n, WordCounts& out);

// Renumbers each entry's column c as renumbered[c] (unless null), then sorts each row's
// entries by column, their values with them; on `jobs` threads, each a share of the rows. The
// rows are those of a matrix in CSR form: row i's entries are starts[i]..starts[i + 1].
void order_rows(const int64_t* starts, size_t rows, int32_t* columns, int64_t* values,
                const int32_t* renumbered, unsigned jobs);

}  // namespace vorlenta
