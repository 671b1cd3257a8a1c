// Borrowing the memory of an object that exports the buffer protocol (a
// NumPy array), released when the view goes out of scope.
#pragma once

#include "error.h"

#include <Python.h>

#include <bit>
#include <new>

namespace pm {

class BufferView {
public:
    // Throws PyError when `obj` cannot export a buffer with `flags`.
    BufferView(PyObject* obj, int flags) { check(PyObject_GetBuffer(obj, &view_, flags)); }
    // Stays empty instead, with no error left set; a null `obj` leaves it empty.
    BufferView(PyObject* obj, int flags, std::nothrow_t) noexcept {
        if (obj && PyObject_GetBuffer(obj, &view_, flags) < 0) {
            PyErr_Clear();
            view_ = Py_buffer{};
        }
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    explicit operator bool() const noexcept { return view_.obj != nullptr; }
    const Py_buffer& operator*() const { return view_; }
    const Py_buffer* operator->() const { return &view_; }
    template <typename Element>
    Element* data() const {
        return static_cast<Element*>(view_.buf);
    }

    // The single-character element code of the format when the elements are
    // in this machine's own byte order, else 0: "d", "@d", "=d" and, on a
    // little-endian machine, "<d" all give 'd'. No format means bytes.
    char element_code() const {
        const char* format = view_.format ? view_.format : "B";
        constexpr char own_order = std::endian::native == std::endian::little ? '<' : '>';
        if (*format == '@' || *format == '=' || *format == own_order || (*format == '!' && own_order == '>'))
            ++format;
        return format[0] != '\0' && format[1] == '\0' ? format[0] : 0;
    }

private:
    Py_buffer view_{};
};

}  // namespace pm
