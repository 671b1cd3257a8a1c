#include "saturate_blend.h"

#include "../support/buffer.h"
#include "../support/gil.h"
#include "kernels/saturate.h"

namespace pm::engine {
namespace {

// Calls row(first, count, byte_stride) for every run along the last axis,
// or once for the whole buffer when it is contiguous.
template <typename Row>
void for_each_row(const Py_buffer& view, Row row) {
    if (view.ndim == 0 || PyBuffer_IsContiguous(&view, 'C')) {
        row(static_cast<char*>(view.buf), static_cast<std::size_t>(view.len / view.itemsize), view.itemsize);
        return;
    }
    const int last = view.ndim - 1;
    Py_ssize_t rows = 1;
    for (int axis = 0; axis < last; ++axis)
        rows *= view.shape[axis];
    for (Py_ssize_t r = 0; r < rows; ++r) {
        char* first = static_cast<char*>(view.buf);
        for (Py_ssize_t rest = r, axis = last - 1; axis >= 0; --axis) {
            first += (rest % view.shape[axis]) * view.strides[axis];
            rest /= view.shape[axis];
        }
        row(first, static_cast<std::size_t>(view.shape[last]), view.strides[last]);
    }
}

}  // namespace

void saturate_blend(PyObject* frame) {
    if (!PyObject_CheckBuffer(frame))
        return;
    BufferView view(frame, PyBUF_RECORDS);
    const char code = view.element_code();
    if (code != 'd' && code != 'f')
        return;
    ReleasedGil released;
    for_each_row(*view, [code](char* first, std::size_t count, std::ptrdiff_t stride) {
        if (code == 'd')
            kernels::saturate_to_byte_range<double>(first, count, stride);
        else
            kernels::saturate_to_byte_range<float>(first, count, stride);
    });
}

}  // namespace pm::engine
