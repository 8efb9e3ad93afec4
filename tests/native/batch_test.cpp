// The batch loop over byte spans against its plain byte-by-byte twin: same batches, byte for
// byte, whatever the input, the settings, the batch sizes and the span boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
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

// Pieces of the text the block path takes, and what stops it: runs of every word class up to
// past 128 characters, separators of one, two and three bytes, and now and then what stops a
// block: a hyphen, a character the block path leaves to the scan, or an ill-formed byte.
std::string block_input(std::mt19937& rng) {
    static const std::vector<std::string> CYRILLIC = {"\xD0\xB6", "\xD0\x81", "\xD1\x91",
                                                      "\xD1\x8F", "\xD0\x90"};
    static const std::vector<std::string> BETWEEN = {
        " ", " ", "\n", ",", ".", "\xC2\xAB", "\xC2\xA0", "\xC3\xA9", "\xD0\x80", "\xD2\x91",
        "\t", std::string(1, '\0'), "\xE2\x80\x94", "\xE2\x80\xA6", "\xE2\x84\x96", "\xE4\xB8\xAD",
        "\xEF\xBF\xBD"};
    static const std::vector<std::string> RARE = {
        "-", "\x80", "\xD0", "\xC1\x81", "\xF0\x9F\x98\x80", "\xFF", "\xE0\xA4\x85", "\xED\x9F\xBF",
        "\xE0\x80\x80", "\xE2\x80", "\xE2\xF8\x80"};
    std::string s(rng() % 64, ' ');  // every class at every offset of a block
    const size_t words = 20 + rng() % 200;
    for (size_t w = 0; w < words; ++w) {
        const uint32_t kind = rng() % 3;  // Latin, digits or Cyrillic
        const size_t length = rng() % 16 == 0 ? 60 + rng() % 100 : 1 + rng() % 12;
        for (size_t i = 0; i < length; ++i) {
            const char latin = static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % 26);
            s += kind == 0 ? std::string(1, latin) : kind == 1 ? "7" : CYRILLIC[rng() % 5];
        }
        const uint32_t gap = rng() % 40;
        s += gap == 0 ? RARE[rng() % RARE.size()] : BETWEEN[gap % BETWEEN.size()];
    }
    return s;
}

// The paths this machine runs, for the tests that compare each with the plain loop.
std::vector<ScanPath> paths_to_test() {
    std::vector<ScanPath> out;
    for (ScanPath p : SCAN_PATHS)
        if (cpu_runs(p)) out.push_back(p);
    return out;
}

std::string path_name(const ::testing::TestParamInfo<ScanPath>& info) {
    return scan_path_name(info.param);
}

class EveryPath : public ::testing::TestWithParam<ScanPath> {};

INSTANTIATE_TEST_SUITE_P(BatchLoop, EveryPath, ::testing::ValuesIn(paths_to_test()), path_name);

// Feeds the same input to the plain loop and, on `path`, to the fast loop with offsets and
// without, under settings and batch sizes changed between calls; every batch, its code units,
// its offsets and the engine state after it must agree. Returns the token ranges checked.
uint64_t check_against_twin(ScanPath path, std::mt19937& rng, std::string input, size_t span,
                            bool well_formed, const std::string& round,
                            const std::function<std::string()>& more, uint64_t& units_checked) {
    uint64_t ranges_checked = 0;
    Side plain, fast, bare;
    bare.batch.units_wanted = false;  // as the library's batches: code units are not compared
    ByteSource bytes{input, input.size()};
    SpanSource spans{input, input.size(), span};
    SpanSource bare_spans{input, input.size(), span == 1 ? 1 : 1 + rng() % span};
    bool grown = false;
    uint64_t last_stop = 0;
    for (int call = 0; call < 4000; ++call) {
        // The same settings on every side, changed now and then between calls.
        if (rng() % 3 == 0) {
            const uint32_t size = rng() % 6 == 0 ? 0 : 1 + rng() % (rng() % 4 == 0 ? 200 : 12);
            for (Side* s : {&plain, &fast, &bare}) set_batch_size(s->batch, size);
        }
        if (rng() % 5 == 0) {
            const uint32_t lo = rng() % 4, hi = rng() % 4 == 0 ? 2 : 512;
            const uint64_t filter = rng() % 4 == 0 ? rng() % 128 : ~uint64_t{0};
            for (Side* s : {&plain, &fast, &bare}) s->set(lo, hi, filter);
        }
        collect_batch_bytewise(*plain.engine, plain.batch, bytes, plain.offsets);
        collect_batch(path, *fast.engine, fast.batch, spans, fast.offsets);
        collect_batch(path, *bare.engine, bare.batch, bare_spans);
        const std::string where = round + " call " + std::to_string(call) + " span " +
                                  std::to_string(span);
        for (const Side* s : {&fast, &bare}) {
            EXPECT_EQ(hex(s->text()), hex(plain.text())) << where;
            EXPECT_EQ(s->types(), plain.types()) << where;
            EXPECT_EQ(s->batch.drain_steps_run, plain.batch.drain_steps_run) << where;
            EXPECT_EQ(hex(state_of(*s->engine)), hex(state_of(*plain.engine))) << where;
        }
        EXPECT_EQ(fast.ranges(), plain.ranges()) << where;
        EXPECT_TRUE(same_ranges(fast, plain)) << where;
        if (::testing::Test::HasFailure()) return ranges_checked;
        // Code units, where the fast loop vouches for them, are those of the text.
        if (fast.batch.units_valid) {
            units_checked += fast.batch.token_count;
            EXPECT_TRUE(plain.batch.units_valid) << where;
            EXPECT_EQ(fast.units(), plain.units()) << where;
            EXPECT_EQ(fast.units(), code_units_of(fast.text())) << where;
        }
        // Each token lies where its range says: exactly its bytes in well-formed input, and
        // otherwise from its first byte to its last, dropped bytes between them.
        const std::vector<std::string> tokens = split_tokens(fast);
        for (size_t i = 0; i < tokens.size(); ++i) {
            const auto [start, stop] = fast.ranges()[i];
            EXPECT_GE(start, last_stop) << where;
            EXPECT_LE(stop, input.size()) << where;
            const std::string range = input.substr(start, stop - start);
            if (well_formed) {
                EXPECT_EQ(hex(range), hex(tokens[i])) << where;
            } else {
                EXPECT_GE(range.size(), tokens[i].size()) << where;
                EXPECT_EQ(range.front(), tokens[i].front()) << where;
                EXPECT_EQ(range.back(), tokens[i].back()) << where;
            }
            last_stop = stop;
            ++ranges_checked;
        }
        if (::testing::Test::HasFailure()) return ranges_checked;
        if (plain.batch.drain_steps_run == 2 && bytes.pos == input.size() &&
            plain.batch.batch_size > 0) {
            if (grown || rng() % 2 == 0) break;
            // A source that grows after its end was met, as a file written to meanwhile:
            // the engine goes on from its drained state.
            input += more();
            bytes.limit = spans.limit = bare_spans.limit = input.size();
            grown = true;
        }
    }
    EXPECT_EQ(plain.batch.drain_steps_run, 2) << round;
    return ranges_checked;
}

}  // namespace

TEST_P(EveryPath, SpansGiveExactlyWhatBytesGive) {
    std::mt19937 rng(20261207);  // fixed, so a failure can be replayed
    uint64_t units_checked = 0, ranges_checked = 0;
    for (int round = 0; round < 400 && !HasFailure(); ++round) {
        const bool well_formed = round % 3 != 0;
        const size_t span = 1 + rng() % 64;
        ranges_checked += check_against_twin(
            GetParam(), rng, random_input(rng, 1 + rng() % 300, well_formed), span, well_formed,
            "round " + std::to_string(round),
            [&] { return random_input(rng, 1 + rng() % 50, well_formed); }, units_checked);
    }
    EXPECT_GT(units_checked, 10000u) << "too few batches with code units to compare";
    EXPECT_GT(ranges_checked, 20000u) << "too few token ranges checked";
}

// Text the block path takes most of, in spans long enough for it: characters cut by block and
// span edges, runs past 128 characters, compounds across blocks, full batches anywhere.
TEST_P(EveryPath, BlocksGiveExactlyWhatBytesGive) {
    std::mt19937 rng(20261208);
    uint64_t units_checked = 0, ranges_checked = 0;
    for (int round = 0; round < 300 && !HasFailure(); ++round) {
        const std::string input = block_input(rng);
        const size_t span = rng() % 4 == 0 ? input.size() : 128 + rng() % 400;
        ranges_checked += check_against_twin(
            GetParam(), rng, input, span, false, "round " + std::to_string(round),
            [&] { return block_input(rng); }, units_checked);
    }
    EXPECT_GT(units_checked, 10000u);
    EXPECT_GT(ranges_checked, 20000u);
}

// Well-formed text with one ill-formed piece (now and then right after a Cyrillic letter, whose
// run it may seem to go on with): the batches without it keep their code units and are
// compared unit for unit, and the fast loop must not vouch for the units of the one that holds
// it.
TEST_P(EveryPath, OneBadPieceLeavesTheOtherBatchesTheirCodeUnits) {
    std::mt19937 rng(20261209);
    uint64_t units_checked = 0, ranges_checked = 0;
    for (int round = 0; round < 300 && !HasFailure(); ++round) {
        const std::string bad =
            PIECES[WELL_FORMED_PIECES + rng() % (PIECES.size() - WELL_FORMED_PIECES)];
        const std::string input = random_input(rng, 1 + rng() % 60, true) +
                                  (rng() % 2 == 0 ? "\xD0\xBB" : "") + bad +
                                  random_input(rng, 1 + rng() % 60, true);
        ranges_checked += check_against_twin(
            GetParam(), rng, input, 1 + rng() % 64, false, "round " + std::to_string(round),
            [&] { return random_input(rng, 1 + rng() % 50, true); }, units_checked);
    }
    EXPECT_GT(units_checked, 10000u);
    EXPECT_GT(ranges_checked, 10000u);
}

// Whole blocks of tokens are written at once; each thing that sends a block back to the token
// steps, placed at every offset of a block in prose the block path takes whole, under settings
// that keep every token (and a filter, which the token steps alone serve), in batches that
// hold the whole text and in batches that fill inside a block.
struct Fallback {
    const char* name;
    std::string piece;
    uint64_t filter;
    uint32_t min_len;
};

class EmissionFallbacks : public ::testing::TestWithParam<ScanPath> {};

INSTANTIATE_TEST_SUITE_P(BatchLoop, EmissionFallbacks, ::testing::ValuesIn(paths_to_test()),
                         path_name);

TEST_P(EmissionFallbacks, EachFallbackAtEachOffsetGivesWhatBytesGive) {
    const std::string prose =
        "Князь Андрей, 1805 года: \xC2\xABWell, Prince\xC2\xBB \xE2\x80\x94 ответил он.\n"
        "Ёлки и ёж в 12 часов; the end. ";
    const std::vector<Fallback> fallbacks = {
        {"a filter", "", type_bits(TokenType::RUWORD) | type_bits(TokenType::PNCTTN), 0},
        {"a minimum length", "", ~uint64_t{0}, 2},
        {"a long token", std::string(70, 'w') + std::string(140, '7'), ~uint64_t{0}, 0},
        {"a long Cyrillic token", [] {
             std::string s;
             for (int i = 0; i < 135; ++i) s += "\xD0\xB6";
             return s;
         }(), ~uint64_t{0}, 0},
        {"a compound", "\xD0\xBA\xD1\x82\xD0\xBE-\xD1\x82\xD0\xBE-well", ~uint64_t{0}, 0},
        {"an ill-formed byte", "ab\xD0 \xFF\x80\xE2\x80", ~uint64_t{0}, 0},
        {"a zero byte", std::string("x\0\0y", 4), ~uint64_t{0}, 0},
        {"a four-byte character", "\xF0\x9F\x98\x80", ~uint64_t{0}, 0},
    };
    std::string base;
    while (base.size() < 700) base += prose;
    for (const Fallback& f : fallbacks) {
        for (size_t at = 0; at < 2 * detail::BLOCK_BYTES + 2; ++at) {
            const std::string input = base.substr(0, 300 + at) + f.piece + base;
            for (const uint32_t batch_size : {65536u, 5u, 23u}) {
                Side plain, fast;
                for (Side* s : {&plain, &fast}) {
                    set_batch_size(s->batch, batch_size);
                    s->set(f.min_len, 512, f.filter);
                }
                ByteSource bytes{input, input.size()};
                SpanSource spans{input, input.size(), input.size()};
                for (int call = 0; call < 2000 && plain.batch.drain_steps_run < 2; ++call) {
                    collect_batch_bytewise(*plain.engine, plain.batch, bytes);
                    collect_batch(GetParam(), *fast.engine, fast.batch, spans);
                    const std::string where = std::string(f.name) + " at " + std::to_string(at) +
                                              ", batches of " + std::to_string(batch_size) +
                                              ", call " + std::to_string(call);
                    ASSERT_EQ(hex(fast.text()), hex(plain.text())) << where;
                    ASSERT_EQ(fast.types(), plain.types()) << where;
                    // (The fast loop may give up on the units of a batch early: a character
                    // without one in the token being built is enough.)
                    if (fast.batch.units_valid) {
                        ASSERT_EQ(fast.units(), plain.units()) << where;
                    }
                    ASSERT_TRUE(same_state(*fast.engine, *plain.engine))
                        << where << "\n" << state_of(*fast.engine) << "\n" << state_of(*plain.engine);
                    // A batch that says it is wide holds a unit from U+0100 up.
                    if (fast.batch.units_wide) {
                        const std::vector<uint16_t> units = fast.units();
                        ASSERT_TRUE(std::any_of(units.begin(), units.end(),
                                                [](uint16_t u) { return u >= 0x100; })) << where;
                    }
                }
                ASSERT_EQ(plain.batch.drain_steps_run, 2);
            }
        }
    }
}

// Every path of the build is held to the plain loop here when the CPU runs it; elsewhere the
// run says which instruction set it lacks.
class EveryBuiltPath : public ::testing::TestWithParam<ScanPath> {};

INSTANTIATE_TEST_SUITE_P(BatchLoop, EveryBuiltPath, ::testing::ValuesIn(SCAN_PATHS), path_name);

TEST_P(EveryBuiltPath, RunsWhereTheCpuHasIt) {
    const std::string name = scan_path_name(GetParam());
    if (!cpu_runs(GetParam()))
        GTEST_SKIP() << "skipped: no " << (name == "avx512" ? "AVX-512" : name == "avx2" ? "AVX2" : name);
    std::mt19937 rng(20261210);
    uint64_t units_checked = 0;
    const std::string input = block_input(rng);
    EXPECT_GT(check_against_twin(GetParam(), rng, input, input.size(), false, name,
                                 [&] { return block_input(rng); }, units_checked),
              0u);
}

// The block path's table of the keep rule says what the rule says, for every class and length
// under limits on either side of 64 and 128 and filters of every kind; the rule's limits are
// inclusive, and with the minimum above the maximum nothing is kept.
TEST(KeepRule, TheBlockPathsTableAgreesWithTheRule) {
    Side side;
    const std::vector<std::pair<uint32_t, uint32_t>> limits = {
        {0, 512}, {1, 1}, {2, 9}, {0, 63}, {63, 64}, {64, 200}, {9, 2}, {0, 0}, {128, 128}, {0, 127}};
    const std::vector<uint64_t> filters = {
        ~uint64_t{0}, 0, type_bits(TokenType::ENWORD) | type_bits(TokenType::RUWORD),
        type_bits(TokenType::PNCTTN), 0x55};
    for (const auto& [lo, hi] : limits) {
        for (const uint64_t filter : filters) {
            side.set(lo, hi, filter);
            const KeepRule rule(side.batch);
            const detail::KeepTable table(rule);
            bool every_one_kept = true;
            for (uint8_t cls = 1; cls < 8; ++cls) {
                const TokenType type = CLASS_TO_TYPE[cls];
                for (uint32_t n = 0; n <= 300; ++n) {
                    const bool kept = rule(type, n);
                    ASSERT_EQ(table(cls, n), kept) << lo << ".." << hi << " " << filter << " " << n;
                    ASSERT_EQ(kept, n >= lo && n <= hi && (type_bits(type) & filter) != 0);
                    every_one_kept &= kept || n == 0 || n > MAX_TOKEN_CHARS;
                }
            }
            EXPECT_EQ(table.all, every_one_kept) << lo << ".." << hi << " " << filter;
        }
    }
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

// VORLENTA_SCAN_PATH picks the path when the CPU runs it; otherwise the fastest one it runs
// does, by the order of sources/scan_paths.txt.
TEST(ScanPathChoice, FollowsTheEnvironmentWhereTheCpuAllows) {
    ScanPath expected = ScanPath::SCALAR;
    for (ScanPath p : scan_paths_by_speed())
        if (cpu_runs(p)) {
            expected = p;
            break;
        }
    if (const char* wanted = std::getenv("VORLENTA_SCAN_PATH")) {
        const std::optional<ScanPath> forced = scan_path_named(wanted);
        if (forced && cpu_runs(*forced)) expected = *forced;
    }
    EXPECT_EQ(scan_path_name(scan_path()), std::string(scan_path_name(expected)));
    EXPECT_TRUE(cpu_runs(ScanPath::SCALAR));
}

// Each path is found by its name, and only by it.
TEST(ScanPathChoice, NamesLeadToTheirPaths) {
    EXPECT_EQ(scan_paths_by_speed().size(), SCAN_PATHS.size());
    for (ScanPath p : SCAN_PATHS) EXPECT_EQ(scan_path_named(scan_path_name(p)), p);
    for (const char* name : {"", "sse9", "scalar ", "AVX2"}) EXPECT_FALSE(scan_path_named(name));
}
