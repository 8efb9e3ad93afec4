// The one reader of files behind both bindings: an open descriptor read a chunk at a time, as a
// source of byte spans for the batch loop.
//
// Its rules: a read gives what the descriptor holds, up to a chunk, so that a pipe's bytes are
// tokenized as they come. A read that a signal interrupted (EINTR) is read again. Before every
// read, and again after an interrupted one, the caller's check is asked; true stops the batch
// there with EINTR, and a failed read stops it with its errno: the batch keeps the tokens
// before the stop, the engine and the file stay as they were before the read, and the next
// batch reads at the same place. Holding the error back until those tokens are delivered is
// the binding's (bindings/read_errors.hpp).
#pragma once

#include <cstdint>

namespace vorlenta {

inline constexpr uint32_t FILE_CHUNK_BYTES = 64 * 1024;

// Asked before every read, and after a read that a signal interrupted (`interrupted`): true
// stops the batch there. A binding runs its interpreter's signal handlers here, and stops when
// one of them raised; no check never stops.
struct ReadCheck {
    bool (*stop)(void* context, bool interrupted) = nullptr;
    void* context = nullptr;
    bool operator()(bool interrupted) const { return stop != nullptr && stop(context, interrupted); }
};

struct FileBytes {
    int fd = -1;  // its owner's, who opens and closes it
    // Bytes read and not yet tokenized: chunk[chunk_pos, chunk_len); the chunk starts at
    // chunk_offset in the file.
    uint8_t* chunk = nullptr;
    uint32_t chunk_pos = 0;
    uint32_t chunk_len = 0;
    uint64_t chunk_offset = 0;
    uint64_t end_offset = UINT64_MAX;  // reading stops here: the end of a range, or never
    // The errno of the read that stopped the last batch (EINTR for a stop the check asked
    // for); 0 when none did.
    int read_error = 0;
};

// Takes the chunk buffer for reading `fd` over the bytes [start, stop) of the file (offsets
// only: the owner seeks). False when the buffer cannot be had.
bool init_file_bytes(FileBytes& f, int fd, uint64_t start = 0, uint64_t stop = UINT64_MAX);
void free_file_bytes(FileBytes& f);

// Replaces the used-up chunk by the next one: true when it holds bytes; false at the end of the
// input (read_error 0) or at a failed read or a stop (read_error set), the chunk unchanged.
bool read_chunk(FileBytes& f, ReadCheck check);

// Bytes tokenized so far, from the start of the file.
inline uint64_t file_position(const FileBytes& f) { return f.chunk_offset + f.chunk_pos; }

// What a reader does with each chunk as it comes, and at the end of the input: nothing.
struct NoWatch {
    void chunk(const uint8_t*, const uint8_t*) {}
    void ended() {}
};

// The file as the batch loop's source of spans: the unread rest of the chunk, refilled when
// used up.
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
