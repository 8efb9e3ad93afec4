// The batch as Python sees it: {} when empty, else {"text": str, "types": uint64 array}.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "bindings/numpy_setup.hpp"
#include "module/file_tokenizer_object.hpp"
#include "sources/batch.hpp"
#include "sources/text_tokenizer.hpp"

namespace vorlenta {

namespace py = pybind11;

// The batch's text as a str. Usually a copy of the code units the batch loop wrote. A batch
// with a character that has none (one above U+FFFF, or ill-formed bytes, which the reader
// passes through from bytes input) goes to CPython's strict decoder: as fast as a decoder of
// our own on such text, and its UnicodeDecodeError is the batch's error.
inline PyObject* batch_text(const Batch& b) {
    if (!b.units_valid)
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(b.text_buffer),
                                    static_cast<Py_ssize_t>(b.text_used), nullptr);
    const uint16_t* const units = b.units_buffer;
    const uint64_t n = b.units_used;
    // The highest bit set is that of the largest unit: it fixes the width. Where the batch
    // loop saw a unit from U+0100 up, it is two bytes wide whatever the others are.
    uint32_t bits = 0xFFFF;
    if (!b.units_wide) {
        bits = 0;
        for (uint64_t i = 0; i < n; ++i) bits |= units[i];
    }
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(n), bits < 0x80 ? 0x7F : bits);
    if (text == nullptr) return nullptr;
    if (bits < 0x80) {
        std::memcpy(PyUnicode_DATA(text), b.text_buffer, n);  // ASCII: the bytes themselves
    } else if (bits < 0x100) {
        Py_UCS1* out = PyUnicode_1BYTE_DATA(text);
        for (uint64_t i = 0; i < n; ++i) out[i] = static_cast<Py_UCS1>(units[i]);
    } else {
        std::memcpy(PyUnicode_2BYTE_DATA(text), units, n * sizeof(uint16_t));
    }
    return text;
}

// `owner` is the tokenizer's Python object: the array views its memory, so it keeps the owner
// alive. NumPy is set up here, by the first non-empty batch, never at module import: a
// tokenizer is made, configured and drained to {} without it. A set-up that fails (NumPy
// missing, or a signal handler that raised inside it) is that batch's error, as any failure
// to build its result is.
inline py::dict batch_result(const Batch& b, py::handle owner) {
    py::dict result;
    if (b.token_count == 0) return result;
    set_up_numpy("get_batch");
    PyObject* text = batch_text(b);
    if (text == nullptr) throw py::error_already_set();
    result["text"] = py::reinterpret_steal<py::str>(text);
    result["types"] = py::array_t<uint64_t>({static_cast<py::ssize_t>(b.token_count)},
                                            {static_cast<py::ssize_t>(sizeof(uint64_t))},
                                            b.types_buffer, owner);
    return result;
}

inline const Batch& read_batch(FromTextTokenizer& t) {
    t.get_batch();
    return t.batch;
}

// Runs the batch loop of a tokenizer and returns its result.
template <class Tokenizer>
py::dict next_batch(Tokenizer& t) {
    // A call made inside the NumPy set-up of another's first batch refuses before reading.
    refuse_numpy_reentry("get_batch");
    const Batch& b = read_batch(t);
    // The tokenizer's existing Python object: pybind11 finds it from the native pointer.
    py::object owner = py::cast(&t, py::return_value_policy::reference);
    return batch_result(b, owner);
}

}  // namespace vorlenta
