// Preparing the blended picture for its conversion to 8 bits.
#pragma once

#include <Python.h>

namespace pm::engine {

// Clamps a float array (as the blend makes it) into [0, 255] in place, NaN
// to 255, so that the conversion to uint8 saturates instead of wrapping.
// Objects that are not float arrays are left alone.
void saturate_blend(PyObject* frame);

}  // namespace pm::engine
