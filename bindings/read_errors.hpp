// What both bindings do around the file reader (sources/file_bytes.hpp): its check runs the
// interpreter's signal handlers, and the error that stopped a batch holding tokens is held back
// until those tokens are delivered.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>

#include "bindings/raised_exception.hpp"
#include "sources/file_bytes.hpp"

namespace vorlenta {

namespace py = pybind11;

// The reader's check in both bindings (a ReadCheck's context): runs the interpreter's signal
// handlers after a read that a signal interrupted and before every `every`-th read, and stops
// the batch when one of them raised, its exception set; a handler that returns costs the batch
// nothing. vorlentaCXX reads with the interpreter held, and looks before every read: a look at a
// flag. The library reads with it released and takes it back to look, which may mean waiting
// for another thread: before every 256th read (16 MiB), which still stops a call that reads an
// endless input and keeps none of it soon after Ctrl-C.
struct SignalCheck {
    uint32_t every;
    uint32_t reads = 0;

    ReadCheck check() { return ReadCheck{run_signal_handlers, this}; }

    static bool run_signal_handlers(void* context, bool interrupted) {
        SignalCheck& c = *static_cast<SignalCheck*>(context);
        if (!interrupted && ++c.reads < c.every) return false;
        c.reads = 0;
        py::gil_scoped_acquire held;  // only a count where it is held already
        return PyErr_CheckSignals() != 0;
    }
};

// OSError(errno, its text, the file name), of the subclass the errno has.
inline void set_os_error(int error, py::handle filename) {
    PyErr_SetObject(PyExc_OSError, py::make_tuple(error, std::strerror(error), filename).ptr());
}

[[noreturn]] inline void raise_os_error(int error, py::handle filename) {
    set_os_error(error, filename);
    throw py::error_already_set();
}

// The error of a read that stopped a batch holding tokens: the batch comes first, and the next
// call raises this, reading nothing; the call after that reads at the same place again.
struct HeldError {
    py::object error;

    void raise_if_held() {
        if (!error) return;
        PyErr_SetRaisedException(error.release().ptr());
        throw py::error_already_set();
    }

    // After a batch that `read_error` stopped (nothing to do when it is 0): the exception of
    // the signal handler that stopped it, else OSError of the failed read, raised now when the
    // batch has no tokens, else held for the next call.
    void raise_or_hold(int read_error, py::handle filename, bool has_tokens) {
        if (read_error == 0) return;
        if (!PyErr_Occurred()) set_os_error(read_error, filename);
        if (!has_tokens) throw py::error_already_set();
        error = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
    }
};

}  // namespace vorlenta
