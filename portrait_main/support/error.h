// Python errors as C++ exceptions.
//
// Inside the engine a failing C-API call throws `PyError`; the Python
// exception itself stays set in the interpreter. The throw unwinds through
// the `Ref`s on the way, releasing every temporary, and is caught at the one
// place where control returns to the interpreter (the method trampoline and
// the module's exec step), which turns it back into a NULL / -1 return.
#pragma once

#include <Python.h>

namespace pm {

struct PyError {};

[[noreturn]] inline void raise_current() { throw PyError{}; }

// Throws when a C-API call returned NULL (an exception is then set).
inline PyObject* check(PyObject* result) {
    if (result == nullptr) [[unlikely]]
        raise_current();
    return result;
}

// Throws when a C-API call returned a negative status.
inline int check(int status) {
    if (status < 0) [[unlikely]]
        raise_current();
    return status;
}

// Sets `type` with a formatted message and throws.
template <typename... Args>
[[noreturn]] void raise(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    raise_current();
}

}  // namespace pm
