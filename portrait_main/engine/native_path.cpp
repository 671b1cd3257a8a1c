#include "native_path.h"

#include "../support/buffer.h"
#include "../support/gil.h"
#include "../support/globals.h"
#include "../support/object.h"
#include "kernels/blend.h"
#include "kernels/normalise.h"
#include "kernels/pack.h"
#include "kernels/parallel.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <cstdint>
#include <vector>

namespace pm::engine::native {
namespace {

// Pixels per thread below which splitting a pass costs more than it saves.
constexpr std::size_t min_pixels_per_thread = 256 * 1024;

// An attribute of cv2 or numpy as it was at import.
struct Binding {
    bool of_cv2;  // else of np
    const char* name;
    Ref value;
};

struct ImportState {
    bool complete = false;
    Ref cv2, np;
    std::vector<Binding> bindings;  // what the run uses, checked before each native pass
    Ref ndarray, empty, float32, uint8;
};

ImportState& imports() {
    static ImportState* state = new ImportState;  // never destroyed, like the module's names
    return *state;
}

constexpr std::array<const char*, 7> cv2_used = {
    "imread", "cvtColor", "COLOR_BGR2RGB", "resize", "INTER_LINEAR", "INTER_NEAREST", "imwrite"};
constexpr std::array<const char*, 5> np_used = {"float32", "transpose", "expand_dims", "full", "uint8"};

Ref attribute_or_empty(PyObject* owner, const char* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(owner, name, &value) < 0)
        PyErr_Clear();
    return Ref::steal(value);
}

Ref module_global(const char* name) {
    PyObject* dict = globals::module_dict();
    PyObject* value = nullptr;
    if (!dict || PyDict_GetItemStringRef(dict, name, &value) < 0)
        PyErr_Clear();
    return Ref::steal(value);
}

bool bindings_unchanged() {
    ImportState& state = imports();
    if (!state.complete)
        return false;
    Ref cv2 = module_global("cv2");
    Ref np = module_global("np");
    if (cv2.get() != state.cv2.get() || np.get() != state.np.get())
        return false;
    for (const Binding& binding : state.bindings) {
        PyObject* owner = binding.of_cv2 ? cv2.get() : np.get();
        if (attribute_or_empty(owner, binding.name).get() != binding.value.get())
            return false;
    }
    return true;
}

// The shape of a C-contiguous ndarray (the exact type) of N axes and element
// `code`, none of them empty; nothing for any other object.
template <std::size_t N>
std::optional<std::array<Py_ssize_t, N>> plain_array_shape(PyObject* obj, char code) {
    if (Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(imports().ndarray.get()))
        return std::nullopt;
    Py_buffer view{};
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::optional<std::array<Py_ssize_t, N>> shape;
    if (view.ndim == static_cast<int>(N) && view.format && view.format[0] == code && view.format[1] == '\0') {
        shape.emplace();
        std::copy_n(view.shape, N, shape->begin());
        if (std::find(shape->begin(), shape->end(), 0) != shape->end())
            shape.reset();
    }
    PyBuffer_Release(&view);
    return shape;
}

bool is_three_channel(PyObject* obj, char code) {
    auto shape = plain_array_shape<3>(obj, code);
    return shape && (*shape)[2] == 3;
}

// np.empty(shape, dtype) and its memory, which stays where it is for the
// array's lifetime: nothing else holds the new array to resize it.
template <typename Element, typename... Sizes>
std::pair<Ref, Element*> new_array(const Ref& dtype, Sizes... shape) {
    Ref array = call(imports().empty, tuple_of(int_from(Py_ssize_t{shape})...), dtype);
    BufferView view(array.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
    return {std::move(array), view.data<Element>()};
}

// Runs body(begin, end) over [0, pixels) without the GIL, split across cores
// when the photograph is large enough to pay for it.
template <typename Body>
void per_pixel_pass(std::size_t pixels, Body body) {
    ReleasedGil released;
    kernels::parallel_for(pixels, min_pixels_per_thread, body);
}

}  // namespace

void remember_imports(PyObject* module_dict) {
    ImportState fresh;
    auto lookup = [module_dict](const char* name) {
        PyObject* value = nullptr;
        if (PyDict_GetItemStringRef(module_dict, name, &value) < 0)
            PyErr_Clear();
        return Ref::steal(value);
    };
    fresh.cv2 = lookup("cv2");
    fresh.np = lookup("np");
    if (!fresh.cv2 || !fresh.np)
        return;
    bool complete = true;
    for (const char* name : cv2_used) {
        fresh.bindings.push_back({true, name, attribute_or_empty(fresh.cv2.get(), name)});
        complete = complete && fresh.bindings.back().value;
    }
    for (const char* name : np_used) {
        fresh.bindings.push_back({false, name, attribute_or_empty(fresh.np.get(), name)});
        complete = complete && fresh.bindings.back().value;
    }
    fresh.ndarray = attribute_or_empty(fresh.np.get(), "ndarray");
    fresh.empty = attribute_or_empty(fresh.np.get(), "empty");
    fresh.float32 = attribute_or_empty(fresh.np.get(), "float32");
    fresh.uint8 = attribute_or_empty(fresh.np.get(), "uint8");
    fresh.complete = complete && fresh.ndarray && PyType_Check(fresh.ndarray.get()) && fresh.empty &&
                     fresh.float32 && fresh.uint8;
    imports() = std::move(fresh);
}

void forget_imports() { imports() = ImportState{}; }

bool takes_photo(PyObject* img) {
    return bindings_unchanged() && is_three_channel(img, 'B');
}

Ref normalise_photo(PyObject* img) {
    BufferView source(img, PyBUF_C_CONTIGUOUS);
    const Py_ssize_t rows = source->shape[0];
    const Py_ssize_t columns = source->shape[1];
    auto [normalised, rgb] = new_array<float>(imports().float32, rows, columns, 3);
    const auto* bgr = source.data<const std::uint8_t>();
    per_pixel_pass(static_cast<std::size_t>(rows * columns), [=](std::size_t begin, std::size_t end) {
        kernels::bgr_to_model_rgb(bgr + 3 * begin, rgb + 3 * begin, end - begin);
    });
    return std::move(normalised);
}

bool takes_resized(PyObject* image) {
    return bindings_unchanged() && is_three_channel(image, 'f');
}

Ref pack_model_input(PyObject* image) {
    BufferView source(image, PyBUF_C_CONTIGUOUS);
    const Py_ssize_t rows = source->shape[0];
    const Py_ssize_t columns = source->shape[1];
    auto [tensor, planes] = new_array<float>(imports().float32, 1, 3, rows, columns);
    ReleasedGil released;
    kernels::interleaved_to_planes(source.data<const float>(), planes, static_cast<std::size_t>(rows),
                                   static_cast<std::size_t>(columns));
    return std::move(tensor);
}

bool takes_matte(PyObject* matte, PyObject* img) {
    if (!bindings_unchanged())
        return false;
    auto photo = plain_array_shape<3>(img, 'B');
    auto plane = plain_array_shape<2>(matte, 'f');
    return photo && plane && (*photo)[2] == 3 && (*plane)[0] == (*photo)[0] && (*plane)[1] == (*photo)[1];
}

Ref blend_over_white(PyObject* img, PyObject* matte) {
    BufferView source(img, PyBUF_C_CONTIGUOUS);
    BufferView alpha(matte, PyBUF_C_CONTIGUOUS);
    const Py_ssize_t rows = source->shape[0];
    const Py_ssize_t columns = source->shape[1];
    auto [frame, out] = new_array<std::uint8_t>(imports().uint8, rows, columns, 3);
    const auto* image = source.data<const std::uint8_t>();
    const auto* m = alpha.data<const float>();
    per_pixel_pass(static_cast<std::size_t>(rows * columns), [=](std::size_t begin, std::size_t end) {
        kernels::blend_over_white(image + 3 * begin, m + begin, out + 3 * begin, end - begin);
    });
    return std::move(frame);
}

}  // namespace pm::engine::native
