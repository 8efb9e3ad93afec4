// What the bindings of vorlenta._native share: token texts as Python strs, the wait for an
// object's lock, the options of written lines and their output. No tokenizing here.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <mutex>
#include <string>

#include "bindings/constructed.hpp"
#include "bindings/raised_exception.hpp"
#include "library/counts.hpp"
#include "library/object_lock.hpp"
#include "library/token_lines.hpp"
#include "library/utf8_tally.hpp"

namespace vorlenta {

namespace py = pybind11;

// A token's text from its bytes; bytes that are not well-formed UTF-8 become lone surrogates,
// as errors="surrogateescape" makes them, so nothing is lost.
inline PyObject* token_text(const uint8_t* p, size_t n) {
    if (n == 1 && p[0] < 0x80) return PyUnicode_FromOrdinal(p[0]);  // a shared object
    bool ascii = true;
    for (size_t i = 0; i < n; ++i) ascii &= p[i] < 0x80;
    if (!ascii)
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p),
                                    static_cast<Py_ssize_t>(n), "surrogateescape");
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F);
    if (s != nullptr) std::memcpy(PyUnicode_DATA(s), p, n);
    return s;
}

// A counted word as a str: that of a str's lone surrogates (see STR_SURROGATES_MARK) gives the
// str's characters back, any other is a token's text. A token of bytes can end with FF too
// (D0 FF is one ill-formed part): where the bytes before it are no str's, it is such a token.
inline PyObject* word_text(const uint8_t* p, size_t n) {
    if (is_str_surrogates_key(p, n)) {
        PyObject* str = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p),
                                             static_cast<Py_ssize_t>(n - 1), "surrogatepass");
        if (str != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return str;
        PyErr_Clear();
    }
    return token_text(p, n);
}

// Adds the counted words to a dict (a Counter, usually), each a str as word_text makes it, in
// the words' own order: a Counter keeps the order its keys came in, and most_common() gives
// ties in it.
inline void add_words_to(const WordCounts& words, PyObject* out) {
    for (const WordCounts::Entry* entry : words_in_order(words)) {
        const WordCounts::Entry& e = *entry;
        py::object key = py::reinterpret_steal<py::object>(word_text(words.word(e), e.length));
        if (!key) throw py::error_already_set();
        py::object count = py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(e.count));
        if (!count) throw py::error_already_set();
        // Two words can be one str: a str's lone surrogate U+DCED and the byte ED.
        PyObject* known = PyDict_GetItemWithError(out, key.ptr());
        if (known == nullptr && PyErr_Occurred()) throw py::error_already_set();
        if (known != nullptr) {
            count = py::reinterpret_steal<py::object>(PyNumber_Add(known, count.ptr()));
            if (!count) throw py::error_already_set();
        }
        if (PyDict_SetItem(out, key.ptr(), count.ptr()) != 0) throw py::error_already_set();
    }
}

// A tally of what is not UTF-8 as Python reads it: (ill-formed sequences, their bytes,
// non-ASCII bytes).
inline py::tuple tally_tuple(const Utf8Tally& u) {
    return py::make_tuple(u.ill_formed, u.ill_formed_bytes, u.non_ascii_bytes);
}

// Waits for a lock with the interpreter released: a thread holding the interpreter never
// blocks on a lock, so the one holding the lock can always get the interpreter back. `what`
// names the object for the error of a call that comes back into it.
inline std::unique_lock<ObjectLock> lock_released(ObjectLock& m, const char* what) {
    refuse_reentry(m, what);
    std::unique_lock<ObjectLock> lock(m, std::try_to_lock);
    if (lock.owns_lock()) return lock;  // free: no need to hand the interpreter over
    py::gil_scoped_release nogil;
    lock.lock();
    return lock;
}

inline LineFormat line_format_named(const std::string& format) {
    if (format == "tsv") return LineFormat::tsv;
    if (format == "jsonl") return LineFormat::jsonl;
    if (format == "words") return LineFormat::words;
    throw py::value_error("format: tsv, jsonl or words");
}

// The options of a write_lines call; `prefix` (the file column) stays the caller's.
inline LineOptions line_options(const std::string& format, bool offsets, bool lower,
                                const py::bytes& prefix, uint64_t word_types,
                                uint32_t word_min_len, uint32_t word_max_len) {
    const LineFormat line_format = line_format_named(format);
    char* data;
    Py_ssize_t size;
    PyBytes_AsStringAndSize(prefix.ptr(), &data, &size);
    if (size > 65536) throw py::value_error("prefix: at most 65536 bytes");
    LineOptions options{line_format, offsets, lower, reinterpret_cast<const uint8_t*>(data),
                        static_cast<uint32_t>(size)};
    options.word_types = word_types;
    options.word_min_len = word_min_len;
    options.word_max_len = word_max_len;
    return options;
}

// An output file descriptor (which stays the caller's) and the buffer of lines bound for it.
struct Output {
    explicit Output(int fd) : lines(fd) {}
    LineOutput lines;
    ObjectLock lock;
};

}  // namespace vorlenta
