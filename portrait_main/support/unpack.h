// Unpacking a value into a fixed number of names, as `a, b = value` does.
// The failures are this module's own ValueError formats, "too many values to
// unpack (expected %zd)" and "need more than %zd value%.1s to unpack".
#pragma once

#include "object.h"

#include <array>

namespace pm {

[[noreturn]] inline void raise_too_many_values(Py_ssize_t expected) {
    raise(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

[[noreturn]] inline void raise_need_more_values(Py_ssize_t found) {
    raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

template <size_t N>
std::array<Ref, N> unpack(Handle value) {
    constexpr auto expected = static_cast<Py_ssize_t>(N);
    std::array<Ref, N> items;
    PyObject* obj = value.get();
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size > expected)
            raise_too_many_values(expected);
        if (size < expected)
            raise_need_more_values(size);
        for (size_t i = 0; i < N; ++i)
            items[i] = Ref::borrow(PySequence_Fast_GET_ITEM(obj, static_cast<Py_ssize_t>(i)));
        return items;
    }
    Ref iterator = own(PyObject_GetIter(obj));
    for (size_t i = 0; i < N; ++i) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (PyErr_Occurred())
                raise_current();
            raise_need_more_values(static_cast<Py_ssize_t>(i));
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra)
        raise_too_many_values(expected);
    if (PyErr_Occurred())
        raise_current();
    return items;
}

}  // namespace pm
