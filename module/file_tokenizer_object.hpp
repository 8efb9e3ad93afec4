// FFTokenizer as Python holds it: the file tokenizer, the name its errors carry, and what
// Python needs around a read that can fail or be interrupted by a signal.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string_view>

#include "bindings/read_errors.hpp"
#include "sources/file_tokenizer.hpp"

namespace vorlenta {

namespace py = pybind11;

struct FileTokenizerObject {
    FromFileTokenizer tokenizer;
    py::object filename;  // the path as Python's own open would name it in an error
    HeldError held;
    SignalCheck signals{1};
    // Inside get_batch, where signal handlers run: a handler, or a thread that runs while one
    // does, must not touch the buffers the batch loop is filling.
    bool busy = false;

    explicit FileTokenizerObject(std::string_view path)
        : tokenizer(path),
          filename(py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefaultAndSize(
              path.data(), static_cast<Py_ssize_t>(path.substr(0, path.find('\0')).size())))) {
        if (!filename) throw py::error_already_set();
    }

    FromFileTokenizer& idle() {
        if (busy)
            throw std::runtime_error(
                "FFTokenizer is busy: a get_batch call on it is running (it was called again "
                "from a signal handler or from another thread)");
        return tokenizer;
    }

    bool is_fopen() const { return tokenizer.is_fopen(); }
    void set_batch_size(uint32_t n) { idle().set_batch_size(n); }
    void set_filter(uint64_t mask) { idle().set_filter(mask); }
    void set_token_min_len(uint32_t n) { idle().set_token_min_len(n); }
    void set_token_max_len(uint32_t n) { idle().set_token_max_len(n); }
};

// The next batch; its read's error, or that of a signal handler, is held back while the batch
// has tokens (bindings/read_errors.hpp).
inline const Batch& read_batch(FileTokenizerObject& o) {
    FromFileTokenizer& t = o.idle();
    o.held.raise_if_held();
    o.busy = true;
    t.get_batch(o.signals.check());
    o.busy = false;
    o.held.raise_or_hold(t.bytes.read_error, o.filename, t.batch.token_count > 0);
    return t.batch;
}

}  // namespace vorlenta
