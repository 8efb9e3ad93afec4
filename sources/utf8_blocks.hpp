// The UTF-8 tally's vector step (library/utf8_tally.hpp): blocks of 64 bytes that hold only
// ASCII, well-formed two-byte characters and the three-byte ones the block path takes too,
// found with the block path's byte kinds (byte_kinds.hpp). Whatever else the tally's byte steps
// take; the tests hold the two to the same tally.
#pragma once

#include "sources/byte_kinds.hpp"

namespace vorlenta {
namespace detail {

// How many of the 64 bytes at p, from the first, hold only ASCII and well-formed two-byte and
// common three-byte characters, whole: adds their non-ASCII bytes to `non_ascii`. The byte
// steps take what follows (a four-byte character, a stray byte), and the next block starts
// after it. The masks, one bit per byte, for "Да, ok" (D0 94 D0 B0 2C 20 6F 6B):
//     bytes      D0 94 D0 B0 2C 20 6F 6B
//     high        1  1  1  1  0  0  0  0
//     lead2       1  0  1  0  0  0  0  0
//     cont        0  1  0  1  0  0  0  0
//     lead2 << 1  0  1  0  1  0  0  0  0   == cont: every lead has its one follower
// and every high byte is a lead or a follower.
template <class Lanes>
inline __attribute__((always_inline)) uint32_t well_formed_prefix(const uint8_t* p,
                                                                  uint64_t& non_ascii) {
    const typename Lanes::Block bytes = Lanes::load(p);
    const uint64_t high = Lanes::tops(bytes);
    if (high == 0) return 64;
    const ByteKinds k = byte_kinds<Lanes>(bytes);
    // Where the rule breaks: a high byte of no kind here (E0 and ED, whose second byte is
    // limited, are left to the byte steps), or a follower where no lead claims one, or none
    // where one does (a follower in the first byte has its lead before the block, and the byte
    // steps take it). Two leads claiming one byte means one of them claims a lead as its
    // follower, so that breaks too.
    const uint64_t claimed = (k.lead2 << 1) | (k.lead3 << 1) | (k.lead3 << 2);
    const uint64_t broken = (high & ~(k.cont | k.lead2 | k.lead3)) | (claimed ^ k.cont);
    uint32_t taken = broken == 0 ? 64 : Lanes::lowest_bit(broken);
    // A character that the break or the block's end cuts is left to the next step.
    const auto is = [taken](uint64_t mask, uint32_t back) {
        return taken >= back && ((mask >> (taken - back)) & 1) != 0;
    };
    if (is(k.lead3, 1) || is(k.lead2, 1))
        taken -= 1;
    else if (is(k.lead3, 2))
        taken -= 2;
    non_ascii += Lanes::count_bits(high & below(taken));
    return taken;
}

// Takes blocks from p while at least one lies before `end`, and returns where the byte steps
// must go on: at a block that starts with a byte the vector step leaves to them, or with fewer
// than 64 bytes left.
template <class Lanes>
inline __attribute__((always_inline)) const uint8_t* well_formed_blocks(const uint8_t* p,
                                                                        const uint8_t* end,
                                                                        uint64_t& non_ascii) {
    while (end - p >= 64) {
        const uint32_t taken = well_formed_prefix<Lanes>(p, non_ascii);
        if (taken == 0) break;
        p += taken;
    }
    return p;
}

}  // namespace detail
}  // namespace vorlenta
