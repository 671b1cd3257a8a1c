#include "globals.h"

#include "error.h"

namespace pm::globals {
namespace {

// Both live as long as the module they belong to; they are process-wide and
// never destroyed, so nothing is released after the interpreter has gone.
Ref& dict_slot() {
    static Ref* slot = new Ref;
    return *slot;
}
Ref& builtins_slot() {
    static Ref* slot = new Ref;
    return *slot;
}

}  // namespace

void install(PyObject* module_dict, PyObject* builtins_module) {
    dict_slot() = Ref::borrow(module_dict);
    builtins_slot() = Ref::borrow(builtins_module);
}

PyObject* module_dict() { return dict_slot().get(); }

Ref lookup(Handle name) {
    PyObject* value = nullptr;
    if (PyObject* dict = dict_slot().get()) {
        if (check(PyDict_GetItemRef(dict, name.get(), &value)) > 0)
            return Ref::steal(value);
    }
    if (PyObject* builtins = builtins_slot().get()) {
        if (check(PyObject_GetOptionalAttr(builtins, name.get(), &value)) > 0)
            return Ref::steal(value);
    }
    raise(PyExc_NameError, "name '%U' is not defined", name.get());
}

}  // namespace pm::globals
