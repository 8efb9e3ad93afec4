// Shuffle tables for writing a block's tokens at once on lanes without expand and compress
// instructions (AVX2): 8 bytes or 8 code units at a time, the table row picked by a byte of a
// mask. A shuffle index with its top bit set writes a zero.
#pragma once

#include <cstdint>

namespace vorlenta {
namespace detail {

inline constexpr uint8_t ZERO_LANE = 0x80;

// Rows of shuffle indices for 8 lanes of `width` bytes, row m for the 8 bits of m: with
// `kept`, the lanes whose bit is set, gathered to the front in order; without, every lane,
// with a zero lane before each whose bit is set. What is left of a row writes zeros.
//
// ZEROS_BEFORE (bytes, zeros before): for m = 0b0000'0101 (zeros before bytes 0 and 2),
//   row      80 00 01 80 02 03 04 05 06 07 80 80 80 80 80 80
//   so "abcdefgh" becomes 00 a b 00 c d e f g h: 8 + 2 bytes.
// KEPT_UNITS (16-bit lanes, kept): for m = 0b0000'1101, lanes 0, 2 and 3, as the byte pairs
//   00 01, 04 05, 06 07.
// UNIT_ZEROS_BEFORE (16-bit lanes, zeros before): 8 units spread over up to 16, as two rows of
//   16 bytes, both taking from the same 8 units.
template <uint32_t ROW_BYTES>
struct ShuffleRows {
    alignas(16) uint8_t row[256][ROW_BYTES];
};

template <uint32_t ROW_BYTES>
inline constexpr ShuffleRows<ROW_BYTES> make_rows(uint32_t width, bool kept) {
    ShuffleRows<ROW_BYTES> t{};
    for (uint32_t m = 0; m < 256; ++m) {
        uint32_t out = 0;
        for (uint32_t i = 0; i < 8; ++i) {
            const bool set = (m >> i & 1) != 0;
            if (kept && !set) continue;
            if (!kept && set)
                for (uint32_t b = 0; b < width; ++b) t.row[m][out++] = ZERO_LANE;
            for (uint32_t b = 0; b < width; ++b) t.row[m][out++] = static_cast<uint8_t>(i * width + b);
        }
        while (out < ROW_BYTES) t.row[m][out++] = ZERO_LANE;
    }
    return t;
}

inline constexpr ShuffleRows<16> ZEROS_BEFORE = make_rows<16>(1, false);
inline constexpr ShuffleRows<16> KEPT_UNITS = make_rows<16>(2, true);
inline constexpr ShuffleRows<32> UNIT_ZEROS_BEFORE = make_rows<32>(2, false);

}  // namespace detail
}  // namespace vorlenta
