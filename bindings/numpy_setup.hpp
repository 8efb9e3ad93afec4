// NumPy's C API for the bindings that make arrays (vorlentaCXX and vorlenta._native): set up
// once per process, lazily, by the first call that needs it, so that importing a module never
// imports NumPy.
#pragma once

#include <pybind11/numpy.h>

#include <stdexcept>
#include <string>

namespace vorlenta {

// pybind11 sets NumPy's C API up behind a once-guard (npy_api::get(), a std::call_once inside
// gil_safe_call_once_and_store) that every array it makes passes through. The set-up runs Python
// code: the import of numpy, and NumPy's version check, whose allocations can start the
// collector. A signal handler or a __del__ that runs there on the same thread, and makes an
// array of its own, would wait on that guard for ever, Ctrl-C included. So a thread notes that
// it is setting up, and a call that comes back into it raises instead. Another thread waits
// for the set-up to end, as pybind11 has it do, with the interpreter released. Each module
// has a guard of its own (pybind11 keys it by the address of its static), and so a flag.
inline bool& numpy_ready() {
    static bool ready = false;  // read and written with the interpreter held
    return ready;
}

inline bool& numpy_setting_up() {
    static thread_local bool setting_up = false;
    return setting_up;
}

// Raises where the set-up runs on this thread already: a call that would reach it makes this
// check before it takes anything from its input, so that the refused call loses nothing.
inline void refuse_numpy_reentry(const char* call) {
    if (!numpy_ready() && numpy_setting_up())
        throw std::runtime_error(
            std::string(call) +
            " was called again while NumPy is being set up for the first batch, on the same "
            "thread (from a signal handler or a __del__ run meanwhile); waiting would wait for "
            "itself. Call it again once that first call has returned");
}

// `call` names the method, for the error.
inline void set_up_numpy(const char* call) {
    if (numpy_ready()) return;
    refuse_numpy_reentry(call);
    struct Mark {
        Mark() { numpy_setting_up() = true; }
        ~Mark() { numpy_setting_up() = false; }
    } mark;
    pybind11::detail::npy_api::get();
    numpy_ready() = true;
}

}  // namespace vorlenta
