// The library's native pieces: lower-casing, word counts, and the tokenizer with offsets over
// memory and over a file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "library/span_tokenizer.hpp"
#include "library/word_counts.hpp"
#include "temp_file.hpp"

using namespace vorlenta;
using vorlenta::testing::TempFile;

namespace {

std::string lowered(const std::string& s) {
    std::string out(s.size(), '\0');
    lower_word(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()),
               reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

struct Collected {
    std::vector<std::string> texts;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    std::vector<uint64_t> types;
    int batches = 0;
};

Collected collect(SpanTokenizer& t) {
    Collected c;
    for (;;) {
        t.next_batch();
        if (t.batch.token_count == 0) return c;
        ++c.batches;
        const char* p = reinterpret_cast<const char*>(t.batch.text_buffer);
        for (uint32_t i = 0; i < t.batch.token_count; ++i) {
            const std::string text = *p == 0 ? std::string(1, '\0') : std::string(p);
            c.texts.push_back(text);
            c.ranges.emplace_back(t.offsets.starts[i], t.offsets.stops[i]);
            c.types.push_back(t.batch.types_buffer[i]);
            p += text.size() + 1;
        }
    }
}

}  // namespace

TEST(LowerWord, MapsEveryCapitalAWordCanHoldAndNothingElse) {
    EXPECT_EQ(lowered("HeLLo-World-42"), "hello-world-42");
    EXPECT_EQ(lowered("АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"), "абвгдеёжзийклмнопрстуфхцчшщъыьэюя");
    EXPECT_EQ(lowered("абвгдеёжзийклмнопрстуфхцчшщъыьэюя"), "абвгдеёжзийклмнопрстуфхцчшщъыьэюя");
    // Cyrillic capitals outside the Russian alphabet, a cut-short lead byte, stray bytes.
    EXPECT_EQ(lowered("\xD0\x80\xD0\x8F\xD0"), "\xD0\x80\xD0\x8F\xD0");
    EXPECT_EQ(lowered("\xD0\x90\x80Z\xFF"), "\xD0\xB0\x80z\xFF");
}

// has_capital is the fast look at a token that lower_word's own loop is the judge of: random
// strings drawn from the bytes where a capital begins or ends, at every length and alignment.
TEST(LowerWord, HasCapitalIsTrueExactlyWhenLoweringChangesABytes) {
    const uint8_t near[] = {0x40, 0x41, 0x5A, 0x5B, 0x61, 0xD0, 0xD1, 0x80, 0x81, 0x82, 0x8F,
                            0x90, 0xAF, 0xB0, 0x00, 0xFF, 0xC1, 0xC0, 0xDA};
    std::srand(7);
    for (int round = 0; round < 200000; ++round) {
        std::string s(static_cast<size_t>(std::rand() % 20), '\0');
        for (char& c : s) c = static_cast<char>(near[std::rand() % sizeof(near)]);
        std::string padded = s + std::string(8, '\x41');  // what lies past it is no part of it
        const bool capital = has_capital(reinterpret_cast<const uint8_t*>(padded.data()),
                                         static_cast<uint32_t>(s.size()));
        ASSERT_EQ(capital, lowered(s) != s) << ::testing::PrintToString(s);
    }
}

TEST(WordCounts, CountsAndSurvivesGrowth) {
    WordCounts a;
    std::map<std::string, uint64_t> expected;
    // Words are read 8 bytes at a time: each is handed over with room behind it.
    auto add = [](WordCounts& counts, const std::string& w, uint64_t times) {
        const std::string padded = w + std::string(WordCounts::READ_PAST, '!');
        counts.add(reinterpret_cast<const uint8_t*>(padded.data()),
                   static_cast<uint32_t>(w.size()), times);
    };
    for (int i = 0; i < 5000; ++i) {
        // Appended in place: GCC 12 misreads "w" + a temporary string as an overlapping copy.
        std::string w = "w";
        w += std::to_string(i % 1700);
        w.append(static_cast<size_t>(i % 13), 'x');
        add(a, w, 1);
        ++expected[w];
    }
    add(a, "w1", 10);
    expected["w1"] += 10;
    add(a, "", 1);
    ++expected[""];
    std::map<std::string, uint64_t> got;
    for (const auto& e : a.entries())
        if (e.count != 0)
            got[std::string(reinterpret_cast<const char*>(a.word(e)), e.length)] = e.count;
    EXPECT_EQ(got, expected);
    EXPECT_EQ(a.size(), expected.size());
}

TEST(SpanTokenizer, FileGivesWhatMemoryGivesAcrossChunks) {
    // Tokens and compounds cross the 64 KiB chunk boundaries at every alignment.
    std::string text;
    for (int i = 0; text.size() < 3 * FILE_CHUNK_BYTES; ++i)
        text += (i % 3 ? "Санкт-Петербург " : "x-y ") + std::string(i % 7, 'q') + "\n";
    TempFile file(text);
    SpanTokenizer memory(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    SpanTokenizer chunks(open(file.path.c_str(), O_RDONLY));
    memory.set_batch_size(1000);
    chunks.set_batch_size(777);
    const Collected m = collect(memory), f = collect(chunks);
    EXPECT_EQ(f.texts, m.texts);
    EXPECT_EQ(f.ranges, m.ranges);
    uint64_t last = 0;
    for (size_t i = 0; i < m.texts.size(); ++i) {
        ASSERT_EQ(text.substr(m.ranges[i].first, m.ranges[i].second - m.ranges[i].first),
                  m.texts[i]);
        ASSERT_EQ(m.ranges[i].first, last);  // nothing is filtered: the ranges tile the text
        last = m.ranges[i].second;
    }
    EXPECT_EQ(last, text.size());
    EXPECT_EQ(chunks.position(), text.size());
    EXPECT_EQ(chunks.file.read_error, 0);
}

TEST(SpanTokenizer, ReadErrorEndsTheBatchWithoutDrainingAndIsReportedEachTime) {
    // A directory opens, and every read of it fails.
    SpanTokenizer t(open("/tmp", O_RDONLY | O_DIRECTORY));
    t.next_batch();
    EXPECT_EQ(t.file.read_error, EISDIR);
    EXPECT_EQ(t.batch.token_count, 0u);
    EXPECT_EQ(t.batch.drain_steps_run, 0);
    t.next_batch();
    EXPECT_EQ(t.file.read_error, EISDIR);
}

// A tokenizer restarted text after text gives each text's tokens and places exactly as a new
// tokenizer over that text alone: no token, compound, cut character or pending drain leaks
// from one text into the next, whatever the batch size and wherever the last text stopped.
TEST(SpanTokenizer, RestartedForEachTextGivesWhatEachTextGivesAlone) {
    const char* pieces[] = {"well-", "known", "Санкт-", "Петербург", " ", "-", "12",
                            "\xD0", "\x9F", "\xE2\x80", "\xC0\x80", "ёж", "\n", "a", "\0",
                            "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"};
    std::srand(7);
    for (uint32_t batch_size : {1u, 2u, 3u, 1000u}) {
        SpanTokenizer reused(nullptr, 0, batch_size);
        for (int round = 0; round < 300; ++round) {
            std::string text;
            for (int k = std::rand() % 6; k > 0; --k) {
                const char* piece = pieces[std::rand() % (sizeof pieces / sizeof *pieces)];
                text += *piece == 0 ? std::string(1, '\0') : std::string(piece);
            }
            if (std::rand() % 3 == 0) text += std::string(std::rand() % 140, 'z');
            const auto* data = reinterpret_cast<const uint8_t*>(text.data());
            SpanTokenizer fresh(data, text.size(), batch_size);
            reused.restart(data, text.size());
            const Collected expected = collect(fresh);
            const Collected got = collect(reused);
            ASSERT_EQ(got.texts, expected.texts) << text << " / " << batch_size;
            ASSERT_EQ(got.ranges, expected.ranges) << text << " / " << batch_size;
            EXPECT_TRUE(reused.input_done());
            // Left part-way through, the next text still starts clean.
            if (round % 5 == 0 && !text.empty()) {
                reused.restart(data, text.size());
                reused.next_batch();
            }
        }
    }
}

namespace {

// The split's plain twin: every token of the unsplit tokenizer, a word ending in a hyphen cut
// into the word and the hyphen, then the type filter and the length limits on the pieces.
Collected split_by_hand(const Collected& all, uint64_t filter, uint32_t min_len,
                        uint32_t max_len) {
    const uint64_t words = type_bits(TokenType::ENWORD) | type_bits(TokenType::NUMBER) |
                           type_bits(TokenType::RUWORD);
    const uint64_t hyphen = type_bits(TokenType::PNCTTN);
    Collected out;
    auto keep = [&](const std::string& text, uint64_t type, uint64_t start, uint64_t stop) {
        uint32_t chars = 1;
        if (type & words) {  // the words made of these pieces are well-formed UTF-8
            chars = 0;
            for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
        }
        if (chars < min_len || chars > max_len || (type & filter) == 0) return;
        out.texts.push_back(text);
        out.types.push_back(type);
        out.ranges.emplace_back(start, stop);
    };
    for (size_t i = 0; i < all.texts.size(); ++i) {
        const std::string& text = all.texts[i];
        const auto [start, stop] = all.ranges[i];
        if ((all.types[i] & words) && text.back() == '-') {
            keep(text.substr(0, text.size() - 1), all.types[i], start, stop - 1);
            keep("-", hyphen, stop - 1, stop);
        } else {
            keep(text, all.types[i], start, stop);
        }
    }
    return out;
}

}  // namespace

// Batch edges fall between a word and its hyphen (batch sizes 1 to 3), the widened settings of
// the engine's own batch let through what the caller's then refuse, and a file read in chunks
// gives what memory gives.
TEST(HyphenSplit, GivesTheUnsplitTokensCutAndFilteredAfter) {
    const char* pieces[] = {"to", "-", "--", "Санкт-", "ёж-", "12-", "a-b-", " ", "\n", "\xD0",
                            "\xC0\x80", "\xE2\x80\x94", "\0", "a-a-a-a-a-a-a-a-a-"};
    struct Settings {
        uint64_t filter;
        uint32_t min_len, max_len;
    };
    const uint64_t all = ~uint64_t{0};
    const Settings table[] = {{all, 0, UINT32_MAX},
                              {type_bits(TokenType::ENWORD) | type_bits(TokenType::RUWORD), 0, 512},
                              {type_bits(TokenType::PNCTTN), 0, 512},
                              {all, 2, 5},
                              {all, 127, 128},
                              {type_bits(TokenType::NUMBER) | type_bits(TokenType::PNCTTN), 1, 1},
                              {all, 0, 0}};
    std::srand(11);
    for (int round = 0; round < 400; ++round) {
        std::string text;
        for (int k = std::rand() % 12; k > 0; --k) {
            const char* piece = pieces[std::rand() % (sizeof pieces / sizeof *pieces)];
            text += *piece == 0 ? std::string(1, '\0') : std::string(piece);
            if (std::rand() % 8 == 0) text += std::string(120 + std::rand() % 10, 'x') + "-";
        }
        const auto* data = reinterpret_cast<const uint8_t*>(text.data());
        SpanTokenizer whole(data, text.size());
        const Collected unsplit = collect(whole);
        for (const Settings& s : table) {
            const Collected expected = split_by_hand(unsplit, s.filter, s.min_len, s.max_len);
            for (uint32_t batch_size : {1u, 2u, 3u, 1000u}) {
                SpanTokenizer t(data, text.size(), batch_size);
                t.set_split_hyphens(true);
                t.batch.filter = s.filter;
                t.batch.token_min_len = s.min_len;
                t.batch.token_max_len = s.max_len;
                const Collected got = collect(t);
                ASSERT_EQ(got.texts, expected.texts) << text << " / " << batch_size;
                ASSERT_EQ(got.types, expected.types) << text << " / " << batch_size;
                ASSERT_EQ(got.ranges, expected.ranges) << text << " / " << batch_size;
                EXPECT_TRUE(t.input_done());
            }
        }
    }
    std::string text;
    for (int i = 0; text.size() < 3 * FILE_CHUNK_BYTES; ++i)
        text += (i % 3 ? "Санкт- " : "x-y-- ") + std::string(i % 7, 'q') + "-\n";
    TempFile file(text);
    SpanTokenizer memory(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    SpanTokenizer chunks(open(file.path.c_str(), O_RDONLY));
    memory.set_split_hyphens(true);
    chunks.set_split_hyphens(true);
    chunks.set_batch_size(777);
    const Collected m = collect(memory), f = collect(chunks);
    EXPECT_EQ(f.texts, m.texts);
    EXPECT_EQ(f.ranges, m.ranges);
    EXPECT_EQ(f.types, m.types);
}

TEST(HyphenSplit, CannotBeTurnedOffBetweenAWordAndItsHyphen) {
    const std::string text = "a- b";
    SpanTokenizer t(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 1);
    t.set_split_hyphens(true);
    t.next_batch();
    EXPECT_THROW(t.set_split_hyphens(false), std::invalid_argument);
    // Off where nothing is pending, the engine goes on where it was.
    t.next_batch();
    t.set_split_hyphens(false);
    EXPECT_EQ(collect(t).texts, (std::vector<std::string>{" ", "b"}));
}
