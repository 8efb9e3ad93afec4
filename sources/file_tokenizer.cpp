#include "sources/file_tokenizer.hpp"

#include <cstdlib>
#include <new>
#include <string>

namespace vorlenta {

namespace {

// The unread rest of the chunk, refilled from the file when used up. A short read is a shorter
// span; a read that gives nothing (end of file, or a read error) is the end of input, as it
// would be for a single fgetc.
struct FileSource {
    FromFileTokenizer& t;
    bool next_span(const uint8_t*& p, const uint8_t*& end) {
        if (t.chunk_pos == t.chunk_len) {
            t.chunk_pos = 0;
            // One tokenizer is used by one thread at a time: the stream needs no lock.
            t.chunk_len =
                static_cast<uint32_t>(fread_unlocked(t.chunk, 1, FILE_CHUNK_BYTES, t.file));
            if (t.chunk_len == 0) return false;
        }
        p = t.chunk + t.chunk_pos;
        end = t.chunk + t.chunk_len;
        return true;
    }
    void consumed(const uint8_t* p) { t.chunk_pos = static_cast<uint32_t>(p - t.chunk); }
};

// What a file that could not be opened yields.
struct NoSource {
    bool next_span(const uint8_t*&, const uint8_t*&) { return false; }
    void consumed(const uint8_t*) {}
};

}  // namespace

FromFileTokenizer::FromFileTokenizer(std::string_view path)
    : file(nullptr), chunk(nullptr), chunk_pos(0), chunk_len(0) {
    init_batch(batch);
    chunk = static_cast<uint8_t*>(std::malloc(FILE_CHUNK_BYTES));
    if (chunk == nullptr) {
        free_batch(batch);
        throw std::bad_alloc();
    }
    try {
        // c_str() ends the path at its first zero byte, as the platform's open would anyway.
        file = std::fopen(std::string(path).c_str(), "r");
    } catch (...) {
        std::free(chunk);
        free_batch(batch);
        throw;
    }
    std::memset(&engine, 0, sizeof engine);
}

FromFileTokenizer::~FromFileTokenizer() {
    if (file != nullptr) std::fclose(file);
    std::free(chunk);
    free_batch(batch);
}

void FromFileTokenizer::get_batch() {
    if (file == nullptr) {
        NoSource none;
        collect_batch(engine, batch, none);
        return;
    }
    FileSource source{*this};
    collect_batch(engine, batch, source);
}

}  // namespace vorlenta
