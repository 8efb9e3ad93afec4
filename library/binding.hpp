// What the bindings of vorlenta._native share: token texts as Python strs, str indexes of
// byte offsets, the check that an object was constructed, the objects' locks, and the word
// counts that several methods fill. No tokenizing here.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "library/token_lines.hpp"
#include "library/word_counts.hpp"

#if PY_VERSION_HEX < 0x030C0000
// Before 3.12 the interpreter holds a raised exception as its type, value and traceback. These
// take it and put it back whole, as 3.12's functions of the same names do, so that the binding
// holds a pending error the same way on every version.
inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Steals the reference to `exception`, as PyErr_Restore steals the three it is given.
inline void PyErr_SetRaisedException(PyObject* exception) {
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
}
#endif

namespace vorlenta {

namespace py = pybind11;

// Where a token's bytes end in a batch's text: at its zero byte, except that a token whose
// first byte is zero is the character U+0000 itself.
inline const uint8_t* token_end(const uint8_t* p) {
    if (*p == 0) return p + 1;
    return p + token_length(p);
}

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

// Byte offsets into UTF-8 that was encoded from a str, as indexes of that str: every byte but
// a continuation byte starts a character. Offsets come in increasing order, so one pass over
// the bytes serves all of them.
struct CharIndex {
    const uint8_t* data = nullptr;
    uint64_t byte = 0;
    uint64_t index = 0;
    bool ascii = true;  // offsets are indexes already
    uint64_t operator()(uint64_t offset) {
        if (ascii) return offset;
        uint64_t count = 0;
        for (; byte < offset; ++byte) count += (data[byte] & 0xC0) != 0x80;
        return index += count;
    }
};

// An object made by calling __new__ without __init__ has unconstructed storage, which pybind11
// would hand to a method as the native object. Only constructed objects are registered with
// their Python object, so that is what every method checks first.
template <class T>
T& constructed(T& object) {
    static const py::detail::type_info* const type = py::detail::get_type_info(typeid(T));
    const auto registered = py::reinterpret_steal<py::object>(
        py::detail::find_registered_python_instance(&object, type));
    if (!registered)
        throw py::type_error(std::string(type->type->tp_name) + " object has not been initialized");
    return object;
}

// An object's lock, which knows the thread holding it. The holder takes the interpreter back
// while it holds the lock (to make Python objects, to run signal handlers after an interrupted
// read), and a signal handler or a __del__ that runs then may call the same object again on the
// same thread: waiting would wait for itself, so that call raises instead.
class ObjectLock {
public:
    void lock() {
        mutex_.lock();
        holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    bool try_lock() {
        if (!mutex_.try_lock()) return false;
        holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        holder_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }
    // Only this thread ever stores its own id, so a relaxed load cannot see it by mistake.
    bool held_here() const {
        return holder_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> holder_{};
};

inline void refuse_reentry(const ObjectLock& m, const char* what) {
    if (m.held_here())
        throw std::runtime_error(
            std::string(what) + " is busy: a call on it is running on this thread (it was "
            "called again from a signal handler or a __del__ run meanwhile), and waiting for "
            "that call would wait for itself");
}

// Waits for a lock with the interpreter released (see the top of the file); `what` names the
// object for the error of a call that comes back into it.
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

struct Counts {
    WordCounts words;
    std::array<uint64_t, 8> types{};  // by class: type bit k-1 is class k
    ObjectLock lock;
};

// Counts the types of a batch's tokens, and the words among them (tokens whose type is in
// `word_mask`), lower-cased if asked; `lowered` has room for a token and what lower_word reads
// past it.
inline void count_batch(Counts& counts, const Batch& b, bool lower, uint64_t word_mask,
                 uint8_t* lowered) {
    const uint8_t* p = b.text_buffer;
    for (uint32_t i = 0; i < b.token_count; ++i) {
        const uint8_t* const end = token_end(p);
        const uint64_t type = b.types_buffer[i];
        ++counts.types[class_of_type(static_cast<TokenType>(type))];
        if ((type & word_mask) != 0) {
            const auto n = static_cast<uint32_t>(end - p);
            if (lower) lower_word(p, n, lowered);
            counts.words.add(lower ? lowered : p, n);
        }
        p = end + 1;
    }
}

}  // namespace vorlenta
