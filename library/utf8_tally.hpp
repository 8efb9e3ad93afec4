// A tally of what in a stream of bytes is not well-formed UTF-8, chunk after chunk: the
// command warns about an input that holds such bytes, and guesses a legacy encoding when
// most of its non-ASCII bytes are.
#pragma once

#include <cstdint>
#include <cstring>

#include "sources/scan_path.hpp"
#include "sources/utf8.hpp"

namespace vorlenta {

struct Utf8Tally {
    uint64_t ill_formed = 0;        // maximal ill-formed parts
    uint64_t ill_formed_bytes = 0;  // the bytes in them
    uint64_t non_ascii_bytes = 0;
    uint8_t carry[4] = {};  // the start of a character that the last chunk cut
    uint32_t carry_length = 0;
    // The vector step of the path the process takes (utf8_blocks.hpp); none on the scalar
    // path, where the byte steps alone give the same tally (the tests compare the two).
    Utf8BlockRun blocks = utf8_block_run(scan_path());

    void add(const uint8_t* p, const uint8_t* end) {
        if (carry_length > 0 && p < end) {
            uint8_t joined[8];
            std::memcpy(joined, carry, carry_length);
            const size_t taken = static_cast<size_t>(end - p) < 4 ? static_cast<size_t>(end - p) : 4;
            std::memcpy(joined + carry_length, p, taken);
            const Utf8Step s = utf8_step(joined, carry_length + taken);
            if (s.length == 0) {  // a chunk shorter than the rest of the character
                std::memcpy(carry + carry_length, p, taken);
                carry_length += static_cast<uint32_t>(taken);
                return;
            }
            count(s);
            // The carried bytes were a well-formed start, so whatever ends the character lies
            // in this chunk.
            p += s.length - carry_length;
            carry_length = 0;
        }
        while (p < end) {
            if (blocks != nullptr && end - p >= 64) {
                const uint8_t* const q = blocks(p, end, non_ascii_bytes);
                if (q != p) {
                    p = q;
                    continue;
                }
            }
            if (*p < 0x80) {
                ++p;
                continue;
            }
            // Cyrillic and the other two-byte letters first.
            if (end - p >= 2 && p[0] >= 0xC2 && p[0] <= 0xDF && (p[1] & 0xC0) == 0x80) {
                non_ascii_bytes += 2;
                p += 2;
                continue;
            }
            const Utf8Step s = utf8_step(p, static_cast<size_t>(end - p));
            if (s.length == 0) {
                carry_length = static_cast<uint32_t>(end - p);
                std::memcpy(carry, p, carry_length);
                return;
            }
            count(s);
            p += s.length;
        }
    }

    // The end of the input: a character it cut short is ill-formed.
    void finish() {
        if (carry_length == 0) return;
        count({carry_length, false});
        carry_length = 0;
    }

    void count(Utf8Step s) {
        non_ascii_bytes += s.length;
        if (!s.ok) {
            ++ill_formed;
            ill_formed_bytes += s.length;
        }
    }
};

// Whether the n bytes at p are all well-formed UTF-8.
inline bool is_utf8(const uint8_t* p, size_t n) {
    Utf8Tally tally;
    tally.add(p, p + n);
    tally.finish();
    return tally.ill_formed == 0;
}

}  // namespace vorlenta
