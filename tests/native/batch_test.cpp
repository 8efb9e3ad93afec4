// The batch loop over byte spans against its plain byte-by-byte twin: same batches, byte for
// byte, whatever the input, the settings, the batch sizes and the span boundaries.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/native/twin.hpp"

using namespace vorlenta;
using namespace vorlenta::testing;

namespace {

// Pieces of input, the well-formed ones first: rounds that draw only from those keep their code
// units; the rest mix in every kind of ill-formed byte the reader has a rule for.
const std::vector<std::string> PIECES = {
    "a", "Z", "word", "слово", "Ёж", "ё", "7", "2024", "-", "--", " ", "  ", "\n", "\r",
    "\t", ",", ".", "\xE2\x80\x94", "\xC2\xAB", "\xE2\x84\x96", "\xC3\xA9", "\xE4\xB8\xAD",
    std::string(1, '\0'), std::string(130, 'q'), std::string(40, 'x') + "-",
    "a-b-c-d-e-f-g-h-i-j", "\xD1\x8F-", "\xF0\x9F\x98\x80", "\x80", "\xBF", "\xC0", "\xE0",
    "\xF0", "\xF4", "\xF5", "\xF8", "\xFF", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80",
    "\xF4\x90\x80\x80", "\xD0", "\xD0\xF8"};
const size_t WELL_FORMED_PIECES = 27;  // those before the emoji: all below U+10000

std::string random_input(std::mt19937& rng, size_t pieces, bool well_formed) {
    const size_t choices = well_formed ? WELL_FORMED_PIECES : PIECES.size();
    std::uniform_int_distribution<size_t> pick(0, choices - 1);
    std::string s;
    for (size_t i = 0; i < pieces; ++i) s += PIECES[pick(rng)];
    return s;
}

// A batch's token texts; a token starting with a zero byte is the character U+0000.
std::vector<std::string> split_tokens(const Side& side) {
    std::vector<std::string> tokens;
    const std::string text = side.text();
    for (size_t at = 0; at < text.size();) {
        const size_t zero = text[at] == '\0' ? at + 1 : text.find('\0', at);
        tokens.push_back(text.substr(at, zero - at));
        at = zero + 1;
    }
    return tokens;
}

}  // namespace

TEST(BatchLoop, SpansGiveExactlyWhatBytesGive) {
    std::mt19937 rng(20261207);  // fixed, so a failure can be replayed
    uint64_t units_checked = 0, ranges_checked = 0;
    for (int round = 0; round < 400; ++round) {
        const bool well_formed = round % 3 != 0;
        std::string input = random_input(rng, 1 + rng() % 300, well_formed);
        const size_t span = 1 + rng() % 64;
        // The reference and the fast loop track offsets; the loop vorlentaCXX ships does not.
        Side plain, fast, bare;
        ByteSource bytes{input, input.size()};
        SpanSource spans{input, input.size(), span};
        SpanSource bare_spans{input, input.size(), 1 + rng() % 64};
        bool grown = false;
        uint64_t last_stop = 0;
        for (int call = 0; call < 2000; ++call) {
            // The same settings on every side, changed now and then between calls.
            if (rng() % 3 == 0) {
                const uint32_t size = rng() % 6 == 0 ? 0 : 1 + rng() % 12;
                for (Side* s : {&plain, &fast, &bare}) set_batch_size(s->batch, size);
            }
            if (rng() % 5 == 0) {
                const uint32_t lo = rng() % 4, hi = rng() % 4 == 0 ? 2 : 512;
                const uint64_t filter = rng() % 4 == 0 ? rng() % 128 : ~uint64_t{0};
                for (Side* s : {&plain, &fast, &bare}) s->set(lo, hi, filter);
            }
            collect_batch_bytewise(*plain.engine, plain.batch, bytes, plain.offsets);
            collect_batch(*fast.engine, fast.batch, spans, fast.offsets);
            collect_batch(*bare.engine, bare.batch, bare_spans);
            const std::string where = "round " + std::to_string(round) + " call " +
                                      std::to_string(call) + " span " + std::to_string(span);
            for (const Side* s : {&fast, &bare}) {
                ASSERT_EQ(hex(s->text()), hex(plain.text())) << where;
                ASSERT_EQ(s->types(), plain.types()) << where;
                ASSERT_EQ(s->batch.drain_steps_run, plain.batch.drain_steps_run) << where;
                ASSERT_EQ(hex(state_of(*s->engine)), hex(state_of(*plain.engine))) << where;
            }
            ASSERT_EQ(fast.ranges(), plain.ranges()) << where << " input " << hex(input.substr(570, 20)) << " text " << hex(fast.text().substr(0, 20)) << " size " << fast.batch.batch_size;
            ASSERT_TRUE(same_ranges(fast, plain)) << where;
            // Code units, where the fast loop vouches for them, are those of the text.
            if (fast.batch.units_valid) {
                units_checked += fast.batch.token_count;
                ASSERT_TRUE(plain.batch.units_valid) << where;
                ASSERT_EQ(fast.units(), plain.units()) << where;
                ASSERT_EQ(fast.units(), code_units_of(fast.text())) << where;
            }
            // Each token lies where its range says: exactly its bytes in well-formed input, and
            // otherwise from its first byte to its last, dropped bytes between them.
            const std::vector<std::string> tokens = split_tokens(fast);
            for (size_t i = 0; i < tokens.size(); ++i) {
                const auto [start, stop] = fast.ranges()[i];
                ASSERT_GE(start, last_stop) << where;
                ASSERT_LE(stop, input.size()) << where;
                const std::string range = input.substr(start, stop - start);
                if (well_formed) {
                    ASSERT_EQ(hex(range), hex(tokens[i])) << where;
                } else {
                    ASSERT_GE(range.size(), tokens[i].size()) << where;
                    ASSERT_EQ(range.front(), tokens[i].front()) << where;
                    ASSERT_EQ(range.back(), tokens[i].back()) << where;
                }
                last_stop = stop;
                ++ranges_checked;
            }
            if (plain.batch.drain_steps_run == 2 && bytes.pos == input.size() &&
                plain.batch.batch_size > 0) {
                if (grown || round % 2 == 0) break;
                // A source that grows after its end was met, as a file written to meanwhile:
                // the engine goes on from its drained state.
                input += random_input(rng, 1 + rng() % 50, well_formed);
                bytes.limit = spans.limit = bare_spans.limit = input.size();
                grown = true;
            }
        }
        EXPECT_EQ(plain.batch.drain_steps_run, 2) << "round " << round;
    }
    EXPECT_GT(units_checked, 10000u) << "too few batches with code units to compare";
    EXPECT_GT(ranges_checked, 20000u) << "too few token ranges checked";
}

TEST(BatchLoop, DeliversTheBytesAsRead) {
    Side side;
    const std::string input = "ab \xD0\xB2";
    side.batch.filter = type_bits(TokenType::ENWORD) | type_bits(TokenType::RUWORD);
    SpanSource spans{input, input.size(), 100};
    collect_batch(*side.engine, side.batch, spans);
    EXPECT_EQ(hex(side.text()), hex(std::string("ab\0\xD0\xB2\0", 6)));
    EXPECT_EQ(side.types(), (std::vector<uint64_t>{4, 16}));
}
