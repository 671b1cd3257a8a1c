// The matting run's native path.
//
// When the module's cv2 and np, and every attribute of theirs that the run
// uses, are still the objects found at import, and the arrays are the
// ordinary kinds that OpenCV and the model give, the per-pixel passes of the
// run are done in C++: one pass each for the colour swap and normalisation,
// the packing of the model input, and the blend over white with its 8-bit
// quantisation. They release the GIL and split large photographs across
// cores. The results are bit-identical to the step-by-step NumPy path, which
// still serves every other case (a rebound name, an unusual array), so no
// caller can tell the two apart but by time and memory.
#pragma once

#include "../support/ref.h"

namespace pm::engine::native {

// Remembers the cv2 and numpy objects bound at import, from the module's
// dictionary. Never fails: anything missing leaves the native path off.
void remember_imports(PyObject* module_dict);
void forget_imports();

// img as read: a C-contiguous uint8 ndarray of shape (h, w, 3), with the
// bindings unchanged. Then `normalise_photo` gives the (h, w, 3) float32
// R, G, B model values at full size.
bool takes_photo(PyObject* img);
Ref normalise_photo(PyObject* img);

// The resized model input: a C-contiguous float32 ndarray (h2, w2, 3). Then
// `pack_model_input` gives the contiguous (1, 3, h2, w2) float32 tensor.
bool takes_resized(PyObject* image);
Ref pack_model_input(PyObject* image);

// The matte at photo size: a C-contiguous float32 ndarray (h, w) matching
// img. Then `blend_over_white` gives the (h, w, 3) uint8 picture.
bool takes_matte(PyObject* matte, PyObject* img);
Ref blend_over_white(PyObject* img, PyObject* matte);

}  // namespace pm::engine::native
