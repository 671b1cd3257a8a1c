// Python errors as C++ exceptions.
//
// Inside the engine a failing C-API call throws `PyError`; the Python
// exception itself stays set in the interpreter. The throw unwinds through
// the `Ref`s on the way, releasing every temporary, and is caught where
// control returns to the interpreter: every entry point runs its body through
// `boundary`, which turns any C++ exception back into a Python error and a
// NULL / -1 return. Entry points are `noexcept`, so nothing can unwind into
// the interpreter's C frames.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

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
[[noreturn]] void raise(PyObject* type, const char* format, const Args&... args) {
    PyErr_Format(type, format, args...);
    raise_current();
}

// Sets the Python error for the C++ exception being handled; call it only
// from a catch block. A PyError already has its exception set (or, in the
// exec step, deliberately none); anything else becomes MemoryError or
// SystemError, so that no C++ exception is ever lost.
inline void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "C++ exception of unknown type in native code");
    }
}

// Runs body() and returns its result, or `failure` with a Python error set
// when it throws.
template <typename Result, typename Body>
Result boundary(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_exception();
        return failure;
    }
}

}  // namespace pm
