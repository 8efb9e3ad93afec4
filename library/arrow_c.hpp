// Columns of texts through the Arrow C data interface, without Python and without an Arrow
// library: what a column's schema says it holds, each chunk's texts read where they lie (after
// a check that every one of them lies where its offsets or views say), and the token lists
// handed back as an Arrow list column over buffers built once.
//
// The records below are the interface's ABI, which every producer (pyarrow, polars, DuckDB,
// nanoarrow, pandas through pyarrow) lays out the same way.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace vorlenta {

// Each record released once, by whoever holds it last: the release callback is cleared by the
// call, as the interface asks of a consumer.
void release(ArrowSchema& s);
void release(ArrowArray& a);
void release(ArrowArrayStream& s);

// How a string column lays out its texts.
enum class StringLayout : uint8_t {
    offsets32,  // string: int32 offsets into one data buffer
    offsets64,  // large_string: int64 offsets
    views,      // string_view: 16-byte views, inline or into variadic data buffers
    nulls,      // type null: every entry a null
};

// What a column of texts holds, from its schema: strings of one layout, maybe behind the
// integer indices of a dictionary.
struct TextColumnType {
    StringLayout layout = StringLayout::nulls;
    uint8_t index_width = 0;  // bytes of a dictionary's index; 0 for no dictionary
    bool index_signed = false;
};

// The type of a column as its users name it ("int64", "list<string>",
// "dictionary<values=string, indices=int8>"), for errors.
std::string type_name(const ArrowSchema& schema);

// The column type of a schema that holds texts; false for any other (type_name says which).
bool text_column_type(const ArrowSchema& schema, TextColumnType& type);

// The strings of one array, checked: any text it has is inside its buffers.
struct StringsView {
    StringLayout layout = StringLayout::nulls;
    int64_t offset = 0, length = 0;
    const uint8_t* validity = nullptr;  // nullptr: nothing null
    const uint8_t* offsets = nullptr;   // the offsets (offsets32/64), or the views
    const uint8_t* data = nullptr;      // the offsets' data buffer
    const uint8_t* const* variadic = nullptr;  // the views' data buffers
};

// One chunk of a column of texts: its strings, through a dictionary's indices when it has
// one, and the nulls of the table row they are in when picked from a table.
struct TextChunk {
    StringsView strings;  // a dictionary's values, or the texts themselves
    int64_t offset = 0, length = 0;  // the texts: entries [offset, offset + length)
    const uint8_t* validity = nullptr;  // of the indices (dictionary) or nullptr
    const uint8_t* indices = nullptr;
    uint8_t index_width = 0;
    bool index_signed = false;
    const uint8_t* row_validity = nullptr;  // the table's rows, entry i at row_offset + i
    int64_t row_offset = 0;
};

// `array` (of the type `type`) as a TextChunk, every text checked to lie inside its buffers;
// an empty string, or what is wrong with the array. `array` must outlive the chunk.
std::string open_text_chunk(const ArrowArray& array, const TextColumnType& type, TextChunk& out);

// Column `child` of a chunk of a table (a struct array, as a table's chunks come), with the
// struct's own offset and nulls: a null row is a null text. An empty string, or what is wrong.
std::string open_table_chunk(const ArrowArray& table, int64_t child, const TextColumnType& type,
                             TextChunk& out);

struct ChunkText {
    const uint8_t* data;
    uint64_t size;
    bool null;
};

inline bool bit_set(const uint8_t* bits, int64_t i) { return (bits[i >> 3] >> (i & 7) & 1) != 0; }

// Text i (0 <= i < chunk.length) of a checked chunk.
ChunkText chunk_text(const TextChunk& chunk, int64_t i);

// ---- the token lists, as an Arrow list column ----

// Lists of token strings, built a text at a time into the buffers an Arrow list<string> (32-bit
// offsets) or large_list<large_string> lays out, which export() then hands over as they are.
struct TokenListColumn {
    bool large = true;
    int64_t length = 0, null_count = 0, tokens = 0;
    // The largest offset the column's offsets hold: INT32_MAX for list<string>. A parameter so
    // that the check is tested without gigabytes of tokens.
    uint64_t limit = INT64_MAX;
    std::vector<uint8_t> list_offsets, value_offsets;  // int32 or int64 each, by `large`
    std::vector<uint8_t> data;
    std::vector<uint8_t> validity;  // a bit per list, 1 for a text, 0 for a null

    explicit TokenListColumn(bool large_, uint64_t limit_ = 0);
    // Appends the lists of `texts` texts, whose `tokens` tokens end at `ends` in `bytes`
    // (`per_text` tokens each; `null(k)` says whether text k is a null). False, with nothing
    // appended, when the offsets would pass `limit`.
    template <class Null>
    bool append(const uint8_t* bytes, const uint64_t* ends, uint64_t token_count,
                const uint32_t* per_text, size_t texts, Null&& null);

private:
    void push_offset(std::vector<uint8_t>& v, uint64_t value);
    // Room for `n` more offsets at the end of `v`, where the first of them goes.
    uint8_t* grow(std::vector<uint8_t>& v, uint64_t n) {
        const size_t at = v.size();
        v.resize(at + static_cast<size_t>(n) * (large ? 8 : 4));
        return v.data() + at;
    }
    // Writes one offset at `at` in the column's width; where the next goes.
    uint8_t* put_offset(uint8_t* at, uint64_t value) const {
        if (large) {
            const auto wide = static_cast<int64_t>(value);
            std::memcpy(at, &wide, 8);
            return at + 8;
        }
        const auto narrow = static_cast<int32_t>(value);
        std::memcpy(at, &narrow, 4);
        return at + 4;
    }
    bool fits(uint64_t more_tokens, uint64_t more_bytes) const;
};

// The column as an ArrowSchema and ArrowArray that share it (it lives while either is not
// released): its buffers are handed over, not copied.
void export_schema(const TokenListColumn& column, ArrowSchema& out);
void export_array(const std::shared_ptr<const TokenListColumn>& column, ArrowArray& out);
// A stream of the one array.
void export_stream(const std::shared_ptr<const TokenListColumn>& column, ArrowArrayStream& out);

template <class Null>
bool TokenListColumn::append(const uint8_t* bytes, const uint64_t* ends, uint64_t token_count,
                             const uint32_t* per_text, size_t texts, Null&& null) {
    const uint64_t more_bytes = token_count == 0 ? 0 : ends[token_count - 1];
    if (!fits(token_count, more_bytes)) return false;
    const uint64_t base = data.size();
    data.insert(data.end(), bytes, bytes + more_bytes);
    // Each offsets buffer grows once per call, then is written in place: a group's tokens are
    // thousands, and growing a vector per offset costs more than writing it.
    uint8_t* at = grow(value_offsets, token_count);
    for (uint64_t k = 0; k < token_count; ++k) at = put_offset(at, base + ends[k]);
    at = grow(list_offsets, texts);
    validity.resize(static_cast<size_t>((length + static_cast<int64_t>(texts) + 7) / 8), 0);
    for (size_t k = 0; k < texts; ++k, ++length) {
        tokens += per_text[k];
        at = put_offset(at, static_cast<uint64_t>(tokens));
        if (null(k))
            ++null_count;
        else
            validity[static_cast<size_t>(length >> 3)] |= static_cast<uint8_t>(1u << (length & 7));
    }
    return true;
}

}  // namespace vorlenta
