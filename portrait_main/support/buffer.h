// Borrowing the memory of an object that exports the buffer protocol (a
// NumPy array), released when the view goes out of scope.
#pragma once

#include "error.h"

#include <Python.h>

#include <cstring>

namespace pm {

class BufferView {
public:
    // Throws PyError when `obj` cannot export a buffer with `flags`.
    BufferView(PyObject* obj, int flags) { check(PyObject_GetBuffer(obj, &view_, flags)); }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    const Py_buffer& operator*() const { return view_; }
    template <typename Element>
    Element* data() const {
        return static_cast<Element*>(view_.buf);
    }
    const Py_buffer* operator->() const { return &view_; }

    // The single-character element code of the format, or 0 when the format
    // is anything else ("d", "<d", "=d" and "@d" all give 'd').
    char element_code() const {
        const char* format = view_.format ? view_.format : "B";
        if (*format == '@' || *format == '=' || *format == '<')
            ++format;
        return std::strlen(format) == 1 ? *format : 0;
    }

private:
    Py_buffer view_{};
};

}  // namespace pm
