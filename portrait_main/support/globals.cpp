#include "globals.h"

#include "../module_state.h"
#include "error.h"

namespace pm::globals {

Ref find(Handle name) {
    PyObject* value = nullptr;
    if (PyObject* dict = state().module_dict.get())
        check(PyDict_GetItemRef(dict, name.get(), &value));
    return Ref::steal(value);
}

Ref lookup(Handle name) {
    if (Ref value = find(name))
        return value;
    PyObject* value = nullptr;
    if (PyObject* builtins = state().builtins.get()) {
        if (check(PyObject_GetOptionalAttr(builtins, name.get(), &value)) > 0)
            return Ref::steal(value);
    }
    raise(PyExc_NameError, "name '%U' is not defined", name.get());
}

}  // namespace pm::globals
