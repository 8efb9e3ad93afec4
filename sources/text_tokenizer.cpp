#include "sources/text_tokenizer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "sources/memory_spans.hpp"

namespace vorlenta {

namespace {

// A large copy faults its fresh pages in one by one; where the system gives huge pages on
// request, asking for them makes that hundreds of times fewer faults.
void advise_huge_pages(void* p, uint64_t size) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t huge = uintptr_t{2} << 20;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + huge - 1) & ~(huge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + size) & ~(huge - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)size;
#endif
}

}  // namespace

FromTextTokenizer::FromTextTokenizer(std::string_view text)
    : source_text(nullptr), source_size(text.size()), read_pos(0) {
    if (source_size > 0) {
        source_text = static_cast<uint8_t*>(std::malloc(source_size));
        if (source_text == nullptr) throw std::bad_alloc();
        advise_huge_pages(source_text, source_size);
        std::memcpy(source_text, text.data(), source_size);
    }
    try {
        init_batch(batch);
    } catch (...) {
        std::free(source_text);
        throw;
    }
    std::memset(&engine, 0, sizeof engine);
}

FromTextTokenizer::~FromTextTokenizer() {
    std::free(source_text);
    free_batch(batch);
}

void FromTextTokenizer::get_batch() {
    MemorySpans source{source_text, source_size, read_pos};
    collect_batch(engine, batch, source);
}

}  // namespace vorlenta
