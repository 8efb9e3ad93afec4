#include "sources/file_bytes.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vorlenta {

bool init_file_bytes(FileBytes& f, int fd, uint64_t start, uint64_t stop) {
    f = FileBytes{};
    f.chunk = static_cast<uint8_t*>(std::malloc(FILE_CHUNK_BYTES));
    if (f.chunk == nullptr) return false;
    f.fd = fd;
    f.chunk_offset = start;
    f.end_offset = stop;
    return true;
}

void free_file_bytes(FileBytes& f) {
    std::free(f.chunk);
    f.chunk = nullptr;
}

bool read_chunk(FileBytes& f, ReadCheck check) {
    const uint64_t left = f.end_offset - (f.chunk_offset + f.chunk_len);
    if (left == 0) return false;
    const size_t wanted = left < FILE_CHUNK_BYTES ? static_cast<size_t>(left) : FILE_CHUNK_BYTES;
    for (bool interrupted = false;; interrupted = true) {
        if (check(interrupted)) {
            f.read_error = EINTR;
            return false;
        }
        const ssize_t n = read(f.fd, f.chunk, wanted);
        if (n > 0) {
            f.chunk_offset += f.chunk_len;
            f.chunk_pos = 0;
            f.chunk_len = static_cast<uint32_t>(n);
            return true;
        }
        if (n == 0) return false;  // the end of the file
        if (errno != EINTR) {
            f.read_error = errno;
            return false;
        }
    }
}

}  // namespace vorlenta
