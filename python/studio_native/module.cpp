// portrait_studio._native: the product layer's numeric passes.
//
// Each function takes C-contiguous NumPy arrays that the Python side has
// allocated (outputs included), checks their types and shapes, then runs the
// kernel with the GIL released. No function keeps a reference to an array
// after it returns.
#include "composite.h"
#include "foreground.h"
#include "guided.h"
#include "laplacian.h"
#include "solver.h"
#include "trimap.h"

#include "portrait_main/engine/kernels/blend.h"
#include "portrait_main/engine/kernels/normalise.h"
#include "portrait_main/engine/kernels/parallel.h"
#include "portrait_main/support/buffer.h"
#include "portrait_main/support/error.h"
#include "portrait_main/support/gil.h"

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace {

using pm::BufferView;

// An array argument: its memory, borrowed for the call, with the shape the
// caller promised checked.
class Array {
public:
    Array(PyObject* obj, const char* name, char code, int ndim, bool writable)
        : view_(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0)), name_(name) {
        if (view_.element_code() != code || view_->ndim != ndim)
            pm::raise(PyExc_TypeError, "%s: expected a C-contiguous %d-dimensional %s array", name, ndim,
                      code == 'B' ? "uint8" : "float32");
    }
    std::size_t dim(int k) const { return static_cast<std::size_t>(view_->shape[k]); }
    std::size_t elements() const { return static_cast<std::size_t>(view_->len / view_->itemsize); }
    template <typename T>
    T* data() const {
        return view_.data<T>();
    }
    // Requires the leading dimensions to be (rows, columns[, channels]).
    void expect(std::initializer_list<std::size_t> shape) const {
        int k = 0;
        for (const std::size_t extent : shape)
            if (dim(k++) != extent)
                pm::raise(PyExc_ValueError, "%s: shape does not match the other arrays", name_);
    }

private:
    BufferView view_;
    const char* name_;
};

// The engine's error boundary: any C++ exception becomes a Python error.
template <typename Body>
PyObject* guarded(Body body) noexcept {
    return pm::boundary(static_cast<PyObject*>(nullptr), body);
}

PyObject* native_model_input(PyObject*, PyObject* args) {
    PyObject *photo_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OO:model_input", &photo_obj, &out_obj))
        return nullptr;
    return guarded([&] {
        const Array photo(photo_obj, "photo", 'B', 3, false), out(out_obj, "out", 'f', 3, true);
        photo.expect({photo.dim(0), photo.dim(1), 3});
        out.expect({photo.dim(0), photo.dim(1), 3});
        {
            pm::ReleasedGil released;
            const std::size_t pixels = photo.dim(0) * photo.dim(1);
            pm::kernels::parallel_for(pixels, 1 << 17, [&](std::size_t begin, std::size_t end) {
                pm::kernels::bgr_to_model_rgb(photo.data<std::uint8_t>() + begin * 3, out.data<float>() + begin * 3,
                                              end - begin);
            });
        }
        Py_RETURN_NONE;
    });
}

// The engine's own blend over white (truncating, as its _image writes), for
// pictures made in memory.
PyObject* native_blend_over_white(PyObject*, PyObject* args) {
    PyObject *photo_obj, *matte_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OOO:blend_over_white", &photo_obj, &matte_obj, &out_obj))
        return nullptr;
    return guarded([&] {
        const Array photo(photo_obj, "photo", 'B', 3, false), matte(matte_obj, "matte", 'f', 2, false),
            out(out_obj, "out", 'B', 3, true);
        photo.expect({photo.dim(0), photo.dim(1), 3});
        matte.expect({photo.dim(0), photo.dim(1)});
        out.expect({photo.dim(0), photo.dim(1), 3});
        {
            pm::ReleasedGil released;
            pm::kernels::parallel_for(photo.dim(0) * photo.dim(1), 1 << 17, [&](std::size_t begin, std::size_t end) {
                pm::kernels::blend_over_white(photo.data<std::uint8_t>() + begin * 3, matte.data<float>() + begin,
                                              out.data<std::uint8_t>() + begin * 3, end - begin);
            });
        }
        Py_RETURN_NONE;
    });
}

PyObject* native_trimap(PyObject*, PyObject* args) {
    PyObject *matte_obj, *out_obj;
    float background_to, person_from;
    Py_ssize_t radius;
    if (!PyArg_ParseTuple(args, "OOffn:trimap", &matte_obj, &out_obj, &background_to, &person_from, &radius))
        return nullptr;
    return guarded([&] {
        const Array matte(matte_obj, "matte", 'f', 2, false), out(out_obj, "out", 'B', 2, true);
        out.expect({matte.dim(0), matte.dim(1)});
        if (radius < 0)
            pm::raise(PyExc_ValueError, "radius must not be negative");
        {
            pm::ReleasedGil released;
            ps::make_trimap(matte.data<float>(), out.data<std::uint8_t>(), matte.dim(0), matte.dim(1), background_to,
                            person_from, static_cast<std::size_t>(radius));
        }
        Py_RETURN_NONE;
    });
}

PyObject* native_dilate(PyObject*, PyObject* args) {
    PyObject *mask_obj, *out_obj;
    Py_ssize_t radius;
    if (!PyArg_ParseTuple(args, "OOn:dilate", &mask_obj, &out_obj, &radius))
        return nullptr;
    return guarded([&] {
        const Array mask(mask_obj, "mask", 'B', 2, false), out(out_obj, "out", 'B', 2, true);
        out.expect({mask.dim(0), mask.dim(1)});
        if (radius < 0)
            pm::raise(PyExc_ValueError, "radius must not be negative");
        {
            pm::ReleasedGil released;
            ps::dilate(mask.data<std::uint8_t>(), out.data<std::uint8_t>(), mask.dim(0), mask.dim(1),
                       static_cast<std::size_t>(radius));
        }
        Py_RETURN_NONE;
    });
}

PyObject* native_solve_alpha(PyObject*, PyObject* args) {
    PyObject *image_obj, *trimap_obj, *alpha_obj;
    double epsilon, prior_weight, tolerance;
    int max_iterations;
    if (!PyArg_ParseTuple(args, "OOOddid:solve_alpha", &image_obj, &trimap_obj, &alpha_obj, &epsilon, &prior_weight,
                          &max_iterations, &tolerance))
        return nullptr;
    return guarded([&]() -> PyObject* {
        const Array image(image_obj, "image", 'B', 3, false), trimap(trimap_obj, "trimap", 'B', 2, false),
            alpha(alpha_obj, "alpha", 'f', 2, true);
        image.expect({image.dim(0), image.dim(1), 3});
        trimap.expect({image.dim(0), image.dim(1)});
        alpha.expect({image.dim(0), image.dim(1)});
        if (!(epsilon > 0.0) || !(prior_weight >= 0.0))
            pm::raise(PyExc_ValueError, "epsilon must be positive and prior_weight not negative");
        if (image.dim(0) * image.dim(1) >= (std::size_t{1} << 32))
            pm::raise(PyExc_ValueError, "image too large for the solver: scale it to the working size first");
        ps::SolveReport report;
        {
            pm::ReleasedGil released;
            const ps::BandSystem system = ps::build_band_system(image.data<std::uint8_t>(), trimap.data<std::uint8_t>(),
                                                                image.dim(0), image.dim(1), epsilon);
            report = ps::solve_band(system, trimap.data<std::uint8_t>(), alpha.data<float>(), prior_weight,
                                    max_iterations, tolerance);
        }
        return Py_BuildValue("(id)", report.iterations, report.relative_residual);
    });
}

PyObject* native_guided_upsample(PyObject*, PyObject* args) {
    PyObject *guide_obj, *alpha_obj, *band_obj, *photo_obj, *out_obj;
    Py_ssize_t radius;
    double epsilon;
    if (!PyArg_ParseTuple(args, "OOOndOO:guided_upsample", &guide_obj, &alpha_obj, &band_obj, &radius, &epsilon,
                          &photo_obj, &out_obj))
        return nullptr;
    return guarded([&] {
        const Array guide(guide_obj, "guide", 'B', 3, false), alpha(alpha_obj, "alpha", 'f', 2, false),
            band(band_obj, "band", 'B', 2, false), photo(photo_obj, "photo", 'B', 3, false),
            out(out_obj, "out", 'f', 2, true);
        const std::size_t rows = guide.dim(0), columns = guide.dim(1);
        guide.expect({rows, columns, 3});
        alpha.expect({rows, columns});
        band.expect({rows, columns});
        photo.expect({photo.dim(0), photo.dim(1), 3});
        out.expect({photo.dim(0), photo.dim(1)});
        if (radius < 0 || !(epsilon > 0.0))
            pm::raise(PyExc_ValueError, "radius must not be negative and epsilon must be positive");
        if (rows == 0 || columns == 0)
            pm::raise(PyExc_ValueError, "the working matte is empty");
        {
            pm::ReleasedGil released;
            std::vector<float> coefficients(rows * columns * 4);
            ps::guided_coefficients(guide.data<std::uint8_t>(), alpha.data<float>(), band.data<std::uint8_t>(), rows,
                                    columns, static_cast<std::size_t>(radius), epsilon, coefficients.data());
            ps::guided_upsample(coefficients.data(), alpha.data<float>(), band.data<std::uint8_t>(), rows, columns,
                                photo.data<std::uint8_t>(), photo.dim(0), photo.dim(1), out.data<float>());
        }
        Py_RETURN_NONE;
    });
}

PyObject* native_estimate_foreground(PyObject*, PyObject* args) {
    PyObject *image_obj, *alpha_obj, *out_obj;
    ps::ForegroundSettings settings;
    Py_ssize_t small_size = static_cast<Py_ssize_t>(settings.small_size);
    if (!PyArg_ParseTuple(args, "OOO|ddiin:estimate_foreground", &image_obj, &alpha_obj, &out_obj,
                          &settings.regularisation, &settings.gradient_weight, &settings.small_sweeps,
                          &settings.large_sweeps, &small_size))
        return nullptr;
    return guarded([&] {
        const Array image(image_obj, "image", 'B', 3, false), alpha(alpha_obj, "alpha", 'f', 2, false),
            out(out_obj, "out", 'f', 3, true);
        const std::size_t rows = image.dim(0), columns = image.dim(1);
        image.expect({rows, columns, 3});
        alpha.expect({rows, columns});
        out.expect({rows, columns, 3});
        if (settings.small_sweeps < 0 || settings.large_sweeps < 0 || small_size < 0)
            pm::raise(PyExc_ValueError, "sweep counts and sizes must not be negative");
        settings.small_size = static_cast<std::size_t>(small_size);
        {
            pm::ReleasedGil released;
            ps::estimate_foreground(image.data<std::uint8_t>(), alpha.data<float>(), rows, columns, settings,
                                    out.data<float>());
        }
        Py_RETURN_NONE;
    });
}

PyObject* native_full_size_foreground(PyObject*, PyObject* args) {
    PyObject *working_obj, *working_photo_obj, *photo_obj, *alpha_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OOOOO:full_size_foreground", &working_obj, &working_photo_obj, &photo_obj, &alpha_obj,
                          &out_obj))
        return nullptr;
    return guarded([&] {
        const Array working(working_obj, "working_foreground", 'f', 3, false),
            working_photo(working_photo_obj, "working_photo", 'B', 3, false), photo(photo_obj, "photo", 'B', 3, false),
            alpha(alpha_obj, "alpha", 'f', 2, false), out(out_obj, "out", 'B', 3, true);
        const std::size_t rows = working.dim(0), columns = working.dim(1);
        working.expect({rows, columns, 3});
        working_photo.expect({rows, columns, 3});
        photo.expect({photo.dim(0), photo.dim(1), 3});
        alpha.expect({photo.dim(0), photo.dim(1)});
        out.expect({photo.dim(0), photo.dim(1), 3});
        if (rows == 0 || columns == 0)
            pm::raise(PyExc_ValueError, "the working foreground is empty");
        {
            pm::ReleasedGil released;
            ps::full_size_foreground(working.data<float>(), working_photo.data<std::uint8_t>(), rows, columns,
                                     photo.data<std::uint8_t>(), alpha.data<float>(), photo.dim(0), photo.dim(1),
                                     out.data<std::uint8_t>());
        }
        Py_RETURN_NONE;
    });
}

PyObject* native_composite(PyObject*, PyObject* args) {
    PyObject *foreground_obj, *alpha_obj, *out_obj;
    float blue, green, red;
    if (!PyArg_ParseTuple(args, "OOfffO:composite", &foreground_obj, &alpha_obj, &blue, &green, &red, &out_obj))
        return nullptr;
    return guarded([&] {
        const Array foreground(foreground_obj, "foreground", 'B', 3, false), alpha(alpha_obj, "alpha", 'f', 2, false),
            out(out_obj, "out", 'B', 3, true);
        const std::size_t rows = foreground.dim(0), columns = foreground.dim(1);
        foreground.expect({rows, columns, 3});
        alpha.expect({rows, columns});
        out.expect({rows, columns, 3});
        const float colour[3] = {blue, green, red};
        {
            pm::ReleasedGil released;
            ps::composite_over_colour(foreground.data<std::uint8_t>(), alpha.data<float>(), colour,
                                      out.data<std::uint8_t>(), rows * columns);
        }
        Py_RETURN_NONE;
    });
}

PyObject* native_composite_with_alpha(PyObject*, PyObject* args) {
    PyObject *foreground_obj, *alpha_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OOO:composite_with_alpha", &foreground_obj, &alpha_obj, &out_obj))
        return nullptr;
    return guarded([&] {
        const Array foreground(foreground_obj, "foreground", 'B', 3, false), alpha(alpha_obj, "alpha", 'f', 2, false),
            out(out_obj, "out", 'B', 3, true);
        const std::size_t rows = foreground.dim(0), columns = foreground.dim(1);
        foreground.expect({rows, columns, 3});
        alpha.expect({rows, columns});
        out.expect({rows, columns, 4});
        {
            pm::ReleasedGil released;
            ps::composite_with_alpha(foreground.data<std::uint8_t>(), alpha.data<float>(), out.data<std::uint8_t>(),
                                     rows * columns);
        }
        Py_RETURN_NONE;
    });
}

PyObject* native_alpha_to_bytes(PyObject*, PyObject* args) {
    PyObject *alpha_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OO:alpha_to_bytes", &alpha_obj, &out_obj))
        return nullptr;
    return guarded([&] {
        const Array alpha(alpha_obj, "alpha", 'f', 2, false), out(out_obj, "out", 'B', 2, true);
        out.expect({alpha.dim(0), alpha.dim(1)});
        {
            pm::ReleasedGil released;
            ps::alpha_to_bytes(alpha.data<float>(), out.data<std::uint8_t>(), alpha.elements());
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef native_methods[] = {
    {"model_input", native_model_input, METH_VARARGS,
     "model_input(photo, out): B, G, R uint8 -> R, G, B float32 model values (v / 255 - 0.5) / 0.5."},
    {"blend_over_white", native_blend_over_white, METH_VARARGS,
     "blend_over_white(photo, matte, out): the engine's blend of the photograph over white by the matte."},
    {"trimap", native_trimap, METH_VARARGS,
     "trimap(matte, out, background_to, person_from, radius): 0 / 128 / 255 trimap of a float32 matte."},
    {"dilate", native_dilate, METH_VARARGS, "dilate(mask, out, radius): square dilation of a uint8 mask to 0 / 1."},
    {"solve_alpha", native_solve_alpha, METH_VARARGS,
     "solve_alpha(image, trimap, alpha, epsilon, prior_weight, max_iterations, tolerance)\n"
     "-> (iterations, relative_residual). Closed-form alpha in the trimap's unknown band, in place; alpha holds\n"
     "the first guess, which prior_weight (0: none) pulls the answer towards."},
    {"guided_upsample", native_guided_upsample, METH_VARARGS,
     "guided_upsample(guide, alpha, band, radius, epsilon, photo, out): full-size matte, edge-aware."},
    {"estimate_foreground", native_estimate_foreground, METH_VARARGS,
     "estimate_foreground(image, alpha, out[, regularisation, gradient_weight, small_sweeps, large_sweeps,\n"
     "small_size]): multilevel foreground colours, float32 in [0, 1]."},
    {"full_size_foreground", native_full_size_foreground, METH_VARARGS,
     "full_size_foreground(working_foreground, working_photo, photo, alpha, out): uint8 foreground at full size."},
    {"composite", native_composite, METH_VARARGS,
     "composite(foreground, alpha, blue, green, red, out): the foreground over a colour."},
    {"composite_with_alpha", native_composite_with_alpha, METH_VARARGS,
     "composite_with_alpha(foreground, alpha, out): B, G, R, A."},
    {"alpha_to_bytes", native_alpha_to_bytes, METH_VARARGS, "alpha_to_bytes(alpha, out): round(alpha * 255)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot native_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef native_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "portrait_studio._native",
    .m_doc =
        "Numeric passes of the product layer: trimap, closed-form matting, guided upsampling, foreground, composite.",
    .m_size = 0,
    .m_methods = native_methods,
    .m_slots = native_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&native_module); }
