// The arrays the native passes take: NumPy's own ndarray, C-contiguous, in
// this machine's byte order, told apart from look-alikes at the C level.
#pragma once

#include "../support/buffer.h"

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <new>
#include <string_view>

namespace pm::engine::native {

// A type compiled into an extension (Python code can only make heap types)
// with this full name.
inline bool is_compiled_type(PyTypeObject* type, std::string_view module, std::string_view name) {
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE)
        return false;
    const std::string_view full = type->tp_name;
    return full.size() == module.size() + 1 + name.size() && full.starts_with(module) && full[module.size()] == '.' &&
           full.ends_with(name);
}

inline bool is_numpy_array_type(PyTypeObject* type) { return is_compiled_type(type, "numpy", "ndarray"); }

// A C-contiguous array of NumPy's own ndarray type (no subclass) with N axes,
// none of them empty, and elements of type `code`; its memory is borrowed for
// as long as this object lives. Anything else leaves it false.
template <std::size_t N>
class PlainArray {
public:
    // Only NumPy's own type is asked for a buffer: any other object's buffer
    // export could run Python code. A null `obj` gives a false one.
    PlainArray(PyObject* obj, char code) noexcept
        : view_(obj && is_numpy_array_type(Py_TYPE(obj)) ? obj : nullptr, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT,
                std::nothrow),
          type_(obj ? Py_TYPE(obj) : nullptr) {
        if (!view_ || view_->ndim != static_cast<int>(N) || view_.element_code() != code)
            return;
        std::copy_n(view_->shape, N, shape_.begin());
        plain_ = std::find(shape_.begin(), shape_.end(), 0) == shape_.end();
    }

    explicit operator bool() const noexcept { return plain_; }
    Py_ssize_t extent(std::size_t axis) const { return shape_[axis]; }
    std::size_t pixels() const { return static_cast<std::size_t>(shape_[0] * shape_[1]); }
    PyTypeObject* type() const { return type_; }
    template <typename Element>
    const Element* data() const {
        return view_.data<const Element>();
    }

private:
    BufferView view_;
    PyTypeObject* type_;
    std::array<Py_ssize_t, N> shape_{};
    bool plain_ = false;
};

}  // namespace pm::engine::native
