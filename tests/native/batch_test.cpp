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

}  // namespace

TEST(BatchLoop, SpansGiveExactlyWhatBytesGive) {
    std::mt19937 rng(20261207);  // fixed, so a failure can be replayed
    uint64_t units_checked = 0;
    for (int round = 0; round < 400; ++round) {
        const bool well_formed = round % 3 != 0;
        std::string input = random_input(rng, 1 + rng() % 300, well_formed);
        const size_t span = 1 + rng() % 64;
        Side plain, fast;
        ByteSource bytes{input, input.size()};
        SpanSource spans{input, input.size(), span};
        bool grown = false;
        for (int call = 0; call < 2000; ++call) {
            // The same settings on both sides, changed now and then between calls.
            if (rng() % 3 == 0) {
                const uint32_t size = rng() % 6 == 0 ? 0 : 1 + rng() % 12;
                set_batch_size(plain.batch, size);
                set_batch_size(fast.batch, size);
            }
            if (rng() % 5 == 0) {
                const uint32_t lo = rng() % 4, hi = rng() % 4 == 0 ? 2 : 512;
                const uint64_t filter = rng() % 4 == 0 ? rng() % 128 : ~uint64_t{0};
                plain.set(lo, hi, filter);
                fast.set(lo, hi, filter);
            }
            collect_batch_bytewise(*plain.engine, plain.batch, bytes);
            collect_batch(*fast.engine, fast.batch, spans);
            ASSERT_EQ(hex(fast.text()), hex(plain.text()))
                << "round " << round << " call " << call << " span " << span;
            ASSERT_EQ(fast.types(), plain.types()) << "round " << round << " call " << call;
            // Code units, where the fast loop vouches for them, are those of the text.
            if (fast.batch.units_valid) {
                units_checked += fast.batch.token_count;
                ASSERT_TRUE(plain.batch.units_valid) << "round " << round << " call " << call;
                ASSERT_EQ(fast.units(), plain.units()) << "round " << round << " call " << call;
                ASSERT_EQ(fast.units(), code_units_of(fast.text()));
            }
            ASSERT_EQ(fast.batch.drain_steps_run, plain.batch.drain_steps_run);
            ASSERT_EQ(hex(state_of(*fast.engine)), hex(state_of(*plain.engine)))
                << "round " << round << " call " << call;
            if (plain.batch.drain_steps_run == 2 && bytes.pos == input.size() &&
                plain.batch.batch_size > 0) {
                if (grown || round % 2 == 0) break;
                // A source that grows after its end was met, as a file written to meanwhile:
                // the engine goes on from its drained state.
                input += random_input(rng, 1 + rng() % 50, well_formed);
                bytes.limit = spans.limit = input.size();
                grown = true;
            }
        }
        EXPECT_EQ(plain.batch.drain_steps_run, 2) << "round " << round;
    }
    EXPECT_GT(units_checked, 10000u) << "too few batches with code units to compare";
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
