// Shuffle tables for writing a block's tokens at once on lanes without expand and compress
// instructions (AVX2): 8 bytes or 8 code units at a time, the table row picked by a byte of a
// mask. A shuffle index with its top bit set writes a zero.
#pragma once

#include <array>
#include <cstdint>

namespace vorlenta {
namespace detail {

inline constexpr uint8_t ZERO_LANE = 0x80;

// Row m spreads 8 bytes over 8 + popcount(m) places with a zero before each byte whose bit is
// set in m. For m = 0b0000'0101 (zeros before bytes 0 and 2):
//   row      80 00 01 80 02 03 04 05 06 07 80 80 80 80 80 80
//   "ab cdef" from "a b cdef" as it lies (a at 0) becomes 00 a b 00 c d e f ...: 10 bytes.
struct ZerosBefore {
    alignas(16) uint8_t row[256][16];
};

inline constexpr ZerosBefore make_zeros_before() {
    ZerosBefore t{};
    for (uint32_t m = 0; m < 256; ++m) {
        uint32_t out = 0;
        for (uint32_t i = 0; i < 8; ++i) {
            if ((m >> i & 1) != 0) t.row[m][out++] = ZERO_LANE;
            t.row[m][out++] = static_cast<uint8_t>(i);
        }
        while (out < 16) t.row[m][out++] = ZERO_LANE;
    }
    return t;
}

// Row m gathers the 16-bit lanes whose bit is set in m to the front, in order; the rest is
// zeros. For m = 0b0000'1101: lanes 0, 2, 3, as the byte pairs 00 01, 04 05, 06 07.
struct KeptUnits {
    alignas(16) uint8_t row[256][16];
};

inline constexpr KeptUnits make_kept_units() {
    KeptUnits t{};
    for (uint32_t m = 0; m < 256; ++m) {
        uint32_t out = 0;
        for (uint32_t i = 0; i < 8; ++i) {
            if ((m >> i & 1) == 0) continue;
            t.row[m][out++] = static_cast<uint8_t>(2 * i);
            t.row[m][out++] = static_cast<uint8_t>(2 * i + 1);
        }
        while (out < 16) t.row[m][out++] = ZERO_LANE;
    }
    return t;
}

// ZerosBefore for 16-bit lanes: 8 units spread over up to 16, as two 16-byte halves.
struct UnitZerosBefore {
    alignas(16) uint8_t row[256][32];
};

inline constexpr UnitZerosBefore make_unit_zeros_before() {
    UnitZerosBefore t{};
    for (uint32_t m = 0; m < 256; ++m) {
        uint32_t out = 0;
        for (uint32_t i = 0; i < 8; ++i) {
            if ((m >> i & 1) != 0) {
                t.row[m][out++] = ZERO_LANE;
                t.row[m][out++] = ZERO_LANE;
            }
            t.row[m][out++] = static_cast<uint8_t>(2 * i);
            t.row[m][out++] = static_cast<uint8_t>(2 * i + 1);
        }
        while (out < 32) t.row[m][out++] = ZERO_LANE;
    }
    return t;
}

inline constexpr ZerosBefore ZEROS_BEFORE = make_zeros_before();
inline constexpr KeptUnits KEPT_UNITS = make_kept_units();
inline constexpr UnitZerosBefore UNIT_ZEROS_BEFORE = make_unit_zeros_before();

}  // namespace detail
}  // namespace vorlenta
