// portrait_studio._native: the product layer's numeric passes.
//
// Every function takes C-contiguous NumPy arrays that the Python side has
// allocated (outputs included). nanobind checks each array's dtype, number of
// dimensions, fixed extents, contiguity and writability; arguments are never
// converted, since a converted output would be a copy that the caller never
// sees. What nanobind cannot see (extents that must agree between arrays,
// ranges of the scalars) is checked here, before the GIL is released for the
// pass. No function keeps an array after it returns.
#include "blurred_background.h"
#include "composite.h"
#include "foreground.h"
#include "guided.h"
#include "laplacian.h"
#include "solver.h"
#include "threads.h"
#include "trimap.h"

#include "portrait_main/engine/kernels/blend.h"
#include "portrait_main/engine/kernels/normalise.h"
#include "portrait_main/engine/kernels/parallel.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// The 2-D and 3-channel arrays of the passes; a const element type is an
// input, a mutable one an output (read-only arrays are refused there).
template <typename T>
using Plane = nb::ndarray<T, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
template <typename T>
using Colour = nb::ndarray<T, nb::shape<-1, -1, 3>, nb::c_contig, nb::device::cpu>;
template <typename T>
using Rgba = nb::ndarray<T, nb::shape<-1, -1, 4>, nb::c_contig, nb::device::cpu>;

// Rows and columns, the extents that must agree between a pass's arrays.
struct Extent {
    std::size_t rows, columns;
    bool operator==(const Extent&) const = default;
};

template <typename A>
Extent extent(const A& array) {
    return {array.shape(0), array.shape(1)};
}

// Raises ValueError with a printf-style message (std::string concatenation
// trips GCC 12's -Wrestrict false positive).
template <typename... Values>
[[noreturn]] void refuse(const char* format, Values... values) {
    char message[256];
    std::snprintf(message, sizeof message, format, values...);
    throw nb::value_error(message);
}

template <typename A, typename B>
void same_size(const A& a, const char* a_name, const B& b, const char* b_name) {
    const Extent ea = extent(a), eb = extent(b);
    if (ea != eb)
        refuse("%s is (%zu, %zu) pixels but %s is (%zu, %zu): they must agree", a_name, ea.rows, ea.columns, b_name,
               eb.rows, eb.columns);
}

std::size_t not_negative(std::int64_t value, const char* name) {
    if (value < 0)
        refuse("%s must not be negative, got %lld", name, static_cast<long long>(value));
    return static_cast<std::size_t>(value);
}

void positive(double value, const char* name) {
    if (!(value > 0.0))
        refuse("%s must be positive, got %g", name, value);
}

void not_empty(Extent e, const char* name) {
    if (e.rows == 0 || e.columns == 0)
        refuse("%s is empty", name);
}

// Arrays are never converted (see the top of this file).
auto array(const char* name) { return nb::arg(name).noconvert(); }

using Released = nb::call_guard<nb::gil_scoped_release>;

// The array parameters of a function, for telling a caller which argument
// nanobind refused: its TypeError lists the whole signature, not the culprit.
struct ArrayParameter {
    std::size_t position;
    const char* name;
    const char* dtype;
    int ndim;
    int channels;  // the last extent, or 0 when any
    bool writable;
};

// Raises TypeError naming the first array argument that is not what
// `parameters` asks for; returns when all of them are.
void name_the_bad_array(const char* function, const std::vector<ArrayParameter>& parameters, const nb::args& args,
                        const nb::kwargs& kwargs) {
    char message[320];
    for (const ArrayParameter& p : parameters) {
        nb::handle value;
        if (p.position < args.size())
            value = args[p.position];
        else if (kwargs.contains(p.name))
            value = kwargs[p.name];
        else
            continue;
        const char* problem = nullptr;
        char detail[96] = "";
        if (!nb::hasattr(value, "__array_interface__") || !nb::hasattr(value, "flags")) {
            problem = "must be a NumPy array";
            std::snprintf(detail, sizeof detail, "a %s", nb::type_name(value.type()).c_str());
        } else if (const auto dtype = nb::cast<std::string>(value.attr("dtype").attr("name")); dtype != p.dtype) {
            problem = "has the wrong dtype";
            std::snprintf(detail, sizeof detail, "%s", dtype.c_str());
        } else if (nb::cast<int>(value.attr("ndim")) != p.ndim) {
            problem = "has the wrong number of dimensions";
            std::snprintf(detail, sizeof detail, "%d", nb::cast<int>(value.attr("ndim")));
        } else if (p.channels && nb::cast<int>(value.attr("shape")[p.ndim - 1]) != p.channels) {
            problem = "has the wrong number of channels";
            std::snprintf(detail, sizeof detail, "%d", nb::cast<int>(value.attr("shape")[p.ndim - 1]));
        } else if (!nb::cast<bool>(value.attr("flags").attr("c_contiguous"))) {
            problem = "must be C-contiguous";
            std::snprintf(detail, sizeof detail, "a strided view");
        } else if (p.writable && !nb::cast<bool>(value.attr("flags").attr("writeable"))) {
            problem = "must be writable (it is an output)";
            std::snprintf(detail, sizeof detail, "a read-only array");
        }
        if (problem) {
            char wanted[64];
            if (p.channels)
                std::snprintf(wanted, sizeof wanted, "%s, %d-D, last extent %d", p.dtype, p.ndim, p.channels);
            else
                std::snprintf(wanted, sizeof wanted, "%s, %d-D", p.dtype, p.ndim);
            std::snprintf(message, sizeof message, "%s(): argument '%s' %s: expected a C-contiguous %s array, got %s",
                          function, p.name, problem, wanted, detail);
            throw nb::type_error(message);
        }
    }
}

// Binds `fn` with its typed, never-converted arrays, and behind it an
// overload that takes what the first refused: it names the bad array, or,
// when the arrays are fine and only a scalar needed converting (an int for
// a float), calls the function again with conversions allowed.
template <typename Fn, typename... Extra>
void bind(nb::module_& m, const char* name, Fn fn, std::vector<ArrayParameter> arrays, const Extra&... extra) {
    m.def(name, fn, extra..., Released());
    nb::object converting = nb::cpp_function(fn, nb::name(name), extra..., Released());
    m.def(name, [name, arrays = std::move(arrays), converting](const nb::args& args, const nb::kwargs& kwargs) {
        name_the_bad_array(name, arrays, args, kwargs);
        return converting(*args, **kwargs);
    });
}

constexpr int any = 0;

void model_input(const Colour<const std::uint8_t>& photo, const Colour<float>& out) {
    same_size(out, "out", photo, "photo");
    pm::kernels::parallel_for(
        photo.shape(0) * photo.shape(1), 1 << 17, ps::pass_threads(), [&](std::size_t begin, std::size_t end) {
            pm::kernels::bgr_to_model_rgb(photo.data() + begin * 3, out.data() + begin * 3, end - begin);
        });
}

void blend_over_white(const Colour<const std::uint8_t>& photo, const Plane<const float>& matte,
                      const Colour<std::uint8_t>& out) {
    same_size(matte, "matte", photo, "photo");
    same_size(out, "out", photo, "photo");
    pm::kernels::parallel_for(photo.shape(0) * photo.shape(1), 1 << 17, ps::pass_threads(),
                              [&](std::size_t begin, std::size_t end) {
                                  pm::kernels::blend_over_white(photo.data() + begin * 3, matte.data() + begin,
                                                                out.data() + begin * 3, end - begin);
                              });
}

void trimap(const Plane<const float>& matte, const Plane<std::uint8_t>& out, float background_to, float person_from,
            std::int64_t radius) {
    same_size(out, "out", matte, "matte");
    ps::make_trimap(matte.data(), out.data(), matte.shape(0), matte.shape(1), background_to, person_from,
                    not_negative(radius, "radius"));
}

void dilate(const Plane<const std::uint8_t>& mask, const Plane<std::uint8_t>& out, std::int64_t radius) {
    same_size(out, "out", mask, "mask");
    ps::dilate(mask.data(), out.data(), mask.shape(0), mask.shape(1), not_negative(radius, "radius"));
}

std::pair<int, double> solve_alpha(const Colour<const std::uint8_t>& image, const Plane<const std::uint8_t>& trimap,
                                   const Plane<float>& alpha, double epsilon, int max_iterations, double tolerance) {
    same_size(trimap, "trimap", image, "image");
    same_size(alpha, "alpha", image, "image");
    positive(epsilon, "epsilon");
    // The band's pixels are indexed with 32 bits.
    if (image.shape(0) * image.shape(1) >= (std::size_t{1} << 32))
        throw nb::value_error("image too large for the solver: scale it to the working size first");
    const ps::BandSystem system =
        ps::build_band_system(image.data(), trimap.data(), image.shape(0), image.shape(1), epsilon);
    const ps::SolveReport report = ps::solve_band(system, trimap.data(), alpha.data(), max_iterations, tolerance);
    return {report.iterations, report.relative_residual};
}

void guided_upsample(const Colour<const std::uint8_t>& guide, const Plane<const float>& alpha,
                     const Plane<const std::uint8_t>& band, std::int64_t radius, double epsilon,
                     const Colour<const std::uint8_t>& photo, const Plane<float>& out) {
    same_size(alpha, "alpha", guide, "guide");
    same_size(band, "band", guide, "guide");
    same_size(out, "out", photo, "photo");
    const std::size_t window = not_negative(radius, "radius");
    positive(epsilon, "epsilon");
    not_empty(extent(guide), "the working matte (guide)");
    const std::size_t rows = guide.shape(0), columns = guide.shape(1);
    std::vector<float> coefficients(rows * columns * 4);
    ps::guided_coefficients(guide.data(), alpha.data(), band.data(), rows, columns, window, epsilon,
                            coefficients.data());
    ps::guided_upsample(coefficients.data(), alpha.data(), band.data(), rows, columns, photo.data(), photo.shape(0),
                        photo.shape(1), out.data());
}

void estimate_foreground(const Colour<const std::uint8_t>& image, const Plane<const float>& alpha,
                         const Colour<float>& out, double regularisation, double gradient_weight, int small_sweeps,
                         int large_sweeps, std::int64_t small_size) {
    same_size(alpha, "alpha", image, "image");
    same_size(out, "out", image, "image");
    ps::ForegroundSettings settings;
    settings.regularisation = regularisation;
    settings.gradient_weight = gradient_weight;
    settings.small_sweeps = static_cast<int>(not_negative(small_sweeps, "small_sweeps"));
    settings.large_sweeps = static_cast<int>(not_negative(large_sweeps, "large_sweeps"));
    settings.small_size = not_negative(small_size, "small_size");
    ps::estimate_foreground(image.data(), alpha.data(), image.shape(0), image.shape(1), settings, out.data());
}

void full_size_foreground(const Colour<const float>& working_foreground,
                          const Colour<const std::uint8_t>& working_photo, const Colour<const std::uint8_t>& photo,
                          const Plane<const float>& alpha, const Colour<std::uint8_t>& out) {
    same_size(working_photo, "working_photo", working_foreground, "working_foreground");
    same_size(alpha, "alpha", photo, "photo");
    same_size(out, "out", photo, "photo");
    not_empty(extent(working_foreground), "working_foreground");
    ps::full_size_foreground(working_foreground.data(), working_photo.data(), working_foreground.shape(0),
                             working_foreground.shape(1), photo.data(), alpha.data(), photo.shape(0), photo.shape(1),
                             out.data());
}

void composite(const Colour<const std::uint8_t>& foreground, const Plane<const float>& alpha, float blue, float green,
               float red, const Colour<std::uint8_t>& out) {
    same_size(alpha, "alpha", foreground, "foreground");
    same_size(out, "out", foreground, "foreground");
    const float colour[3] = {blue, green, red};
    ps::composite_over_colour(foreground.data(), alpha.data(), colour, out.data(),
                              foreground.shape(0) * foreground.shape(1));
}

void composite_over_picture(const Colour<const std::uint8_t>& foreground, const Plane<const float>& alpha,
                            const Colour<const std::uint8_t>& picture, const Colour<std::uint8_t>& out) {
    same_size(alpha, "alpha", foreground, "foreground");
    same_size(picture, "picture", foreground, "foreground");
    same_size(out, "out", foreground, "foreground");
    ps::composite_over_picture(foreground.data(), alpha.data(), picture.data(), out.data(),
                               foreground.shape(0) * foreground.shape(1));
}

void weigh_background(const Colour<const std::uint8_t>& photo, const Plane<const float>& alpha,
                      const Colour<float>& weighted, const Plane<float>& weight) {
    same_size(alpha, "alpha", photo, "photo");
    same_size(weighted, "weighted", photo, "photo");
    same_size(weight, "weight", photo, "photo");
    ps::weigh_background(photo.data(), alpha.data(), weighted.data(), weight.data(), photo.shape(0) * photo.shape(1));
}

void normalise_background(const Colour<const float>& near_weighted, const Plane<const float>& near_weight,
                          const Colour<const float>& wide_weighted, const Plane<const float>& wide_weight,
                          float mean_blue, float mean_green, float mean_red, float floor,
                          const Colour<std::uint8_t>& out) {
    same_size(near_weight, "near_weight", near_weighted, "near_weighted");
    same_size(wide_weighted, "wide_weighted", near_weighted, "near_weighted");
    same_size(wide_weight, "wide_weight", near_weighted, "near_weighted");
    same_size(out, "out", near_weighted, "near_weighted");
    positive(floor, "floor");
    const float mean[3] = {mean_blue, mean_green, mean_red};
    ps::normalise_background(near_weighted.data(), near_weight.data(), wide_weighted.data(), wide_weight.data(), mean,
                             floor, out.data(), near_weighted.shape(0) * near_weighted.shape(1));
}

void composite_with_alpha(const Colour<const std::uint8_t>& foreground, const Plane<const float>& alpha,
                          const Rgba<std::uint8_t>& out) {
    same_size(alpha, "alpha", foreground, "foreground");
    same_size(out, "out", foreground, "foreground");
    ps::composite_with_alpha(foreground.data(), alpha.data(), out.data(), foreground.shape(0) * foreground.shape(1));
}

void alpha_to_bytes(const Plane<const float>& alpha, const Plane<std::uint8_t>& out) {
    same_size(out, "out", alpha, "alpha");
    ps::alpha_to_bytes(alpha.data(), out.data(), alpha.shape(0) * alpha.shape(1));
}

}  // namespace

NB_MODULE(_native, m) {
    m.doc() =
        "Numeric passes of the product layer: trimap, closed-form matting, guided upsampling, foreground, "
        "composite. See _native.pyi for what each computes.";
    const ps::ForegroundSettings defaults;

    m.def(
        "set_thread_budget", [](std::int64_t threads) { ps::thread_budget = not_negative(threads, "threads"); },
        "threads"_a);
    m.def("thread_budget", [] { return ps::thread_budget; });

    const char *u8 = "uint8", *f32 = "float32";
    bind(m, "model_input", &model_input, {{0, "photo", u8, 3, 3, false}, {1, "out", f32, 3, 3, true}}, array("photo"),
         array("out"));
    bind(m, "blend_over_white", &blend_over_white,
         {{0, "photo", u8, 3, 3, false}, {1, "matte", f32, 2, any, false}, {2, "out", u8, 3, 3, true}}, array("photo"),
         array("matte"), array("out"));
    bind(m, "trimap", &trimap, {{0, "matte", f32, 2, any, false}, {1, "out", u8, 2, any, true}}, array("matte"),
         array("out"), "background_to"_a, "person_from"_a, "radius"_a);
    bind(m, "dilate", &dilate, {{0, "mask", u8, 2, any, false}, {1, "out", u8, 2, any, true}}, array("mask"),
         array("out"), "radius"_a);
    bind(m, "solve_alpha", &solve_alpha,
         {{0, "image", u8, 3, 3, false}, {1, "trimap", u8, 2, any, false}, {2, "alpha", f32, 2, any, true}},
         array("image"), array("trimap"), array("alpha"), "epsilon"_a, "max_iterations"_a, "tolerance"_a);
    bind(m, "guided_upsample", &guided_upsample,
         {{0, "guide", u8, 3, 3, false},
          {1, "alpha", f32, 2, any, false},
          {2, "band", u8, 2, any, false},
          {5, "photo", u8, 3, 3, false},
          {6, "out", f32, 2, any, true}},
         array("guide"), array("alpha"), array("band"), "radius"_a, "epsilon"_a, array("photo"), array("out"));
    bind(m, "estimate_foreground", &estimate_foreground,
         {{0, "image", u8, 3, 3, false}, {1, "alpha", f32, 2, any, false}, {2, "out", f32, 3, 3, true}}, array("image"),
         array("alpha"), array("out"), "regularisation"_a = defaults.regularisation,
         "gradient_weight"_a = defaults.gradient_weight, "small_sweeps"_a = defaults.small_sweeps,
         "large_sweeps"_a = defaults.large_sweeps, "small_size"_a = static_cast<std::int64_t>(defaults.small_size));
    bind(m, "full_size_foreground", &full_size_foreground,
         {{0, "working_foreground", f32, 3, 3, false},
          {1, "working_photo", u8, 3, 3, false},
          {2, "photo", u8, 3, 3, false},
          {3, "alpha", f32, 2, any, false},
          {4, "out", u8, 3, 3, true}},
         array("working_foreground"), array("working_photo"), array("photo"), array("alpha"), array("out"));
    bind(m, "composite", &composite,
         {{0, "foreground", u8, 3, 3, false}, {1, "alpha", f32, 2, any, false}, {5, "out", u8, 3, 3, true}},
         array("foreground"), array("alpha"), "blue"_a, "green"_a, "red"_a, array("out"));
    bind(m, "composite_over_picture", &composite_over_picture,
         {{0, "foreground", u8, 3, 3, false},
          {1, "alpha", f32, 2, any, false},
          {2, "picture", u8, 3, 3, false},
          {3, "out", u8, 3, 3, true}},
         array("foreground"), array("alpha"), array("picture"), array("out"));
    bind(m, "weigh_background", &weigh_background,
         {{0, "photo", u8, 3, 3, false},
          {1, "alpha", f32, 2, any, false},
          {2, "weighted", f32, 3, 3, true},
          {3, "weight", f32, 2, any, true}},
         array("photo"), array("alpha"), array("weighted"), array("weight"));
    bind(m, "normalise_background", &normalise_background,
         {{0, "near_weighted", f32, 3, 3, false},
          {1, "near_weight", f32, 2, any, false},
          {2, "wide_weighted", f32, 3, 3, false},
          {3, "wide_weight", f32, 2, any, false},
          {8, "out", u8, 3, 3, true}},
         array("near_weighted"), array("near_weight"), array("wide_weighted"), array("wide_weight"), "mean_blue"_a,
         "mean_green"_a, "mean_red"_a, "floor"_a, array("out"));
    bind(m, "composite_with_alpha", &composite_with_alpha,
         {{0, "foreground", u8, 3, 3, false}, {1, "alpha", f32, 2, any, false}, {2, "out", u8, 3, 4, true}},
         array("foreground"), array("alpha"), array("out"));
    bind(m, "alpha_to_bytes", &alpha_to_bytes, {{0, "alpha", f32, 2, any, false}, {1, "out", u8, 2, any, true}},
         array("alpha"), array("out"));
}
