// FFTokenizer as Python holds it: the file tokenizer, the name its errors carry, and what
// Python needs around a read that can fail or be interrupted by a signal.
#pragma once

#include <pybind11/pybind11.h>

#include <cerrno>
#include <stdexcept>
#include <string_view>

#include "sources/file_tokenizer.hpp"

namespace vorlenta {

namespace py = pybind11;

struct FileTokenizerObject {
    FromFileTokenizer tokenizer;
    py::object filename;  // the path as Python's own open would name it in an error
    // The error of a read that failed after its batch had tokens: the batch came first, and
    // the next call raises this.
    py::object pending_error;
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

namespace detail {

// Runs the interpreter's signal handlers; one that raises stops the batch.
inline bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

}  // namespace detail

// The next batch. A read that failed, or a signal handler that raised, is the call's error
// when the batch is empty; otherwise the batch comes now and the error with the next call,
// which reads nothing. The call after that reads at the same place again.
inline const Batch& read_batch(FileTokenizerObject& o) {
    FromFileTokenizer& t = o.idle();
    if (o.pending_error) {
        PyErr_SetRaisedException(o.pending_error.release().ptr());
        throw py::error_already_set();
    }
    o.busy = true;
    t.get_batch(detail::python_signal_raised);
    o.busy = false;
    if (t.read_error == 0) return t.batch;
    if (!PyErr_Occurred()) {
        // errno, its text and the file name, and OSError's subclass for the errno.
        errno = t.read_error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, o.filename.ptr());
    }
    if (t.batch.token_count == 0) throw py::error_already_set();
    o.pending_error = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
    return t.batch;
}

}  // namespace vorlenta
