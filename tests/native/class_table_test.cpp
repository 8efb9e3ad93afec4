#include <gtest/gtest.h>

#include "engine/token_types.hpp"

using namespace vorlenta;

TEST(ClassTable, BuildStoresEightDistinctBlocks) {
    const CharClassTable& table = class_table();
    EXPECT_EQ(table.block_count, 8u);
    const std::pair<uint32_t, uint16_t> named[] = {
        {0, 0}, {1, 1}, {2, 2}, {16, 4}, {17, 5}, {128, 6}, {132, 7}};
    for (auto [entry, block] : named)
        EXPECT_EQ(table.block_index[entry], block) << "entry " << entry;
    uint32_t others = 0;
    for (uint32_t b = 0; b < CLASS_INDEX_SIZE; ++b) {
        if (b <= 2 || b == 16 || b == 17 || b == 128 || b == 132) continue;
        EXPECT_EQ(table.block_index[b], 3) << "entry " << b;
        ++others;
    }
    EXPECT_EQ(others, 17401u);
}

struct Expected {
    uint32_t first, last;
    TokenType type;
};

// Every code point of each range, both ends included.
TEST(ClassTable, ClassifiesEveryListedRange) {
    const Expected ranges[] = {
        {0x0000, 0x0009, TokenType::UNKNWN}, {0x000A, 0x000A, TokenType::NWLINE},
        {0x000B, 0x000B, TokenType::WRDSPC}, {0x000C, 0x001F, TokenType::UNKNWN},
        {0x0020, 0x0020, TokenType::WRDSPC}, {0x0021, 0x002F, TokenType::PNCTTN},
        {0x0030, 0x0039, TokenType::NUMBER}, {0x003A, 0x0040, TokenType::PNCTTN},
        {0x0041, 0x005A, TokenType::ENWORD}, {0x005B, 0x0060, TokenType::PNCTTN},
        {0x0061, 0x007A, TokenType::ENWORD}, {0x007B, 0x007E, TokenType::PNCTTN},
        {0x007F, 0x009F, TokenType::UNKNWN}, {0x00A0, 0x00A0, TokenType::WRDSPC},
        {0x00A1, 0x00AA, TokenType::UNKNWN}, {0x00AB, 0x00AB, TokenType::PNCTTN},
        {0x00AC, 0x00B6, TokenType::UNKNWN}, {0x00B7, 0x00B7, TokenType::PNCTTN},
        {0x00B8, 0x00BA, TokenType::UNKNWN}, {0x00BB, 0x00BB, TokenType::PNCTTN},
        {0x00BC, 0x0400, TokenType::UNKNWN}, {0x0401, 0x0401, TokenType::RUWORD},
        {0x0402, 0x040F, TokenType::UNKNWN}, {0x0410, 0x044F, TokenType::RUWORD},
        {0x0450, 0x0450, TokenType::UNKNWN}, {0x0451, 0x0451, TokenType::RUWORD},
        {0x0452, 0x200F, TokenType::UNKNWN}, {0x2010, 0x201F, TokenType::PNCTTN},
        {0x2020, 0x2023, TokenType::UNKNWN}, {0x2024, 0x2027, TokenType::PNCTTN},
        {0x2028, 0x2115, TokenType::UNKNWN}, {0x2116, 0x2116, TokenType::PNCTTN},
        {0x2117, 0x10FFFF, TokenType::UNKNWN},
    };
    uint32_t next = 0;
    for (const Expected& r : ranges) {
        ASSERT_EQ(r.first, next) << "ranges must cover every code point in order";
        for (uint32_t cp = r.first; cp <= r.last; ++cp)
            ASSERT_EQ(classify(cp), r.type) << std::hex << "U+" << cp;
        next = r.last + 1;
    }
    EXPECT_EQ(next, 0x110000u);
}

TEST(ClassTable, ValuesAboveUnicodeAreUnknown) {
    // Four-byte sequences led by F4..F7 decode to at most 0x1FFFFF; larger values never occur
    // but must still stay inside the table.
    for (uint32_t cp : {0x110000u, 0x110040u, 0x13FFFFu, 0x1FFFFFu, 0xFFFFFFFFu})
        EXPECT_EQ(classify(cp), TokenType::UNKNWN) << std::hex << cp;
}
