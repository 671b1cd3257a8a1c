// The object protocol, spelled so that engine code reads like the Python it
// does: every helper returns an owned `Ref` and throws `PyError` on failure.
// Arguments are taken as `const Args&...` and viewed through `Handle`, so
// passing a `Ref` to a call costs no reference-count traffic.
#pragma once

#include "error.h"
#include "ref.h"

#include <array>
#include <cstddef>

namespace pm {

// Takes ownership of a new reference returned by a C-API call; throws if the
// call failed.
inline Ref own(PyObject* new_reference) { return Ref::steal(check(new_reference)); }

inline Ref getattr(Handle obj, Handle name) { return own(PyObject_GetAttr(obj.get(), name.get())); }

inline void setattr(Handle obj, Handle name, Handle value) {
    check(PyObject_SetAttr(obj.get(), name.get(), value.get()));
}

// The object's own truth test.
inline bool truth(Handle obj) { return check(PyObject_IsTrue(obj.get())) != 0; }

// obj[key], through the general indexing protocol.
inline Ref item(Handle obj, Handle key) { return own(PyObject_GetItem(obj.get(), key.get())); }

inline bool is_none(Handle obj) { return obj.get() == Py_None; }

inline Ref none() { return Ref::borrow(Py_None); }

// callable(*args): positional arguments only.
template <typename... Args>
Ref call(Handle callable, const Args&... args) {
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    std::array<PyObject*, 1 + sizeof...(Args)> stack{nullptr, Handle(args).get()...};
    return own(PyObject_Vectorcall(callable.get(), stack.data() + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}

// callable(*positional, **keywords) where `keyword_names` is a tuple of the
// keyword names and the last len(keyword_names) of `args` are their values.
template <typename... Args>
Ref call_with_keywords(Handle callable, Handle keyword_names, const Args&... args) {
    std::array<PyObject*, 1 + sizeof...(Args)> stack{nullptr, Handle(args).get()...};
    const auto positional =
        static_cast<size_t>(static_cast<Py_ssize_t>(sizeof...(Args)) - PyTuple_GET_SIZE(keyword_names.get()));
    return own(PyObject_Vectorcall(callable.get(), stack.data() + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   keyword_names.get()));
}

// obj.name(*args): the attribute is looked up on the object at the call, so an
// override in a subclass or on the instance is the one called.
template <typename... Args>
Ref call_method(Handle obj, Handle name, const Args&... args) {
    std::array<PyObject*, 1 + sizeof...(Args)> stack{obj.get(), Handle(args).get()...};
    return own(
        PyObject_VectorcallMethod(name.get(), stack.data(), stack.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <typename... Items>
Ref tuple_of(const Items&... items) {
    return own(PyTuple_Pack(sizeof...(Items), Handle(items).get()...));
}

template <typename... Items>
Ref list_of(const Items&... items) {
    Ref list = own(PyList_New(sizeof...(Items)));
    Py_ssize_t i = 0;
    (PyList_SET_ITEM(list.get(), i++, Py_NewRef(Handle(items).get())), ...);
    return list;
}

inline Ref dict_of(Handle key, Handle value) {
    Ref dict = own(PyDict_New());
    check(PyDict_SetItem(dict.get(), key.get(), value.get()));
    return dict;
}

inline Ref int_from(Py_ssize_t value) { return own(PyLong_FromSsize_t(value)); }
inline Ref float_from(double value) { return own(PyFloat_FromDouble(value)); }
inline Ref str_from(const char* utf8) { return own(PyUnicode_FromString(utf8)); }
inline Ref interned(const char* utf8) { return own(PyUnicode_InternFromString(utf8)); }

// Python's own arithmetic, with the operand types deciding the result type.
inline Ref add(Handle a, Handle b) { return own(PyNumber_Add(a.get(), b.get())); }
inline Ref subtract(Handle a, Handle b) { return own(PyNumber_Subtract(a.get(), b.get())); }
inline Ref multiply(Handle a, Handle b) { return own(PyNumber_Multiply(a.get(), b.get())); }
inline Ref true_divide(Handle a, Handle b) { return own(PyNumber_TrueDivide(a.get(), b.get())); }
inline Ref inplace_subtract(Handle a, Handle b) { return own(PyNumber_InPlaceSubtract(a.get(), b.get())); }
inline Ref inplace_true_divide(Handle a, Handle b) { return own(PyNumber_InPlaceTrueDivide(a.get(), b.get())); }

}  // namespace pm
