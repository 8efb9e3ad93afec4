// A block's bytes by kind, as bit masks: what the block path reads to find tokens, and what the
// UTF-8 tally reads to find well-formed stretches. Written once, over a Lanes type's primitives,
// so that an instruction set adds only those primitives and no byte ranges of its own.
//
// Each byte gets a code of eight bits from two 16-entry tables, one indexed by its high nibble
// and one by its low nibble, AND-ed: a bit of the code is set where both nibbles allow it, so
// each bit stands for a rectangle of the byte table (some high nibbles times some low nibbles).
// Latin letters are no rectangle and take two bits; the two-byte leads are a rectangle and the
// bytes D0 and D1. Kinds of a single byte (D0, D1, 81, 91, the hyphen-minus) are compared for
// directly: that costs what testing a code bit costs, and leaves the code's eight bits to the
// ranges.
//
// The Lanes primitives, on Lanes::Block (a block's 64 bytes in vector registers):
//   load(p)                  the 64 bytes at p
//   high_nibbles(b)          each byte shifted right by 4
//   low_nibbles(b)           each byte AND 0F
//   look_up(table, n)        table[n] for each byte n (0..15) of n
//   both(a, b)               a AND b, byte by byte
//   tops(b)                  the mask of the bytes' top bits
//   equal(b, byte)           the mask of the bytes equal to `byte`
//   any_bits<BITS>(b)        the mask of the bytes that share a bit with BITS
// (bit i of a mask is the byte at i.)
#pragma once

#include <cstdint>

namespace vorlenta {
namespace detail {

// A block's bytes by kind, bit i for the byte at i.
struct ByteKinds {
    uint64_t high;        // 80..FF
    uint64_t cont;        // 80..BF
    uint64_t lead2;       // C2..DF
    uint64_t lead3;       // E1..EC, EE, EF: three-byte leads whose characters all have a code unit
    uint64_t latin;       // A-Z, a-z
    uint64_t digit;       // 0-9
    uint64_t hyphen;      // 2D
    uint64_t d0, d1;      // D0, D1
    uint64_t upper_cont;  // 90..BF
    uint64_t b81, b91;    // 81, 91
};

// The bits below bit n, for n from 0 to 64.
inline uint64_t below(uint32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// The bits of a byte's code. Latin letters take the two top bits, so that lanes without a test
// of any bits (AVX2) find them with one saturating add: a code with either set is 40 or more.
inline constexpr uint8_t CODE_LATIN_AO = 0x80;    // A..O, a..o: 41..4F, 61..6F
inline constexpr uint8_t CODE_LATIN_PZ = 0x40;    // P..Z, p..z: 50..5A, 70..7A
inline constexpr uint8_t CODE_CONT = 0x20;        // 80..BF
inline constexpr uint8_t CODE_UPPER_CONT = 0x10;  // 90..BF
// C2..CF and D2..DF: the rest of the two-byte leads, D0 and D1, are compared for on their own.
inline constexpr uint8_t CODE_LEAD2 = 0x08;
// E1..EC, EE, EF: E0 and ED may start a character that has no code unit of its own.
inline constexpr uint8_t CODE_LEAD3 = 0x04;
inline constexpr uint8_t CODE_DIGIT = 0x02;  // 30..39

// The bits each high nibble allows.
alignas(16) inline constexpr uint8_t HIGH_NIBBLE_CODES[16] = {
    0,                             // 0_
    0,                             // 1_
    0,                             // 2_
    CODE_DIGIT,                    // 3_
    CODE_LATIN_AO,                 // 4_
    CODE_LATIN_PZ,                 // 5_
    CODE_LATIN_AO,                 // 6_
    CODE_LATIN_PZ,                 // 7_
    CODE_CONT,                     // 8_
    CODE_CONT | CODE_UPPER_CONT,   // 9_
    CODE_CONT | CODE_UPPER_CONT,   // A_
    CODE_CONT | CODE_UPPER_CONT,   // B_
    CODE_LEAD2,                    // C_
    CODE_LEAD2,                    // D_
    CODE_LEAD3,                    // E_
    0,                             // F_
};

// The bits each low nibble allows. The continuation bytes take every byte of their high
// nibbles, so every low nibble allows them.
inline constexpr uint8_t CONT_ANY = CODE_CONT | CODE_UPPER_CONT;
alignas(16) inline constexpr uint8_t LOW_NIBBLE_CODES[16] = {
    CONT_ANY | CODE_LATIN_PZ | CODE_DIGIT,                                           // _0
    CONT_ANY | CODE_LEAD3 | CODE_LATIN_AO | CODE_LATIN_PZ | CODE_DIGIT,              // _1
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO | CODE_LATIN_PZ | CODE_DIGIT,  // _2
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO | CODE_LATIN_PZ | CODE_DIGIT,  // _3
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO | CODE_LATIN_PZ | CODE_DIGIT,  // _4
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO | CODE_LATIN_PZ | CODE_DIGIT,  // _5
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO | CODE_LATIN_PZ | CODE_DIGIT,  // _6
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO | CODE_LATIN_PZ | CODE_DIGIT,  // _7
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO | CODE_LATIN_PZ | CODE_DIGIT,  // _8
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO | CODE_LATIN_PZ | CODE_DIGIT,  // _9
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO | CODE_LATIN_PZ,               // _A
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO,                               // _B
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO,                               // _C
    CONT_ANY | CODE_LEAD2 | CODE_LATIN_AO,                                            // _D
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO,                               // _E
    CONT_ANY | CODE_LEAD2 | CODE_LEAD3 | CODE_LATIN_AO,                               // _F
};

// Worked for five bytes, the code being HIGH_NIBBLE_CODES[b >> 4] & LOW_NIBBLE_CODES[b & F]:
//
//   byte  high nibble allows     low nibble allows                 code        kinds
//   D5    LEAD2                  CONT, UPPER_CONT, LEAD2, LEAD3,   LEAD2       lead2
//                                LATIN_AO, LATIN_PZ, DIGIT
//   9A    CONT, UPPER_CONT       CONT, UPPER_CONT, LEAD2, LEAD3,   CONT |      cont, upper_cont
//                                LATIN_AO, LATIN_PZ                UPPER_CONT
//   5B    LATIN_PZ               CONT, UPPER_CONT, LEAD2, LEAD3,   0           none: '[' comes
//                                LATIN_AO                                      after Z
//   ED    LEAD3                  CONT, UPPER_CONT, LEAD2,          0           none: a high byte
//                                LATIN_AO                                      that stops a block
//   61    LATIN_AO               CONT, UPPER_CONT, LEAD3,          LATIN_AO    latin ('a')
//                                LATIN_AO, LATIN_PZ, DIGIT

// The kinds of the block whose bytes are `bytes`.
template <class Lanes>
inline __attribute__((always_inline)) ByteKinds byte_kinds(const typename Lanes::Block& bytes) {
    const typename Lanes::Block code =
        Lanes::both(Lanes::look_up(HIGH_NIBBLE_CODES, Lanes::high_nibbles(bytes)),
                    Lanes::look_up(LOW_NIBBLE_CODES, Lanes::low_nibbles(bytes)));
    ByteKinds k{};
    k.high = Lanes::tops(bytes);
    k.latin = Lanes::template any_bits<CODE_LATIN_AO | CODE_LATIN_PZ>(code);
    k.digit = Lanes::template any_bits<CODE_DIGIT>(code);
    k.hyphen = Lanes::equal(bytes, 0x2D);
    // A block of ASCII (most blocks of English) has no byte of the other kinds.
    if (k.high == 0) return k;
    k.cont = Lanes::template any_bits<CODE_CONT>(code);
    k.d0 = Lanes::equal(bytes, 0xD0);
    k.d1 = Lanes::equal(bytes, 0xD1);
    k.lead2 = Lanes::template any_bits<CODE_LEAD2>(code) | k.d0 | k.d1;
    k.lead3 = Lanes::template any_bits<CODE_LEAD3>(code);
    k.upper_cont = Lanes::template any_bits<CODE_UPPER_CONT>(code);
    k.b81 = Lanes::equal(bytes, 0x81);
    k.b91 = Lanes::equal(bytes, 0x91);
    return k;
}

// The kinds of the 64 bytes at p.
template <class Lanes>
inline __attribute__((always_inline)) ByteKinds byte_kinds(const uint8_t* p) {
    return byte_kinds<Lanes>(Lanes::load(p));
}

}  // namespace detail
}  // namespace vorlenta
