// The texts of JSON Lines records, read natively: for each line, the string in one field of its
// top-level object, as Python's json reads it (a \ud800 escaped alone is the lone surrogate
// U+D800, kept as the three bytes errors="surrogatepass" gives it), or no text. No Python here:
// the binding reads a chunk of lines with the interpreter released, and the texts go to the
// tokenizer as an Arrow column's would, without a Python object per record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorlenta {

// What a chunk of lines held. The texts are laid out as an Arrow large_string column, one
// entry per line: `offsets` (one more than the lines), `data`, and `valid` (a bit per line,
// Arrow's validity: 0 for a line with no text).
struct JsonLineTexts {
    std::vector<int64_t> offsets{0};
    std::string data;
    std::vector<uint8_t> valid;
    uint64_t lines = 0;
    uint64_t records = 0;     // lines that are JSON (not blank)
    uint64_t with_field = 0;  // records whose top-level object has the field, whatever its value
    uint64_t skipped = 0;     // records without a string there
    uint64_t bad_lines = 0;   // lines that are not JSON
    int64_t first_bad = -1;   // the first of them, counted from 0 in the chunk
    std::string first_bad_reason;
    std::vector<std::string> keys;  // of the first records, for the error of a missing field
};

// How many keys, and of how many first records, JsonLineTexts::keys gathers.
constexpr size_t JSON_KEYS_SHOWN = 10;
constexpr uint64_t JSON_KEYS_RECORDS = 100;
// Deeper nesting is not read: no record nests so deep, and each level takes the reader's
// stack (orjson stops at 1024; Python's json, at its recursion limit).
constexpr uint32_t JSON_MAX_DEPTH = 1000;

// Reads the lines of data[0, size) (a last line without its line feed included), appending to
// `out`. `field` is the key's UTF-8.
void read_json_lines(const uint8_t* data, size_t size, std::string_view field,
                     JsonLineTexts& out);

// One line's value: whether it is JSON, and if so whether its top-level object has `field`
// and the string there (into `text`); `reason` says what is wrong with a line that is not.
// The keys of the top-level object go to `keys` when it is not null.
enum class JsonLine { blank, bad, no_field, not_a_string, text };
JsonLine read_json_line(const uint8_t* p, const uint8_t* end, std::string_view field,
                        std::string& text, std::string& reason,
                        std::vector<std::string>* keys);

}  // namespace vorlenta
