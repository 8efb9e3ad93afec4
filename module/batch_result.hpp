// The batch as Python sees it: {} when empty, else {"text": str, "types": uint64 array}.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "sources/batch.hpp"

namespace vorlenta {

namespace py = pybind11;

// `owner` is the tokenizer's Python object: the array views its memory, so it keeps the owner
// alive. NumPy is imported here, by the first non-empty batch, never at module import.
inline py::dict batch_result(const Batch& b, py::handle owner) {
    py::dict result;
    if (b.token_count == 0) return result;
    PyObject* text = PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(b.text_buffer),
                                                 static_cast<Py_ssize_t>(b.text_used));
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
