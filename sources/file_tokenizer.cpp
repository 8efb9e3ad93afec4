#include "sources/file_tokenizer.hpp"

#include <string>

namespace vorlenta {

namespace {

// A tokenizer is used by one thread at a time, so the stream needs no lock.
struct FileSource {
    FILE* file;
    int next_byte() { return getc_unlocked(file); }
};

// What a file that could not be opened yields.
struct NoSource {
    int next_byte() { return -1; }
};

}  // namespace

FromFileTokenizer::FromFileTokenizer(std::string_view path) : file(nullptr) {
    init_batch(batch);
    try {
        // c_str() ends the path at its first zero byte, as the platform's open would anyway.
        file = std::fopen(std::string(path).c_str(), "r");
    } catch (...) {
        free_batch(batch);
        throw;
    }
    std::memset(&engine, 0, sizeof engine);
}

FromFileTokenizer::~FromFileTokenizer() {
    if (file != nullptr) std::fclose(file);
    free_batch(batch);
}

void FromFileTokenizer::get_batch() {
    if (file == nullptr) {
        NoSource none;
        collect_batch(engine, batch, none);
        return;
    }
    FileSource source{file};
    collect_batch(engine, batch, source);
}

}  // namespace vorlenta
