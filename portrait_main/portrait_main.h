// portrait_main: a portrait-matting engine for CPython.
//
// The module's one exported symbol is its initialisation function; the
// interpreter calls it on the first import and then runs the module's create
// and exec steps (multi-phase initialisation).
#pragma once

#include <Python.h>

extern "C" PyMODINIT_FUNC PyInit_portrait_main(void);

namespace pm {

inline constexpr const char* module_name = "portrait_main";
inline constexpr const char* engine_class_name = "QuorinPortraitMain";

}  // namespace pm
