// The one reader of files behind both bindings: an open descriptor read a chunk at a time, as a
// source of byte spans for the batch loop.
//
// A read gives what the descriptor holds, up to a chunk, so that a pipe's bytes are tokenized as
// they come; one that a signal interrupted (EINTR) is read again. The caller's check is asked
// before every read and after an interrupted one: true stops the batch there with EINTR, as a
// failed read stops it with its errno. The batch keeps the tokens before the stop, the engine
// and the file stay as they were before the read, and the next batch reads at the same place.
// The binding holds the error back until those tokens are delivered (bindings/read_errors.hpp).
#pragma once

#include <cstdint>

namespace vorlenta {

inline constexpr uint32_t FILE_CHUNK_BYTES = 64 * 1024;

// A binding runs its interpreter's signal handlers here, and stops when one of them raised.
// Without a function it never stops.
struct ReadCheck {
    bool (*stop)(void* context, bool interrupted) = nullptr;
    void* context = nullptr;
    bool operator()(bool interrupted) const { return stop != nullptr && stop(context, interrupted); }
};

struct FileBytes {
    int fd = -1;  // its owner's, who opens and closes it
    // Read and not yet tokenized: chunk[chunk_pos, chunk_len), which starts at chunk_offset.
    uint8_t* chunk = nullptr;
    uint32_t chunk_pos = 0;
    uint32_t chunk_len = 0;
    uint64_t chunk_offset = 0;
    uint64_t end_offset = UINT64_MAX;  // reading stops here: the end of a range, or never
    int read_error = 0;  // the errno that stopped the last batch (EINTR: the check); 0 if none
};

// Takes the chunk for reading `fd` over the bytes [start, stop) of the file (the owner seeks).
// False when it cannot be had.
bool init_file_bytes(FileBytes& f, int fd, uint64_t start = 0, uint64_t stop = UINT64_MAX);
void free_file_bytes(FileBytes& f);

// Replaces the used-up chunk by the next one: true when it holds bytes; false at the end of the
// input (read_error 0), or at a failed read or a stop (read_error set).
bool read_chunk(FileBytes& f, ReadCheck check);

inline uint64_t file_position(const FileBytes& f) { return f.chunk_offset + f.chunk_pos; }

// What the reader does with each chunk read, and at the end of the input: nothing.
struct NoWatch {
    void chunk(const uint8_t*, const uint8_t*) {}
    void ended() {}
};

// The file as the batch loop's source: the unread rest of the chunk, refilled when used up.
template <class Watch = NoWatch>
struct FileSpans {
    FileBytes& file;
    ReadCheck check;
    Watch watch{};
    bool next_span(const uint8_t*& p, const uint8_t*& end) {
        if (file.chunk_pos == file.chunk_len) {
            if (!read_chunk(file, check)) {
                if (file.read_error == 0) watch.ended();
                return false;
            }
            watch.chunk(file.chunk, file.chunk + file.chunk_len);
        }
        p = file.chunk + file.chunk_pos;
        end = file.chunk + file.chunk_len;
        return true;
    }
    void consumed(const uint8_t* p) { file.chunk_pos = static_cast<uint32_t>(p - file.chunk); }
    uint64_t offset() const { return file_position(file); }
    bool failed() const { return file.read_error != 0; }
};

}  // namespace vorlenta
