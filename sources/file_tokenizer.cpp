#include "sources/file_tokenizer.hpp"

#include <cstring>
#include <new>
#include <string>

namespace vorlenta {

namespace {

// What a file that could not be opened yields.
struct NoSource {
    bool next_span(const uint8_t*&, const uint8_t*&) { return false; }
    void consumed(const uint8_t*) {}
};

}  // namespace

FromFileTokenizer::FromFileTokenizer(std::string_view path) : file(nullptr) {
    init_batch(batch);
    if (!init_file_bytes(bytes, -1)) {
        free_batch(batch);
        throw std::bad_alloc();
    }
    try {
        // c_str() ends the path at its first zero byte, as the platform's open would anyway.
        file = std::fopen(std::string(path).c_str(), "r");
    } catch (...) {
        free_file_bytes(bytes);
        free_batch(batch);
        throw;
    }
    if (file != nullptr) bytes.fd = fileno(file);
    std::memset(&engine, 0, sizeof engine);
}

FromFileTokenizer::~FromFileTokenizer() {
    if (file != nullptr) std::fclose(file);
    free_file_bytes(bytes);
    free_batch(batch);
}

void FromFileTokenizer::get_batch(ReadCheck check) {
    bytes.read_error = 0;
    if (file == nullptr) {
        NoSource none;
        collect_batch(engine, batch, none);
        return;
    }
    FileSpans<> source{bytes, check};
    collect_batch(engine, batch, source);
}

}  // namespace vorlenta
