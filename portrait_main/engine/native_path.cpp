#include "native_path.h"

#include "../module_state.h"
#include "../support/buffer.h"
#include "../support/gil.h"
#include "../support/globals.h"
#include "../support/object.h"
#include "kernels/blend.h"
#include "kernels/normalise.h"
#include "kernels/pack.h"
#include "kernels/parallel.h"
#include "plain_array.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <utility>

namespace pm::engine::native {
namespace {

// Pixels per thread below which splitting a pass costs more than it saves.
constexpr std::size_t min_pixels_per_thread = 256 * 1024;

// OpenCV's code for the conversion between B, G, R and R, G, B order
// (cv::COLOR_BGR2RGB, equal to cv::COLOR_RGB2BGR): it swaps channels 0 and 2.
constexpr long bgr_to_rgb_code = 4;

enum class Library { cv2, np };

// What the library's own object for a name is, told apart from any stand-in
// by facts that Python code cannot forge.
enum class Genuine {
    compiled_function,  // a builtin function of that name whose C code lies in OpenCV's shared object
    python_function,    // a NumPy function of that name, written in NumPy's own modules, bare or behind
                        // NumPy's dispatcher
    scalar_type,        // NumPy's compiled scalar type of that name (no Python class)
    swap_code,          // the int that makes cvtColor swap channels 0 and 2
};

// A name of cv2 or np that the steps a pass replaces read, one of the shared names.
struct Watched {
    Ref Names::*name;
    Library library;
    Genuine genuine;
};

constexpr Watched normalise_reads[] = {
    {&Names::cvtColor, Library::cv2, Genuine::compiled_function},
    {&Names::COLOR_BGR2RGB, Library::cv2, Genuine::swap_code},
    {&Names::float32, Library::np, Genuine::scalar_type},
};
constexpr Watched pack_reads[] = {
    {&Names::transpose, Library::np, Genuine::python_function},
    {&Names::float32, Library::np, Genuine::scalar_type},
};
constexpr Watched blend_reads[] = {
    {&Names::expand_dims, Library::np, Genuine::python_function},
    {&Names::full, Library::np, Genuine::python_function},
};

std::string_view utf8(PyObject* str) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (!text)
        raise_current();
    return {text, static_cast<std::size_t>(size)};
}

// The shared object that holds `address`, by its base address.
const void* shared_object_of(const void* address) {
    Dl_info info{};
    return address && dladdr(address, &info) ? info.dli_fbase : nullptr;
}

bool is_compiled_function(PyObject* obj, Handle name) {
    if (!PyCFunction_CheckExact(obj) && !Py_IS_TYPE(obj, &PyCMethod_Type))
        return false;
    const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(obj)->m_ml;
    if (!def || !def->ml_name || utf8(name.get()) != def->ml_name)
        return false;
    const void* code = reinterpret_cast<const void*>(def->ml_meth);
    const void* cv2_object = state().libraries.cv2_object;
    return cv2_object && shared_object_of(code) == cv2_object;
}

bool is_numpy_python_function(PyObject* obj, Handle name) {
    Ref function = Ref::borrow(obj);
    if (is_compiled_type(Py_TYPE(obj), "numpy", "_ArrayFunctionDispatcher")) {
        // The dispatcher's own attribute, read from its compiled type.
        PyObject* implementation = nullptr;
        if (check(PyObject_GetOptionalAttrString(obj, "_implementation", &implementation)) == 0)
            return false;
        function = Ref::steal(implementation);
    }
    if (!PyFunction_Check(function.get()))
        return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function.get()));
    if (utf8(code->co_name) != utf8(name.get()))
        return false;
    PyObject* module = nullptr;
    if (check(PyDict_GetItemStringRef(PyFunction_GET_GLOBALS(function.get()), "__name__", &module)) == 0)
        return false;
    Ref module_name = Ref::steal(module);
    if (!PyUnicode_Check(module_name.get()))
        return false;
    const std::string_view defined_in = utf8(module_name.get());
    return defined_in == "numpy" || defined_in.starts_with("numpy.");
}

bool is_genuine(const Watched& watched, PyObject* obj) {
    const Ref& name = names().*watched.name;
    switch (watched.genuine) {
        case Genuine::compiled_function:
            return is_compiled_function(obj, name);
        case Genuine::python_function:
            return is_numpy_python_function(obj, name);
        case Genuine::scalar_type:
            return PyType_Check(obj) &&
                   is_compiled_type(reinterpret_cast<PyTypeObject*>(obj), "numpy", utf8(name.get()));
        case Genuine::swap_code: {
            int overflow = 0;
            return PyLong_CheckExact(obj) && PyLong_AsLongAndOverflow(obj, &overflow) == bgr_to_rgb_code;
        }
    }
    return false;
}

// Whether the module's cv2 and np are the imported libraries and each
// watched name of theirs is bound to the library's own object.
bool reads_are_genuine(std::span<const Watched> reads) {
    const Libraries& libraries = state().libraries;
    try {
        Ref cv2 = globals::find(names().cv2);
        Ref np = globals::find(names().np);
        if (!libraries.cv2 || cv2.get() != libraries.cv2.get() || np.get() != libraries.np.get())
            return false;
        for (const Watched& watched : reads) {
            PyObject* owner = watched.library == Library::cv2 ? cv2.get() : np.get();
            PyObject* value = nullptr;
            if (check(PyObject_GetOptionalAttr(owner, (names().*watched.name).get(), &value)) == 0)
                return false;
            if (!is_genuine(watched, Ref::steal(value).get()))
                return false;
        }
        return true;
    } catch (const PyError&) {
        PyErr_Clear();
        return false;
    }
}

// A new C-contiguous array of NumPy's `array_type` with the dtype named
// `dtype`, and its memory, which stays where it is for the array's lifetime:
// nothing else holds the new array to resize it.
template <typename Element, typename... Extents>
std::pair<Ref, Element*> new_array(PyTypeObject* array_type, const Ref& dtype, Extents... extents) {
    Ref array = call(reinterpret_cast<PyObject*>(array_type), tuple_of(int_from(Py_ssize_t{extents})...), dtype);
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

// OpenCV's Python package keeps its compiled extension module as `_native`;
// a build that installs the extension alone is that module itself.
const void* opencv_shared_object(PyObject* cv2) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(cv2, "_native", &value) < 0)
        PyErr_Clear();
    Ref native = Ref::steal(value);
    PyObject* extension = native && PyModule_Check(native.get()) ? native.get() : cv2;
    PyModuleDef* def = PyModule_Check(extension) ? PyModule_GetDef(extension) : nullptr;
    return shared_object_of(def);
}

}  // namespace

Libraries find_libraries() {
    Libraries found;
    try {
        Ref cv2 = globals::find(names().cv2);
        Ref np = globals::find(names().np);
        if (!cv2 || !np)
            return found;
        found.cv2_object = opencv_shared_object(cv2.get());
        found.cv2 = std::move(cv2);
        found.np = std::move(np);
    } catch (const PyError&) {
        PyErr_Clear();
    }
    return found;
}

std::optional<Ref> try_normalise_photo(PyObject* img) {
    if (!reads_are_genuine(normalise_reads))
        return std::nullopt;
    PlainArray<3> photo(img, 'B');
    if (!photo || photo.extent(2) != 3)
        return std::nullopt;
    auto [normalised, rgb] = new_array<float>(photo.type(), names().float32, photo.extent(0), photo.extent(1), 3);
    const auto* bgr = photo.data<std::uint8_t>();
    per_pixel_pass(photo.pixels(), [=](std::size_t begin, std::size_t end) {
        kernels::bgr_to_model_rgb(bgr + 3 * begin, rgb + 3 * begin, end - begin);
    });
    return std::move(normalised);
}

ModelInputPacking::ModelInputPacking(PyObject* image) : resized_(reads_are_genuine(pack_reads) ? image : nullptr, 'f') {
    taken_ = resized_ && resized_.extent(2) == 3;
}

Ref ModelInputPacking::run() const {
    const Py_ssize_t rows = resized_.extent(0);
    const Py_ssize_t columns = resized_.extent(1);
    auto [tensor, planes] = new_array<float>(resized_.type(), names().float32, 1, 3, rows, columns);
    ReleasedGil released;
    kernels::interleaved_to_planes(resized_.data<float>(), planes, static_cast<std::size_t>(rows),
                                   static_cast<std::size_t>(columns));
    return std::move(tensor);
}

std::optional<Ref> try_blend_over_white(PyObject* img, PyObject* matte) {
    if (!reads_are_genuine(blend_reads))
        return std::nullopt;
    PlainArray<3> photo(img, 'B');
    PlainArray<2> plane(matte, 'f');
    if (!photo || !plane || photo.extent(2) != 3 || plane.extent(0) != photo.extent(0) ||
        plane.extent(1) != photo.extent(1))
        return std::nullopt;
    auto [frame, out] = new_array<std::uint8_t>(photo.type(), names().uint8, photo.extent(0), photo.extent(1), 3);
    const auto* image = photo.data<std::uint8_t>();
    const auto* m = plane.data<float>();
    per_pixel_pass(photo.pixels(), [=](std::size_t begin, std::size_t end) {
        kernels::blend_over_white(image + 3 * begin, m + begin, out + 3 * begin, end - begin);
    });
    return std::move(frame);
}

}  // namespace pm::engine::native
