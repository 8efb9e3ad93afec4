#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sources/utf8_reader.hpp"

using namespace vorlenta;

namespace {

struct Completed {
    size_t at;  // index of the byte that completed the character
    uint32_t code_point;
    std::vector<uint8_t> bytes;
};

std::vector<Completed> read_all(const std::vector<uint8_t>& input) {
    Utf8Char c{};
    std::vector<Completed> out;
    for (size_t i = 0; i < input.size(); ++i) {
        if (read_byte(c, input[i])) {
            EXPECT_EQ(c.received, c.length);
            for (uint32_t k = c.length; k < 4; ++k) EXPECT_EQ(c.bytes[k], 0) << "byte " << k;
            out.push_back({i, c.code_point, std::vector<uint8_t>(c.bytes, c.bytes + c.length)});
        }
    }
    return out;
}

std::string hex(const std::vector<uint8_t>& v) {
    std::string s;
    char buf[4];
    for (uint8_t b : v) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        s += buf;
    }
    return s;
}

struct Case {
    const char* name;
    std::vector<uint8_t> input;
    std::vector<Completed> expected;
};

}  // namespace

class ReaderCases : public ::testing::TestWithParam<Case> {};

TEST_P(ReaderCases, CompletesExactlyTheseCharacters) {
    const Case& c = GetParam();
    const auto got = read_all(c.input);
    ASSERT_EQ(got.size(), c.expected.size()) << "input " << hex(c.input);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].at, c.expected[i].at) << "character " << i << " of " << hex(c.input);
        EXPECT_EQ(got[i].code_point, c.expected[i].code_point) << "character " << i;
        EXPECT_EQ(hex(got[i].bytes), hex(c.expected[i].bytes)) << "character " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Utf8Reader, ReaderCases,
    ::testing::Values(
        Case{"ascii", {0x41}, {{0, 0x41, {0x41}}}},
        Case{"two_bytes", {0xD0, 0xBF}, {{1, 0x043F, {0xD0, 0xBF}}}},
        Case{"three_bytes", {0xE2, 0x82, 0xAC}, {{2, 0x20AC, {0xE2, 0x82, 0xAC}}}},
        Case{"four_bytes", {0xF0, 0x9F, 0x98, 0x80}, {{3, 0x1F600, {0xF0, 0x9F, 0x98, 0x80}}}},
        Case{"stray_continuation_between_ascii", {0x61, 0x80, 0x62},
             {{0, 0x61, {0x61}}, {2, 0x62, {0x62}}}},
        Case{"cut_short_by_ascii", {0xE2, 0x82, 0x61}, {{2, 0x61, {0x61}}}},
        Case{"cut_short_by_start_byte", {0xD0, 0xD0, 0xBF}, {{2, 0x043F, {0xD0, 0xBF}}}},
        Case{"continuation_first", {0x80, 0x41}, {{1, 0x41, {0x41}}}},
        Case{"f8_serves_as_continuation", {0xD0, 0xF8}, {{1, 0x0438, {0xD0, 0xF8}}}},
        Case{"overlong_two_bytes", {0xC0, 0x80}, {{1, 0, {0xC0, 0x80}}}},
        Case{"overlong_three_bytes", {0xE0, 0x80, 0x80}, {{2, 0, {0xE0, 0x80, 0x80}}}},
        Case{"encoded_surrogate", {0xED, 0xA0, 0x80}, {{2, 0xD800, {0xED, 0xA0, 0x80}}}},
        Case{"above_unicode", {0xF4, 0x90, 0x80, 0x80}, {{3, 0x110000, {0xF4, 0x90, 0x80, 0x80}}}},
        Case{"largest_four_byte_value", {0xF7, 0xBF, 0xBF, 0xBF},
             {{3, 0x1FFFFF, {0xF7, 0xBF, 0xBF, 0xBF}}}},
        // Stray bytes past the record's four slots are dropped and never complete anything.
        Case{"five_stray_bytes_after_ascii", {0x61, 0x80, 0x80, 0x80, 0x80, 0x80, 0x62},
             {{0, 0x61, {0x61}}, {6, 0x62, {0x62}}}},
        Case{"stray_after_four_byte_char", {0xF0, 0x9F, 0x98, 0x80, 0x80, 0x80, 0x80, 0x80, 0x41},
             {{3, 0x1F600, {0xF0, 0x9F, 0x98, 0x80}}, {8, 0x41, {0x41}}}},
        Case{"long_stray_run_then_two_bytes", {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0xD1, 0x91},
             {{7, 0x0451, {0xD1, 0x91}}}},
        Case{"open_at_end", {0x41, 0xE2, 0x82}, {{0, 0x41, {0x41}}}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Utf8Reader, EveryStrayRunLengthLeavesTheRecordInBounds) {
    // Whatever the number of stray bytes, the record never grows past four stored bytes and
    // the next start byte reads normally.
    for (int run = 0; run < 40; ++run) {
        Utf8Char c{};
        EXPECT_TRUE(read_byte(c, 'x'));
        for (int i = 0; i < run; ++i) {
            EXPECT_FALSE(read_byte(c, 0x80 + (i % 64)));
            EXPECT_LE(c.received, 4u);
        }
        EXPECT_FALSE(read_byte(c, 0xD0));
        EXPECT_TRUE(read_byte(c, 0xB0));
        EXPECT_EQ(c.code_point, 0x0430u);
    }
}
