#include "binder.h"

#include "error.h"

namespace pm {
namespace {

bool same_name(PyObject* keyword, PyObject* name) {
    // Keywords written in the caller's source are interned like our names, so
    // the pointer test settles almost every lookup.
    return keyword == name || PyUnicode_Compare(keyword, name) == 0;
}

// Index of the parameter called `keyword`, or -1.
Py_ssize_t parameter_index(const Parameters& parameters, PyObject* keyword) {
    for (Py_ssize_t i = 0; i < parameters.count; ++i) {
        if (same_name(keyword, parameters.names[i]))
            return i;
    }
    return -1;
}

[[noreturn]] void raise_wrong_count(const Parameters& parameters, Py_ssize_t given) {
    const bool exact = parameters.required == parameters.count;
    const bool too_few = given < parameters.required;
    const Py_ssize_t expected = too_few ? parameters.required : parameters.count;
    const char* bound_word = exact ? "exactly" : (too_few ? "at least" : "at most");
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", parameters.function_name,
          bound_word, expected, expected == 1 ? "" : "s", given);
}

}  // namespace

void bind_arguments(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > parameters.count || (keyword_count == 0 && nargs < parameters.required))
        raise_wrong_count(parameters, nargs);

    for (Py_ssize_t i = 0; i < nargs; ++i)
        bound[i] = args[i];

    // Parameters after the positional ones: a keyword of that name, else the
    // default. The first required one that is missing is reported by its
    // position, which is how many arguments could be placed before it.
    Py_ssize_t keywords_used = 0;
    for (Py_ssize_t i = nargs; i < parameters.count; ++i) {
        PyObject* value = nullptr;
        for (Py_ssize_t k = 0; k < keyword_count && !value; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(keyword) && same_name(keyword, parameters.names[i]))
                value = args[nargs + k];
        }
        if (value) {
            ++keywords_used;
        } else if (i < parameters.required) {
            raise_wrong_count(parameters, i);
        } else {
            value = PyTuple_GET_ITEM(parameters.defaults, i - parameters.required);
        }
        bound[i] = value;
    }

    if (keywords_used == keyword_count)
        return;

    // Some keyword went unused: report the first offending one, in the order
    // the caller wrote them.
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword))
            raise(PyExc_TypeError, "%.200s() keywords must be strings", parameters.function_name);
        const Py_ssize_t index = parameter_index(parameters, keyword);
        if (index < 0)
            raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", parameters.function_name, keyword);
        if (index < nargs)
            raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", parameters.function_name,
                  keyword);
    }
    // Only a name given twice in kwnames (impossible from Python code) gets here.
    raise(PyExc_TypeError, "%s() got multiple values for keyword argument", parameters.function_name);
}

}  // namespace pm
