#include "engine/token_types.hpp"

#include <cstring>
#include <memory>

namespace vorlenta {

CharClassTable g_class_table;

namespace {

struct ClassRange {
    uint32_t first, last;
    uint8_t char_class;
};

// Every code point not listed here is class 7 (UNKNWN).
constexpr ClassRange CLASS_RANGES[] = {
    {0x000B, 0x000B, 1}, {0x0020, 0x0020, 1}, {0x00A0, 0x00A0, 1},
    {0x000A, 0x000A, 2},
    {0x0041, 0x005A, 3}, {0x0061, 0x007A, 3},
    {0x0030, 0x0039, 4},
    {0x0401, 0x0401, 5}, {0x0410, 0x044F, 5}, {0x0451, 0x0451, 5},
    {0x0021, 0x002F, 6}, {0x003A, 0x0040, 6}, {0x005B, 0x0060, 6}, {0x007B, 0x007E, 6},
    {0x00AB, 0x00AB, 6}, {0x00B7, 0x00B7, 6}, {0x00BB, 0x00BB, 6},
    {0x2010, 0x201F, 6}, {0x2024, 0x2027, 6}, {0x2116, 0x2116, 6},
};

}  // namespace

void build_class_table() {
    CharClassTable& table = g_class_table;
    table.block_count = 0;

    // One byte per code point only while building: 1.1 MB, too much for a thread's stack.
    const auto classes = std::make_unique<uint8_t[]>(MAX_CODE_POINT + 1);
    std::memset(classes.get(), 7, MAX_CODE_POINT + 1);
    for (const ClassRange& r : CLASS_RANGES)
        std::memset(classes.get() + r.first, r.char_class, r.last - r.first + 1);

    for (uint32_t b = 0; b < CLASS_INDEX_SIZE; ++b) {
        const uint8_t* block = classes.get() + b * CLASS_BLOCK_SIZE;
        uint32_t found = 0;
        while (found < table.block_count &&
               std::memcmp(table.class_blocks[found], block, CLASS_BLOCK_SIZE) != 0)
            ++found;
        if (found == table.block_count) {
            std::memcpy(table.class_blocks[found], block, CLASS_BLOCK_SIZE);
            ++table.block_count;
        }
        table.block_index[b] = static_cast<uint16_t>(found);
    }
}

}  // namespace vorlenta
