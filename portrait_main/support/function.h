// Native functions that behave like Python functions.
//
// A function object of this type is called through vectorcall, binds its
// arguments with the shared binder, and, stored in a class namespace, binds
// to instances exactly like a `def` (it is a non-data descriptor). It carries
// `__name__`, `__qualname__`, `__module__`, `__doc__`, `__defaults__` and a
// `__text_signature__`, so `inspect.signature()` and `help()` show the real
// parameter list. A failure leaving the function gains a traceback entry
// named "<module>.<qualname>".
#pragma once

#include "ref.h"

#include <span>

namespace pm {

// The arguments of one call, bound in parameter order (borrowed references).
using Arguments = std::span<PyObject* const>;

// A method body: returns its result, or throws PyError with an exception set.
using FunctionBody = Ref (*)(Arguments);

struct FunctionDef {
    const char* name;
    std::span<const char* const> parameters;
    Py_ssize_t required;  // the rest default to None
    const char* doc;
    FunctionBody body;
};

inline constexpr Py_ssize_t max_parameters = 8;

// Makes the function object for `def`, qualified as "<owner>.<name>" and
// belonging to the module `module_name`. `def` must outlive the object.
Ref make_function(const FunctionDef& def, const char* owner, const char* module_name);

}  // namespace pm
