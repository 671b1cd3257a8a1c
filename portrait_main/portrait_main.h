// portrait_main: a portrait-matting engine for CPython.
//
// The module's one exported symbol is its initialisation function; the
// interpreter calls it on the first import and then runs the module's create
// and exec steps (multi-phase initialisation).
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>

extern "C" PyMODINIT_FUNC PyInit_portrait_main(void) noexcept;

namespace pm {

// Joins string literals at compile time, so that every text naming the
// module is built from the one constant below.
template <std::size_t... Sizes>
consteval auto join(const char (&... parts)[Sizes]) {
    std::array<char, (Sizes + ...) - sizeof...(Sizes) + 1> joined{};
    std::size_t at = 0;
    ((std::copy_n(parts, Sizes - 1, joined.begin() + at), at += Sizes - 1), ...);
    return joined;
}

inline constexpr char module_name[] = "portrait_main";
inline constexpr char engine_class_name[] = "QuorinPortraitMain";

inline constexpr auto function_type_name = join(module_name, ".native_function");
inline constexpr auto init_entry_name = join("init ", module_name);

}  // namespace pm
