// Token types and the process-wide character class table.
#pragma once

#include <bit>
#include <cstdint>

namespace vorlenta {

// One bit per type, so that a set of types is a mask.
enum class TokenType : uint64_t {
    NOTTKN = 0,   // the type of an empty token record; never delivered
    WRDSPC = 1,   // one space: U+0020, U+000B or U+00A0
    NWLINE = 2,   // one U+000A
    ENWORD = 4,   // a run of ASCII Latin letters
    NUMBER = 8,   // a run of ASCII digits
    RUWORD = 16,  // a run of letters of the Russian alphabet
    PNCTTN = 32,  // one punctuation character
    UNKNWN = 64,  // one character of any other kind
};

inline constexpr uint64_t type_bits(TokenType t) { return static_cast<uint64_t>(t); }

// Class 0 is no class; class k (1..7) stands for the type with bit k-1.
inline constexpr TokenType CLASS_TO_TYPE[8] = {
    TokenType::NOTTKN, TokenType::WRDSPC, TokenType::NWLINE, TokenType::ENWORD,
    TokenType::NUMBER, TokenType::RUWORD, TokenType::PNCTTN, TokenType::UNKNWN,
};

// The classes whose runs make one token: Latin letters, digits, Cyrillic letters.
inline constexpr uint8_t LATIN_CLASS = 3, DIGIT_CLASS = 4, CYRILLIC_CLASS = 5;
inline constexpr bool is_word_class(uint8_t c) { return c >= LATIN_CLASS && c <= CYRILLIC_CLASS; }

// The inverse of CLASS_TO_TYPE: type 2^(k-1) is class k; NOTTKN is class 0.
inline uint8_t class_of_type(TokenType t) {
    const uint64_t bits = type_bits(t);
    return bits == 0 ? 0 : static_cast<uint8_t>(std::countr_zero(bits) + 1);
}

inline constexpr uint32_t MAX_CODE_POINT = 0x10FFFF;
inline constexpr uint32_t CLASS_BLOCK_SIZE = 64;
inline constexpr uint32_t CLASS_INDEX_SIZE = (MAX_CODE_POINT + 1) / CLASS_BLOCK_SIZE;  // 17,408
inline constexpr uint32_t MAX_CLASS_BLOCKS = 256;

// Two levels: the block of 64 class bytes serving a code point, then its byte in that block.
// Nearly all blocks are alike: the table is 51 KB, of which the index and the 8 blocks in use
// (35 KB) are ever read, instead of 1.1 MB.
struct CharClassTable {
    uint16_t block_index[CLASS_INDEX_SIZE];
    uint8_t class_blocks[MAX_CLASS_BLOCKS][CLASS_BLOCK_SIZE];
    uint32_t block_count;
};

// The one table of the process: all zero until the first classification builds it.
extern CharClassTable g_class_table;

// Fills g_class_table; run once, by class_table().
void build_class_table();

// The built table. The first call builds it; callers arriving meanwhile wait for the build.
inline const CharClassTable& class_table() {
    static const bool built = (build_class_table(), true);
    (void)built;
    return g_class_table;
}

// The class of a code point up to U+10FFFF, in a table known to be built: a shift, a mask and
// two loads.
inline uint8_t code_point_class(const CharClassTable& table, uint32_t code_point) {
    return table.class_blocks[table.block_index[code_point >> 6]][code_point & 0x3F];
}

// Values above U+10FFFF (which four-byte sequences led by F4..F7 can form) are UNKNWN.
inline TokenType classify_in(const CharClassTable& table, uint32_t code_point) {
    if (code_point > MAX_CODE_POINT) return TokenType::UNKNWN;
    return CLASS_TO_TYPE[code_point_class(table, code_point)];
}

inline TokenType classify(uint32_t code_point) {
    return classify_in(class_table(), code_point);
}

}  // namespace vorlenta
