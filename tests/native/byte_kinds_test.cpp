// The block classifier and the UTF-8 tally's vector step, on every path this CPU runs that has
// them: the classifier's nibble tables against the byte ranges they stand for, and the tally's
// blocks against its byte steps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library/utf8_tally.hpp"
#include "twin.hpp"

using namespace vorlenta;
using detail::ByteKinds;

namespace {

// What each mask of ByteKinds holds, as plain byte ranges.
struct Kind {
    const char* name;
    uint64_t ByteKinds::*mask;
    bool (*holds)(uint8_t b);
};

const Kind KINDS[] = {
    {"high", &ByteKinds::high, [](uint8_t b) { return b >= 0x80; }},
    {"cont", &ByteKinds::cont, [](uint8_t b) { return b >= 0x80 && b <= 0xBF; }},
    {"lead2", &ByteKinds::lead2, [](uint8_t b) { return b >= 0xC2 && b <= 0xDF; }},
    {"lead3", &ByteKinds::lead3,
     [](uint8_t b) { return (b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF; }},
    {"latin", &ByteKinds::latin,
     [](uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }},
    {"digit", &ByteKinds::digit, [](uint8_t b) { return b >= '0' && b <= '9'; }},
    {"hyphen", &ByteKinds::hyphen, [](uint8_t b) { return b == '-'; }},
    {"d0", &ByteKinds::d0, [](uint8_t b) { return b == 0xD0; }},
    {"d1", &ByteKinds::d1, [](uint8_t b) { return b == 0xD1; }},
    {"upper_cont", &ByteKinds::upper_cont, [](uint8_t b) { return b >= 0x90 && b <= 0xBF; }},
    {"b81", &ByteKinds::b81, [](uint8_t b) { return b == 0x81; }},
    {"b91", &ByteKinds::b91, [](uint8_t b) { return b == 0x91; }},
};

std::vector<ScanPath> paths_with_blocks() {
    std::vector<ScanPath> out;
    for (ScanPath p : SCAN_PATHS)
        if (cpu_runs(p) && scan_path_row(p).kinds != nullptr) out.push_back(p);
    return out;
}

std::string path_name(const ::testing::TestParamInfo<ScanPath>& info) {
    return scan_path_name(info.param);
}

class EveryBlockPath : public ::testing::TestWithParam<ScanPath> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(EveryBlockPath);
INSTANTIATE_TEST_SUITE_P(Blocks, EveryBlockPath, ::testing::ValuesIn(paths_with_blocks()),
                         path_name);

// Block r with stride s holds r + s*i at i: over the 256 values of r each byte value lies at
// each of the 64 places, and the strides give it other neighbours each time (the vectors'
// 16-bit shifts move bits between neighbouring bytes).
TEST_P(EveryBlockPath, ClassifiesEveryByteAtEveryPlaceAsItsRanges) {
    const auto kinds = scan_path_row(GetParam()).kinds;
    std::vector<uint8_t> block(64);
    for (uint32_t stride : {1u, 17u, 98u, 255u}) {
        for (uint32_t r = 0; r < 256; ++r) {
            for (uint32_t i = 0; i < 64; ++i) block[i] = static_cast<uint8_t>(r + stride * i);
            const ByteKinds got = kinds(block.data());
            for (const Kind& kind : KINDS) {
                uint64_t expected = 0;
                for (uint32_t i = 0; i < 64; ++i) expected |= uint64_t{kind.holds(block[i])} << i;
                ASSERT_EQ(got.*kind.mask, expected)
                    << kind.name << ", stride " << stride << ", first byte " << r;
            }
        }
    }
}

struct Stretch {
    std::string text;
    size_t taken;        // where the byte steps must go on
    uint64_t non_ascii;  // the non-ASCII bytes of what was taken
};

std::string times(const std::string& s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

// Where the vector step stops, and what it counts up to there.
TEST_P(EveryBlockPath, TallyBlocksStopWhereTheirRuleBreaks) {
    const Utf8BlockRun run = scan_path_row(GetParam()).well_formed;
    const std::string ya = "\xD1\x8F", dash = "\xE2\x80\x94";
    const Stretch stretches[] = {
        {times("a", 64) + times(ya, 40), 128, 64},  // less than a block left after 128
        {times(ya, 64), 128, 128},
        {times(dash, 43) + "b", 126, 126},          // a dash cut by each block's end
        {times("a", 63) + ya + times("a", 64), 127, 2},
        {times("a", 63) + dash + times("a", 64), 127, 3},
        {times("a", 10) + "\xF0\x9F\x98\x80" + times("a", 64), 10, 0},  // four bytes: byte steps
        {times("a", 5) + "\xED\x9F\xBF" + times("a", 64), 5, 0},
        {times("a", 5) + "\xE0\xA0\x80" + times("a", 64), 5, 0},
        {times("a", 7) + "\xC1\x81" + times("a", 64), 7, 0},
        {"\x80" + times("a", 70), 0, 0},                  // a follower whose lead lies before
        {times(ya, 3) + "\xD0" + times("a", 70), 6, 6},   // a lead without its follower
        {times("a", 20) + "\xD0\x9F\x80" + times("a", 64), 22, 2},  // a follower too many
    };
    for (const Stretch& s : stretches) {
        const auto* p = reinterpret_cast<const uint8_t*>(s.text.data());
        uint64_t non_ascii = 0;
        const uint8_t* q = run(p, p + s.text.size(), non_ascii);
        EXPECT_EQ(static_cast<size_t>(q - p), s.taken) << vorlenta::testing::hex(s.text);
        EXPECT_EQ(non_ascii, s.non_ascii) << vorlenta::testing::hex(s.text);
    }
}

// The tally with the vector step against its byte steps, over text built of pieces that take
// every branch: ASCII, Cyrillic, three- and four-byte characters, stray followers, leads
// without followers and overlong leads, fed in chunks that cut characters.
TEST_P(EveryBlockPath, TallyGivesTheByteStepsTally) {
    const std::vector<std::string> pieces = {
        "plain ascii text ", "Война и мир ", "\xD0\x81", "\xE2\x80\x94", "\xF0\x9F\x98\x80",
        "\x80", "\xD0", "\xC0\xAF", "\xC1\x81", "\xFF", "\xE2\x80", "\xE0\xA0\x80",
        "\xED\x9F\xBF", "\xED\xA0\x80", "\xEF\xBF\xBD", "\n", std::string(70, 'a'),
        "\xD1\x8F\xD1\x8F\xD1\x8F\xD1\x8F\xD1\x8F\xD1\x8F\xD1\x8F\xD1\x8F\xD1\x8F\xD1\x8F"};
    uint32_t seed = 12345;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const uint32_t count = next() % 200;
        for (uint32_t i = 0; i < count; ++i) {
            // Mostly well-formed runs, as real text is, so the vector steps get their turn.
            const uint32_t pick = next() % 100;
            const size_t last = pieces.size() - 1;
            text += pieces[pick < 40 ? 1 : pick < 60 ? 0 : pick < 70 ? last : pick < 78 ? 3
                           : pick < 85 ? last - 1 : pick % pieces.size()];
        }
        Utf8Tally fast, slow;
        fast.blocks = scan_path_row(GetParam()).well_formed;
        slow.blocks = nullptr;
        const auto* p = reinterpret_cast<const uint8_t*>(text.data());
        const uint32_t chunk = 1 + next() % 300;
        for (size_t at = 0; at < text.size(); at += chunk) {
            const size_t n = std::min<size_t>(chunk, text.size() - at);
            fast.add(p + at, p + at + n);
            slow.add(p + at, p + at + n);
        }
        fast.finish();
        slow.finish();
        ASSERT_EQ(fast.ill_formed, slow.ill_formed) << "round " << round;
        ASSERT_EQ(fast.ill_formed_bytes, slow.ill_formed_bytes) << "round " << round;
        ASSERT_EQ(fast.non_ascii_bytes, slow.non_ascii_bytes) << "round " << round;
    }
}

}  // namespace
