#include "sources/file_tokenizer.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

namespace vorlenta {

namespace {

// The unread rest of the chunk, refilled from the file when used up. A read gives what the
// descriptor holds, up to a chunk: a short read is a shorter span.
struct FileSource {
    FromFileTokenizer& t;
    StopCheck stop;
    bool next_span(const uint8_t*& p, const uint8_t*& end) {
        if (t.chunk_pos == t.chunk_len && !refill()) return false;
        p = t.chunk + t.chunk_pos;
        end = t.chunk + t.chunk_len;
        return true;
    }
    bool refill() {
        for (;;) {
            if (stop != nullptr && stop()) {
                t.read_error = EINTR;
                return false;
            }
            const ssize_t n = read(t.fd, t.chunk, FILE_CHUNK_BYTES);
            if (n > 0) {
                t.chunk_pos = 0;
                t.chunk_len = static_cast<uint32_t>(n);
                return true;
            }
            if (n == 0) return false;  // the end of the file
            if (errno != EINTR) {
                t.read_error = errno;
                return false;
            }
        }
    }
    void consumed(const uint8_t* p) { t.chunk_pos = static_cast<uint32_t>(p - t.chunk); }
    bool failed() const { return t.read_error != 0; }
};

// What a file that could not be opened yields.
struct NoSource {
    bool next_span(const uint8_t*&, const uint8_t*&) { return false; }
    void consumed(const uint8_t*) {}
};

}  // namespace

FromFileTokenizer::FromFileTokenizer(std::string_view path)
    : file(nullptr), fd(-1), chunk(nullptr), chunk_pos(0), chunk_len(0), read_error(0) {
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
    if (file != nullptr) fd = fileno(file);
    std::memset(&engine, 0, sizeof engine);
}

FromFileTokenizer::~FromFileTokenizer() {
    if (file != nullptr) std::fclose(file);
    std::free(chunk);
    free_batch(batch);
}

void FromFileTokenizer::get_batch(StopCheck stop) {
    read_error = 0;
    if (file == nullptr) {
        NoSource none;
        collect_batch(engine, batch, none);
        return;
    }
    FileSource source{*this, stop};
    collect_batch(engine, batch, source);
}

}  // namespace vorlenta
