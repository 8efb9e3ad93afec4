// Arrow columns of texts read in place, and refused when their buffers do not hold what they
// say; the token lists' column and its 32-bit limit.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "library/arrow_c.hpp"

using namespace vorlenta;

namespace {

void no_release(ArrowArray* a) { a->release = nullptr; }

// An array over buffers the test owns.
struct Built {
    std::vector<const void*> buffers;
    ArrowArray array{};
    ArrowArray dictionary{};

    Built(std::vector<const void*> b, int64_t length, int64_t offset = 0, int64_t nulls = 0)
        : buffers(std::move(b)) {
        array.length = length;
        array.offset = offset;
        array.null_count = nulls;
        array.n_buffers = static_cast<int64_t>(buffers.size());
        array.buffers = buffers.data();
        array.release = no_release;
    }
};

std::vector<std::string> texts(const TextChunk& c) {
    std::vector<std::string> out;
    for (int64_t i = 0; i < c.length; ++i) {
        const ChunkText t = chunk_text(c, i);
        out.push_back(t.null ? "<null>" : std::string(reinterpret_cast<const char*>(t.data), t.size));
    }
    return out;
}

// A 16-byte string_view entry (see the layout in arrow_c.cpp).
std::array<uint8_t, 16> view(const std::string& s, int32_t buffer = 0, int32_t at = 0) {
    std::array<uint8_t, 16> v{};
    const auto n = static_cast<int32_t>(s.size());
    std::memcpy(v.data(), &n, 4);
    if (n <= 12) {
        std::memcpy(v.data() + 4, s.data(), s.size());
    } else {
        std::memcpy(v.data() + 4, s.data(), 4);
        std::memcpy(v.data() + 8, &buffer, 4);
        std::memcpy(v.data() + 12, &at, 4);
    }
    return v;
}

const TextColumnType STRING{StringLayout::offsets32, 0, false};
const TextColumnType VIEWS{StringLayout::views, 0, false};

TEST(ArrowColumns, StringsWithOffsetAndNulls) {
    const int32_t offsets[] = {0, 3, 3, 8, 12};
    const char data[] = "abcdefghijkl";
    const uint8_t validity[] = {0b1011};  // entry 2 is null
    Built b({validity, offsets, data}, 3, 1, 1);  // entries 1..3
    TextChunk c;
    ASSERT_EQ(open_text_chunk(b.array, STRING, c), "");
    EXPECT_EQ(texts(c), (std::vector<std::string>{"", "<null>", "ijkl"}));
}

TEST(ArrowColumns, OffsetsOutOfOrderOrNegativeAreRefused) {
    const char data[] = "abcdef";
    for (const auto& offsets : std::vector<std::vector<int32_t>>{{0, 4, 2}, {-1, 2, 3}}) {
        Built b({nullptr, offsets.data(), data}, 2);
        TextChunk c;
        EXPECT_NE(open_text_chunk(b.array, STRING, c), "");
    }
    // Outside the slice the offsets are not read.
    const int32_t sliced[] = {9, 0, 2, 5};
    Built b({nullptr, sliced, data}, 2, 1);
    TextChunk c;
    EXPECT_EQ(open_text_chunk(b.array, STRING, c), "");
    EXPECT_EQ(texts(c), (std::vector<std::string>{"ab", "cde"}));
    // A data buffer missing where texts are not empty.
    Built missing({nullptr, sliced, nullptr}, 2, 1);
    EXPECT_NE(open_text_chunk(missing.array, STRING, c), "");
}

TEST(ArrowColumns, ViewsInlineAndInTheirBuffers) {
    const std::string long1 = "a text longer than twelve", long2 = "another long text, ёжик";
    const std::string buffer0 = "xx" + long1, buffer1 = long2;
    const auto v = std::vector<std::array<uint8_t, 16>>{
        view("short"), view(long1, 0, 2), view(""), view(long2, 1, 0), view("twelve bytes")};
    const int64_t sizes[] = {static_cast<int64_t>(buffer0.size()),
                             static_cast<int64_t>(buffer1.size())};
    Built b({nullptr, v.data(), buffer0.data(), buffer1.data(), sizes}, 5);
    TextChunk c;
    ASSERT_EQ(open_text_chunk(b.array, VIEWS, c), "");
    EXPECT_EQ(texts(c), (std::vector<std::string>{"short", long1, "", long2, "twelve bytes"}));
}

TEST(ArrowColumns, ViewsOutsideTheirBuffersAreRefused) {
    const std::string long1 = "a text longer than twelve";
    const int64_t sizes[] = {static_cast<int64_t>(long1.size())};
    for (const auto& bad : {view(long1, 1, 0), view(long1, -1, 0), view(long1, 0, 1),
                            view(long1, 0, -4)}) {
        const std::array<uint8_t, 16> entries[] = {view("ok"), bad};
        Built b({nullptr, entries, long1.data(), sizes}, 2);
        TextChunk c;
        EXPECT_NE(open_text_chunk(b.array, VIEWS, c), "");
        // A null entry's view is not read.
        const uint8_t validity[] = {0b01};
        Built nulled({validity, entries, long1.data(), sizes}, 2, 0, 1);
        EXPECT_EQ(open_text_chunk(nulled.array, VIEWS, c), "");
        EXPECT_EQ(texts(c), (std::vector<std::string>{"ok", "<null>"}));
    }
    std::array<uint8_t, 16> negative = view("x");
    const int32_t minus = -1;
    std::memcpy(negative.data(), &minus, 4);
    Built b({nullptr, &negative, sizes}, 1);
    TextChunk c;
    EXPECT_NE(open_text_chunk(b.array, VIEWS, c), "");
}

TEST(ArrowColumns, DictionaryIndicesOfEveryWidth) {
    const int32_t offsets[] = {0, 1, 3, 3};
    const char data[] = "abc";
    const uint8_t values_validity[] = {0b011};  // value 2 is null
    const uint8_t validity[] = {0b1101};        // entry 1 is null
    struct Case {
        std::string format;
        std::vector<uint8_t> indices;  // 4 indices, little-endian
        bool good;
    };
    const Case cases[] = {
        {"c", {1, 0, 0, 2}, true},
        {"C", {1, 9, 0, 2}, true},  // a null entry's index is not read
        {"s", {1, 0, 0, 0, 0, 0, 2, 0}, true},
        {"c", {1, 0, 0xff, 2}, false},  // -1
        {"C", {1, 0, 3, 2}, false},
        {"L", std::vector<uint8_t>(32, 0xff), false},  // past INT64_MAX
    };
    for (const Case& k : cases) {
        ArrowSchema schema{}, values{};
        values.format = "u";
        schema.format = k.format.c_str();
        schema.dictionary = &values;
        TextColumnType type;
        ASSERT_TRUE(text_column_type(schema, type)) << k.format;
        Built d({values_validity, offsets, data}, 3, 0, 1);
        Built b({validity, k.indices.data()}, 4, 0, 1);
        b.array.dictionary = &d.array;
        TextChunk c;
        EXPECT_EQ(open_text_chunk(b.array, type, c).empty(), k.good) << k.format;
        if (k.good)
            EXPECT_EQ(texts(c), (std::vector<std::string>{"bc", "<null>", "a", "<null>"}));
    }
}

TEST(ArrowColumns, TableColumnWithTheRowsOffsetAndNulls) {
    const int64_t offsets[] = {0, 1, 2, 3, 4};
    const char data[] = "wxyz";
    Built column({nullptr, offsets, data}, 4);
    const uint8_t rows[] = {0b1010};  // rows 1..3 of the table: row 2 is null
    Built table({rows}, 3, 1, 1);
    ArrowArray* children[] = {nullptr, &column.array};
    table.array.n_children = 2;
    table.array.children = children;
    TextChunk c;
    EXPECT_EQ(open_table_chunk(table.array, 1, {StringLayout::offsets64, 0, false}, c), "");
    EXPECT_EQ(texts(c), (std::vector<std::string>{"x", "<null>", "z"}));
    EXPECT_NE(open_table_chunk(table.array, 0, {StringLayout::offsets64, 0, false}, c), "");
    column.array.length = 3;  // shorter than the table's rows
    EXPECT_NE(open_table_chunk(table.array, 1, {StringLayout::offsets64, 0, false}, c), "");
}

TEST(ArrowColumns, TypeNamesAreReadable) {
    ArrowSchema item{}, list{}, dict{}, values{};
    item.format = "l";
    item.name = "item";
    ArrowSchema* children[] = {&item};
    list.format = "+l";
    list.n_children = 1;
    list.children = children;
    EXPECT_EQ(type_name(list), "list<int64>");
    values.format = "vz";
    dict.format = "I";
    dict.dictionary = &values;
    EXPECT_EQ(type_name(dict), "dictionary<values=binary_view, indices=uint32>");
    TextColumnType type;
    EXPECT_FALSE(text_column_type(dict, type));
    ArrowSchema ts{};
    ts.format = "tsu:UTC";
    EXPECT_EQ(type_name(ts), "timestamp[u:UTC]");
}

// The lists of texts given as (tokens per text, null) through the column's buffers.
std::vector<std::vector<std::string>> lists_of(const TokenListColumn& c) {
    std::vector<std::vector<std::string>> out;
    auto at = [&](const std::vector<uint8_t>& v, int64_t i) -> int64_t {
        if (c.large) {
            int64_t x;
            std::memcpy(&x, v.data() + 8 * i, 8);
            return x;
        }
        int32_t x;
        std::memcpy(&x, v.data() + 4 * i, 4);
        return x;
    };
    for (int64_t i = 0; i < c.length; ++i) {
        std::vector<std::string> list;
        if (!bit_set(c.validity.data(), i)) list.push_back("<null>");
        for (int64_t k = at(c.list_offsets, i); k < at(c.list_offsets, i + 1); ++k)
            list.emplace_back(reinterpret_cast<const char*>(c.data.data()) + at(c.value_offsets, k),
                              at(c.value_offsets, k + 1) - at(c.value_offsets, k));
        out.push_back(list);
    }
    return out;
}

TEST(TokenLists, GroupsAppendAndTheLimitHolds) {
    for (bool large : {false, true}) {
        TokenListColumn c(large, 12);  // 12 tokens and 12 bytes at most
        const std::string bytes = "aбcd";  // tokens "a", "б", "cd"
        const uint64_t ends[] = {1, 3, 5};
        const uint32_t per_text[] = {2, 0, 1};
        auto null = [](size_t k) { return k == 1; };
        ASSERT_TRUE(c.append(reinterpret_cast<const uint8_t*>(bytes.data()), ends, 3, per_text, 3,
                             null));
        ASSERT_TRUE(c.append(reinterpret_cast<const uint8_t*>(bytes.data()), ends, 3, per_text, 3,
                             null));
        const std::vector<std::vector<std::string>> one = {{"a", "б"}, {"<null>"}, {"cd"}};
        std::vector<std::vector<std::string>> two = one;
        two.insert(two.end(), one.begin(), one.end());
        EXPECT_EQ(lists_of(c), two);
        EXPECT_EQ(c.null_count, 2);
        // 10 bytes held: 5 more would pass 12, and nothing of them is appended.
        EXPECT_FALSE(c.append(reinterpret_cast<const uint8_t*>(bytes.data()), ends, 3, per_text, 3,
                              null));
        EXPECT_EQ(lists_of(c), two);
        const uint64_t one_end[] = {1};
        const uint32_t one_token[] = {1};
        EXPECT_TRUE(c.append(reinterpret_cast<const uint8_t*>(bytes.data()), one_end, 1,
                             one_token, 1, [](size_t) { return false; }));
    }
    EXPECT_EQ(TokenListColumn(false).limit, uint64_t{INT32_MAX});
    EXPECT_EQ(TokenListColumn(true).limit, uint64_t{INT64_MAX});
}

TEST(TokenLists, ExportsShareTheColumnUntilTheLastRelease) {
    auto column = std::make_shared<TokenListColumn>(false);
    const std::string bytes = "ab";
    const uint64_t ends[] = {1, 2};
    const uint32_t per_text[] = {2};
    column->append(reinterpret_cast<const uint8_t*>(bytes.data()), ends, 2, per_text, 1,
                   [](size_t) { return false; });
    ArrowSchema schema;
    export_schema(*column, schema);
    EXPECT_STREQ(schema.format, "+l");
    EXPECT_STREQ(schema.children[0]->format, "u");
    ArrowArray array;
    export_array(column, array);
    EXPECT_EQ(column.use_count(), 3);  // the lists and their strings
    ASSERT_EQ(array.n_children, 1);
    ArrowArray strings = *array.children[0];  // a consumer may move a child out
    array.children[0]->release = nullptr;
    EXPECT_EQ(strings.length, 2);
    EXPECT_EQ(array.buffers[0], nullptr);  // nothing null
    release(array);
    EXPECT_EQ(column.use_count(), 2);
    EXPECT_EQ(std::string(static_cast<const char*>(strings.buffers[2]), 2), "ab");
    release(strings);
    release(schema);
    EXPECT_EQ(column.use_count(), 1);

    ArrowArrayStream stream;
    export_stream(column, stream);
    ASSERT_EQ(stream.get_next(&stream, &array), 0);
    EXPECT_NE(array.release, nullptr);
    release(array);
    ASSERT_EQ(stream.get_next(&stream, &array), 0);
    EXPECT_EQ(array.release, nullptr);  // the end
    release(stream);
    EXPECT_EQ(column.use_count(), 1);
}

}  // namespace
