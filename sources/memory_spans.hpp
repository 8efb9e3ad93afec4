// A source of byte spans over bytes in memory: the whole unread rest is one span.
#pragma once

#include <cstdint>

namespace vorlenta {

struct MemorySpans {
    const uint8_t* data;
    uint64_t size;
    uint64_t& pos;  // the owner's read position, kept between batches
    bool next_span(const uint8_t*& p, const uint8_t*& end) {
        if (pos == size) return false;
        p = data + pos;
        end = data + size;
        return true;
    }
    void consumed(const uint8_t* p) { pos = static_cast<uint64_t>(p - data); }
    uint64_t offset() const { return pos; }
};

}  // namespace vorlenta
