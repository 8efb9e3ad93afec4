// PyErr_GetRaisedException and PyErr_SetRaisedException on every CPython the library runs on:
// both bindings hold a pending error back as one exception object.
#pragma once

#include <Python.h>

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
