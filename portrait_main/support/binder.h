// Binding a vectorcall argument list to a function's parameters.
//
// Every parameter may be passed by position or by keyword; trailing
// parameters may have defaults. The errors are TypeErrors in the formats this
// module defines for its methods, counting every parameter (`self` included).
#pragma once

#include <Python.h>

namespace pm {

struct Parameters {
    const char* function_name;  // as it appears in messages, e.g. "_image"
    PyObject* const* names;     // interned str, one per parameter
    Py_ssize_t count;
    Py_ssize_t required;  // the first `required` parameters have no default
    PyObject* defaults;   // tuple of count - required values, or nullptr
};

// Fills `bound[0 .. count)` with borrowed references to the argument of each
// parameter, taking defaults where nothing was passed. Throws PyError with a
// TypeError set when the arguments do not fit.
void bind_arguments(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound);

}  // namespace pm
