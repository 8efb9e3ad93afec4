// The check every method of both bindings makes first: that its object was constructed.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace vorlenta {

// An object made by calling the class's __new__ without __init__ (or, for vorlentaCXX's
// streams, made at all from Python) has raw, unconstructed storage, which pybind11 would hand
// to a method as the native object: garbage pointers, then a crash. Only constructed objects
// are registered with their Python object, so that is what is checked.
template <class T>
T& constructed(T& object) {
    namespace py = pybind11;
    static const py::detail::type_info* const type = py::detail::get_type_info(typeid(T));
    // The lookup hands back a new reference, released here.
    const auto registered = py::reinterpret_steal<py::object>(
        py::detail::find_registered_python_instance(&object, type));
    if (!registered)
        throw py::type_error(std::string(type->type->tp_name) + " object has not been initialized");
    return object;
}

}  // namespace vorlenta
