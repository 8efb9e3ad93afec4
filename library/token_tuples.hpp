// The library's Token objects, made from a batch as tuples of a subclass: (text, type, start,
// stop).
#pragma once

#include <pybind11/pybind11.h>

#include "engine/token_types.hpp"
#include "library/binding.hpp"
#include "library/char_index.hpp"
#include "sources/batch.hpp"

namespace vorlenta {

// `token_class` as a type whose objects are made here: a tuple subclass without fields of its
// own; TypeError for any other.
inline PyTypeObject* token_tuple_class(const py::type& token_class) {
    auto* cls = reinterpret_cast<PyTypeObject*>(token_class.ptr());
    if (!PyType_IsSubtype(cls, &PyTuple_Type) || cls->tp_basicsize != PyTuple_Type.tp_basicsize ||
        cls->tp_itemsize != PyTuple_Type.tp_itemsize)
        throw py::type_error("token_class must be a tuple subclass without fields of its own");
    return cls;
}

// Appends the batch's tokens to `out` as `cls(text, type, start, stop)`: `member` holds the
// TokenType members by class, `places` the tokens' byte ranges, `index` makes them the places
// the caller gives (str indexes, for the bytes of a str), and text_of(bytes, length, start,
// stop) makes a token's text, a new reference (nullptr with an error set).
template <class TextOf>
void append_token_tuples(const Batch& b, const TokenOffsets& places, CharIndex& index,
                         TextOf&& text_of, PyTypeObject* cls, PyObject* const* member,
                         py::list& out) {
    const uint8_t* p = b.text_buffer;
    // Neighbouring tokens share a place: one's stop is the next one's start, one int.
    py::object last_stop;
    uint64_t last_stop_value = 0;
    for (uint32_t i = 0; i < b.token_count; ++i) {
        const uint8_t* const end = token_end(p);
        const uint64_t start = index(places.starts[i]);
        const uint64_t stop = index(places.stops[i]);
        py::object token_str = py::reinterpret_steal<py::object>(
            text_of(p, static_cast<size_t>(end - p), start, stop));
        p = end + 1;
        if (!token_str) throw py::error_already_set();
        py::object start_int =
            last_stop && last_stop_value == start
                ? last_stop
                : py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(start));
        last_stop = py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(stop));
        last_stop_value = stop;
        if (!start_int || !last_stop) throw py::error_already_set();
        // A tuple subclass with no fields of its own, made the way tuple.__new__ makes one
        // (allocated at its length, then filled), but never tracked by the collector: it holds
        // a str, two ints and an enum member, none of which can lead back to it, and it never
        // changes, so no cycle can pass through it. The collector then skips the millions of
        // them a large text makes.
        PyObject* token = reinterpret_cast<PyObject*>(PyObject_GC_NewVar(PyTupleObject, cls, 4));
        if (token == nullptr) throw py::error_already_set();
        PyObject* type = member[class_of_type(static_cast<TokenType>(b.types_buffer[i]))];
        Py_INCREF(type);
        PyTuple_SET_ITEM(token, 0, token_str.release().ptr());
        PyTuple_SET_ITEM(token, 1, type);
        PyTuple_SET_ITEM(token, 2, start_int.release().ptr());
        PyTuple_SET_ITEM(token, 3, last_stop.inc_ref().ptr());
        const int appended = PyList_Append(out.ptr(), token);
        Py_DECREF(token);
        if (appended != 0) throw py::error_already_set();
    }
}

}  // namespace vorlenta
