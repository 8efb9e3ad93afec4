#include <gtest/gtest.h>

#include <string>

#include "tests/native/engine_run.hpp"

using namespace vorlenta;
using vorlenta::testing::new_engine;
using vorlenta::testing::Released;
using vorlenta::testing::run_engine;
using vorlenta::testing::token_text;
using T = TokenType;

namespace {

std::string describe(const Released& r) {
    std::string s;
    for (const auto& [text, type] : r) s += "[" + text + ":" + std::to_string(type_bits(type)) + "]";
    return s;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

}  // namespace

// ---- assembler ----

TEST(Assembler, HelloWorldStepByStep) {
    auto e = new_engine();
    TokenAssembler& a = e->assembler;
    const std::string input = "hello world";
    std::vector<bool> completed;
    for (unsigned char ch : input) {
        ASSERT_TRUE(read_byte(a.input, ch));
        completed.push_back(push_char(a));
        if (completed.back()) {
            if (ch == ' ') {
                EXPECT_EQ(token_text(a.ready), "hello");
                EXPECT_EQ(a.ready.type, T::ENWORD);
            } else {
                EXPECT_EQ(token_text(a.ready), " ");
                EXPECT_EQ(a.ready.type, T::WRDSPC);
            }
        }
    }
    EXPECT_EQ(completed, (std::vector<bool>{false, false, false, false, false, true, true, false,
                                            false, false, false}));
    EXPECT_EQ(token_text(a.current), "world");
    EXPECT_EQ(a.current.type, T::ENWORD);
    flush(a);
    EXPECT_EQ(token_text(a.ready), "world");
    EXPECT_EQ(a.current.type, T::NOTTKN);
    EXPECT_EQ(a.current.char_count, 0u);
}

struct Tokens {
    const char* name;
    std::string input;
    Released expected;
};

class EngineCases : public ::testing::TestWithParam<Tokens> {};

TEST_P(EngineCases, ReleasesExactlyTheseTokens) {
    const Tokens& c = GetParam();
    EXPECT_EQ(describe(run_engine(c.input)), describe(c.expected)) << "input: " << c.input;
}

INSTANTIATE_TEST_SUITE_P(
    Assembler, EngineCases,
    ::testing::Values(
        Tokens{"class_change", "abc123", {{"abc", T::ENWORD}, {"123", T::NUMBER}}},
        Tokens{"cyrillic_then_latin", "мирpeace", {{"мир", T::RUWORD}, {"peace", T::ENWORD}}},
        Tokens{"yo_inside_word", "ещё", {{"ещё", T::RUWORD}}},
        Tokens{"capital_yo", "Ёлка", {{"Ёлка", T::RUWORD}}},
        Tokens{"accented_latin", "café", {{"caf", T::ENWORD}, {"é", T::UNKNWN}}},
        Tokens{"accent_inside", "naïve", {{"na", T::ENWORD}, {"ï", T::UNKNWN}, {"ve", T::ENWORD}}},
        Tokens{"two_spaces", "a  b",
               {{"a", T::ENWORD}, {" ", T::WRDSPC}, {" ", T::WRDSPC}, {"b", T::ENWORD}}},
        Tokens{"three_stops", "...", {{".", T::PNCTTN}, {".", T::PNCTTN}, {".", T::PNCTTN}}},
        Tokens{"crlf", "a\r\nb",
               {{"a", T::ENWORD}, {"\r", T::UNKNWN}, {"\n", T::NWLINE}, {"b", T::ENWORD}}},
        Tokens{"two_chinese", "中文", {{"中", T::UNKNWN}, {"文", T::UNKNWN}}},
        Tokens{"other_cyrillic", "їжак", {{"ї", T::UNKNWN}, {"жак", T::RUWORD}}},
        Tokens{"nbsp_and_vertical_tab", "a\xC2\xA0\x0B",
               {{"a", T::ENWORD}, {"\xC2\xA0", T::WRDSPC}, {"\x0B", T::WRDSPC}}},
        Tokens{"zero_byte", std::string("a\0b", 3),
               {{"a", T::ENWORD}, {std::string(1, '\0'), T::UNKNWN}, {"b", T::ENWORD}}},
        Tokens{"above_unicode_is_unknown", "\xF4\x90\x80\x80z",
               {{"\xF4\x90\x80\x80", T::UNKNWN}, {"z", T::ENWORD}}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- joiner ----

INSTANTIATE_TEST_SUITE_P(
    Joiner, EngineCases,
    ::testing::Values(
        Tokens{"latin_compound", "well-known", {{"well-known", T::ENWORD}}},
        Tokens{"cyrillic_compound", "Санкт-Петербург", {{"Санкт-Петербург", T::RUWORD}}},
        Tokens{"word_number", "COVID-19", {{"COVID-19", T::ENWORD}}},
        Tokens{"number_word", "19-COVID", {{"19-COVID", T::NUMBER}}},
        Tokens{"number_cyrillic", "1-й", {{"1-й", T::NUMBER}}},
        Tokens{"latin_cyrillic", "IT-отдел", {{"IT-отдел", T::ENWORD}}},
        Tokens{"chain", "a-b-c", {{"a-b-c", T::ENWORD}}},
        Tokens{"trailing_hyphen", "abc- ", {{"abc-", T::ENWORD}, {" ", T::WRDSPC}}},
        Tokens{"trailing_hyphen_at_end", "abc-", {{"abc-", T::ENWORD}}},
        Tokens{"leading_hyphen", "-abc", {{"-", T::PNCTTN}, {"abc", T::ENWORD}}},
        Tokens{"double_hyphen", "abc--def",
               {{"abc-", T::ENWORD}, {"-", T::PNCTTN}, {"def", T::ENWORD}}},
        Tokens{"spaced_hyphen", "a - b",
               {{"a", T::ENWORD}, {" ", T::WRDSPC}, {"-", T::PNCTTN}, {" ", T::WRDSPC},
                {"b", T::ENWORD}}},
        Tokens{"full_stop", "abc.def", {{"abc", T::ENWORD}, {".", T::PNCTTN}, {"def", T::ENWORD}}},
        Tokens{"en_dash", "abc\u2013def",
               {{"abc", T::ENWORD}, {"\u2013", T::PNCTTN}, {"def", T::ENWORD}}},
        Tokens{"hyphen_after_punctuation", ",-a", {{",", T::PNCTTN}, {"-", T::PNCTTN}, {"a", T::ENWORD}}},
        Tokens{"single_word", "hello", {{"hello", T::ENWORD}}},
        Tokens{"empty_input", "", {}},
        Tokens{"only_stray_bytes", "\x80\x80", {}},
        Tokens{"single_space", " ", {{" ", T::WRDSPC}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Joiner, HelloWorldReleaseTiming) {
    auto e = new_engine();
    std::vector<std::string> at;  // what each pushed character released
    for (unsigned char ch : std::string("hello world")) {
        read_byte(e->assembler.input, ch);
        at.push_back(push_char(e->assembler) && push_token(*e) ? token_text(e->joiner.output) : "");
    }
    EXPECT_EQ(at, (std::vector<std::string>{"", "", "", "", "", "", "hello", "", "", "", ""}));
    ASSERT_TRUE(drain_step(*e));
    EXPECT_EQ(token_text(e->joiner.output), " ");
    ASSERT_TRUE(drain_step(*e));
    EXPECT_EQ(token_text(e->joiner.output), "world");
    EXPECT_EQ(e->joiner.group_type, T::NOTTKN);
}

TEST(Joiner, DrainLeavesNoTokenBehindAndReleasesNoEmptyToken) {
    for (const std::string input : {"x", "a-b", "a b", "-", "12-", "\n"}) {
        const Released r = run_engine(input);
        std::string joined;
        for (const auto& [text, type] : r) {
            EXPECT_NE(type, T::NOTTKN) << input;
            EXPECT_FALSE(text.empty()) << input;
            joined += text;
        }
        EXPECT_EQ(joined, input);
    }
}

// ---- length limits ----

TEST(Limits, LongRunsAreCutAt128Characters) {
    Released r = run_engine(repeat("a", 300));
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], std::make_pair(repeat("a", 128), T::ENWORD));
    EXPECT_EQ(r[1], std::make_pair(repeat("a", 128), T::ENWORD));
    EXPECT_EQ(r[2], std::make_pair(repeat("a", 44), T::ENWORD));

    r = run_engine(repeat("я", 129));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].first, repeat("я", 128));
    EXPECT_EQ(r[1].first, "я");
}

TEST(Limits, ChainsStopAtSixteenParts) {
    // 9 words and 8 hyphens: 17 parts. The first 16 leave together; the last word alone.
    const Released r = run_engine("a-b-c-d-e-f-g-h-i");
    EXPECT_EQ(describe(r), describe({{"a-b-c-d-e-f-g-h-", T::ENWORD}, {"i", T::ENWORD}}));
}

TEST(Limits, CompoundsStopAt128Characters) {
    // 100 + 1 + 27 = 128 characters fit; one more letter in the last part does not.
    EXPECT_EQ(describe(run_engine(repeat("a", 100) + "-" + repeat("b", 27))),
              describe({{repeat("a", 100) + "-" + repeat("b", 27), T::ENWORD}}));
    EXPECT_EQ(describe(run_engine(repeat("a", 100) + "-" + repeat("b", 28))),
              describe({{repeat("a", 100) + "-", T::ENWORD}, {repeat("b", 28), T::ENWORD}}));
    // A hyphen that no longer fits leaves the full word, and starts nothing to join to.
    EXPECT_EQ(describe(run_engine(repeat("c", 128) + "-d")),
              describe({{repeat("c", 128), T::ENWORD}, {"-", T::PNCTTN}, {"d", T::ENWORD}}));
}

TEST(Limits, NoReleasedTokenExceedsTheRecord) {
    // Long runs of mixed parts: every release fits MAX_TOKEN_CHARS.
    const std::string input = repeat(repeat("ж", 60) + "-" + repeat("7", 70) + "-", 20);
    std::string joined;
    for (const auto& [text, type] : run_engine(input)) {
        EXPECT_LE(text.size(), MAX_TOKEN_CHARS * 2);
        joined += text;
    }
    EXPECT_EQ(joined, input);
}
