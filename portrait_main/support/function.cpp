#include "function.h"

#include "../module_state.h"
#include "../portrait_main.h"
#include "binder.h"
#include "error.h"
#include "object.h"
#include "traceback.h"

#include <structmember.h>

#include <cstddef>
#include <new>

namespace pm {
namespace {

struct FunctionState {
    const FunctionDef* def = nullptr;
    Ref name;
    Ref qualname;
    Ref module;
    Ref doc;
    Ref defaults;         // tuple, or empty when every parameter is required
    Ref parameter_names;  // tuple of interned str
    Ref traceback_name;   // "<module>.<qualname>"
    Parameters parameters{};
};

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* weakreflist;  // weak references to the function, as a def has
    FunctionState state;    // constructed in place after allocation
};

NativeFunction* as_function(PyObject* obj) noexcept { return reinterpret_cast<NativeFunction*>(obj); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    const FunctionState& state = as_function(callable)->state;
    PyObject* result = boundary<PyObject*>(nullptr, [&] {
        PyObject* bound[max_parameters];
        bind_arguments(state.parameters, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
        Ref value = state.def->body(Arguments(bound, static_cast<size_t>(state.parameters.count)));
        if (!value)
            raise(PyExc_SystemError, "%U returned no result", state.qualname.get());
        return value.release();
    });
    if (!result)
        add_traceback_entry(PyUnicode_AsUTF8(state.traceback_name.get()));
    return result;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (as_function(self)->weakreflist)
        PyObject_ClearWeakRefs(self);
    as_function(self)->state.~FunctionState();
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// A plain function looked up on the class is itself; on an instance, a
// bound method.
PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->state.qualname.get(), self);
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->state.name.get()); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->state.qualname.get()); }
PyObject* get_module(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->state.module.get()); }
PyObject* get_doc(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->state.doc.get()); }
PyObject* get_defaults(PyObject* self, void*) noexcept {
    const Ref& defaults = as_function(self)->state.defaults;
    return Py_NewRef(defaults ? defaults.get() : Py_None);
}

// "(self, image_path, save_path, input_size=None)": what inspect parses.
PyObject* get_text_signature(PyObject* self, void*) noexcept {
    const FunctionState& state = as_function(self)->state;
    return boundary<PyObject*>(nullptr, [&] {
        Ref parts = own(PyList_New(0));
        for (Py_ssize_t i = 0; i < state.parameters.count; ++i) {
            Ref part = Ref::borrow(state.parameters.names[i]);
            if (i >= state.parameters.required) {
                PyObject* value = PyTuple_GET_ITEM(state.defaults.get(), i - state.parameters.required);
                part = own(PyUnicode_FromFormat("%U=%R", part.get(), value));
            }
            check(PyList_Append(parts.get(), part.get()));
        }
        Ref joined = own(PyUnicode_Join(str_from(", ").get(), parts.get()));
        return PyUnicode_FromFormat("(%U)", joined.get());
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled and copied by reference, as a def is: by module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->state.qualname.get());
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = function_type_name.data(),
    .basicsize = sizeof(NativeFunction),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

// Made by the first function of the module and kept in the module state; each
// function object also holds a reference to it, as instances of a heap type do.
PyTypeObject* function_type() {
    Ref& type = state().function_type;
    if (!type)
        type = own(PyType_FromSpec(&function_spec));
    return reinterpret_cast<PyTypeObject*>(type.get());
}

}  // namespace

Ref make_function(const FunctionDef& def, const char* owner, const char* module_name) {
    const auto count = static_cast<Py_ssize_t>(def.parameters.size());
    if (count > max_parameters || def.required > count)
        raise(PyExc_SystemError, "bad parameter list for %s", def.name);

    PyTypeObject* type = function_type();
    Ref object = own(type->tp_alloc(type, 0));
    auto* function = as_function(object.get());
    function->vectorcall = function_vectorcall;
    FunctionState& state = *new (&function->state) FunctionState{};

    state.def = &def;
    state.name = interned(def.name);
    state.qualname = own(PyUnicode_FromFormat("%s.%s", owner, def.name));
    state.module = interned(module_name);
    state.doc = str_from(def.doc);
    state.traceback_name = own(PyUnicode_FromFormat("%s.%U", module_name, state.qualname.get()));
    state.parameter_names = own(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(state.parameter_names.get(), i, interned(def.parameters[i]).release());
    if (def.required < count) {
        state.defaults = own(PyTuple_New(count - def.required));
        for (Py_ssize_t i = 0; i < count - def.required; ++i)
            PyTuple_SET_ITEM(state.defaults.get(), i, none().release());
    }
    state.parameters = Parameters{
        .function_name = def.name,
        .names = &PyTuple_GET_ITEM(state.parameter_names.get(), 0),
        .count = count,
        .required = def.required,
        .defaults = state.defaults.get(),
    };
    return object;
}

}  // namespace pm
