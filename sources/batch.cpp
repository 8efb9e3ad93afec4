#include "sources/batch.hpp"

#include <cstdlib>
#include <limits>
#include <new>

namespace vorlenta {

namespace {

// n * per_item + extra bytes, or nullptr when that overflows or the heap refuses. Never 0
// bytes, so that a batch size of 0 still has real buffers.
void* allocate(uint64_t n, uint64_t per_item, uint64_t extra = 0) {
    if (n > (std::numeric_limits<size_t>::max() - extra) / per_item) return nullptr;
    const size_t bytes = static_cast<size_t>(n * per_item + extra);
    return std::malloc(bytes > 0 ? bytes : 1);
}

void* allocate_text(uint64_t batch_size) {
    return allocate(batch_size, TEXT_BYTES_PER_TOKEN, TEXT_STAGING_BYTES);
}

void* allocate_units(uint64_t batch_size) {
    return allocate(batch_size, UNITS_PER_TOKEN * sizeof(uint16_t),
                    UNITS_STAGING * sizeof(uint16_t));
}

}  // namespace

void init_batch(Batch& b, uint32_t capacity) {
    b = Batch{};
    b.batch_size = capacity;
    b.token_max_len = DEFAULT_TOKEN_MAX_LEN;
    b.filter = ~uint64_t{0};
    b.units_wanted = true;
    b.text_buffer = static_cast<uint8_t*>(allocate_text(capacity));
    b.units_buffer = static_cast<uint16_t*>(allocate_units(capacity));
    b.types_buffer = static_cast<uint64_t*>(allocate(capacity, sizeof(uint64_t)));
    b.types_capacity = capacity;
    if (b.text_buffer == nullptr || b.units_buffer == nullptr || b.types_buffer == nullptr) {
        free_batch(b);
        throw std::bad_alloc();
    }
}

void free_batch(Batch& b) {
    std::free(b.text_buffer);
    std::free(b.units_buffer);
    std::free(b.types_buffer);
    for (uint32_t i = 0; i < b.retired_count; ++i) std::free(b.retired_types[i]);
    b.text_buffer = nullptr;
    b.units_buffer = nullptr;
    b.types_buffer = nullptr;
    b.retired_count = 0;
}

void set_batch_size(Batch& b, uint32_t n) {
    void* text = allocate_text(n);
    void* units = allocate_units(n);
    if (text == nullptr || units == nullptr) {
        std::free(text);
        std::free(units);
        throw std::bad_alloc();
    }
    if (n > b.types_capacity) {
        // At least doubling bounds the retired buffers: their total stays below the live one,
        // and their number below MAX_RETIRED_TYPES_BUFFERS.
        const uint64_t capacity = n > 2 * b.types_capacity ? n : 2 * b.types_capacity;
        void* types = allocate(capacity, sizeof(uint64_t));
        if (types == nullptr || b.retired_count == MAX_RETIRED_TYPES_BUFFERS) {
            std::free(types);
            std::free(text);
            std::free(units);
            throw std::bad_alloc();
        }
        b.retired_types[b.retired_count++] = b.types_buffer;
        b.types_buffer = static_cast<uint64_t*>(types);
        b.types_capacity = capacity;
    }
    std::free(b.text_buffer);
    std::free(b.units_buffer);
    b.text_buffer = static_cast<uint8_t*>(text);
    b.units_buffer = static_cast<uint16_t*>(units);
    b.batch_size = n;
}

}  // namespace vorlenta
