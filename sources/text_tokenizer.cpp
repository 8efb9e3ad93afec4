#include "sources/text_tokenizer.hpp"

#include <cstdlib>
#include <new>

namespace vorlenta {

namespace {

// The whole rest of the text is one span.
struct TextSource {
    FromTextTokenizer& t;
    bool next_span(const uint8_t*& p, const uint8_t*& end) {
        if (t.read_pos == t.source_size) return false;
        p = t.source_text + t.read_pos;
        end = t.source_text + t.source_size;
        return true;
    }
    void consumed(const uint8_t* p) { t.read_pos = static_cast<uint64_t>(p - t.source_text); }
};

}  // namespace

FromTextTokenizer::FromTextTokenizer(std::string_view text)
    : source_text(nullptr), source_size(text.size()), read_pos(0) {
    if (source_size > 0) {
        source_text = static_cast<uint8_t*>(std::malloc(source_size));
        if (source_text == nullptr) throw std::bad_alloc();
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
    TextSource source{*this};
    collect_batch(engine, batch, source);
}

}  // namespace vorlenta
