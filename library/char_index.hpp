// Byte offsets into UTF-8 that was encoded from a str, as indexes of that str.
#pragma once

#include <cstdint>

namespace vorlenta {

// Every byte but a continuation byte starts a character. Offsets come in increasing order, so
// one pass over the bytes serves all of them.
struct CharIndex {
    const uint8_t* data = nullptr;
    uint64_t byte = 0;
    uint64_t index = 0;
    bool ascii = true;  // offsets are indexes already
    uint64_t operator()(uint64_t offset) {
        if (ascii) return offset;
        uint64_t count = 0;
        for (; byte < offset; ++byte) count += (data[byte] & 0xC0) != 0x80;
        return index += count;
    }
};

}  // namespace vorlenta
