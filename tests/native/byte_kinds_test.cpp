// The block classifier on every path this CPU runs that has one: its nibble tables against the
// byte ranges they stand for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
