// The batch as Python sees it: {} when empty, else {"text": str, "types": uint64 array}.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "sources/batch.hpp"
#include "sources/batch_text.hpp"

namespace vorlenta {

namespace py = pybind11;

// The batch's text as a str. Usually a copy of the code units the batch loop wrote; else
// decoded from its bytes, and ill-formed bytes (which the reader passes through from bytes
// input) go to the strict decoder, whose UnicodeDecodeError is the batch's error.
inline PyObject* batch_text(const Batch& b) {
    if (b.units_valid) {
        const uint16_t* const units = b.units_buffer;
        const uint64_t n = b.units_used;
        uint32_t bits = 0;  // the highest bit set is that of the largest unit: it fixes the width
        for (uint64_t i = 0; i < n; ++i) bits |= units[i];
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
    const uint8_t* const bytes = b.text_buffer;
    const uint64_t size = b.text_used;
    const TextShape shape = measure_text(bytes, size);
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), shape.max_char);
    if (text == nullptr) return nullptr;
    bool done;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            done = shape.max_char == 0x7F
                       ? (std::memcpy(PyUnicode_DATA(text), bytes, size), true)
                       : decode_text(bytes, size, shape, PyUnicode_1BYTE_DATA(text));
            break;
        case PyUnicode_2BYTE_KIND:
            done = decode_text(bytes, size, shape, PyUnicode_2BYTE_DATA(text));
            break;
        default:
            done = decode_text(bytes, size, shape, PyUnicode_4BYTE_DATA(text));
            break;
    }
    if (done) return text;
    Py_DECREF(text);
    return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(bytes),
                                       static_cast<Py_ssize_t>(size));
}

// `owner` is the tokenizer's Python object: the array views its memory, so it keeps the owner
// alive. NumPy is imported here, by the first non-empty batch, never at module import.
inline py::dict batch_result(const Batch& b, py::handle owner) {
    py::dict result;
    if (b.token_count == 0) return result;
    PyObject* text = batch_text(b);
    if (text == nullptr) throw py::error_already_set();
    result["text"] = py::reinterpret_steal<py::str>(text);
    result["types"] = py::array_t<uint64_t>({static_cast<py::ssize_t>(b.token_count)},
                                            {static_cast<py::ssize_t>(sizeof(uint64_t))},
                                            b.types_buffer, owner);
    return result;
}

// Runs the batch loop of a tokenizer and returns its result.
template <class Tokenizer>
py::dict next_batch(Tokenizer& t) {
    t.get_batch();
    // The tokenizer's existing Python object: pybind11 finds it from the native pointer.
    py::object owner = py::cast(&t, py::return_value_policy::reference);
    return batch_result(t.batch, owner);
}

}  // namespace vorlenta
