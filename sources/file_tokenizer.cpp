#include "sources/file_tokenizer.hpp"

#include <cstring>
#include <new>
#include <string>

namespace vorlenta {

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
    // A file that could not be opened is read as an empty range: no read, and no error.
    if (file != nullptr)
        bytes.fd = fileno(file);
    else
        bytes.end_offset = 0;
    std::memset(&engine, 0, sizeof engine);
}

FromFileTokenizer::~FromFileTokenizer() {
    if (file != nullptr) std::fclose(file);
    free_file_bytes(bytes);
    free_batch(batch);
}

void FromFileTokenizer::get_batch(ReadCheck check) {
    bytes.read_error = 0;
    FileSpans<> source{bytes, check};
    collect_batch(engine, batch, source);
}

}  // namespace vorlenta
