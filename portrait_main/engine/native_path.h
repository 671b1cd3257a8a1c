// The matting run's native path.
//
// Three per-pixel passes of the run can be done in C++: the colour swap and
// normalisation, the packing of the model input, and the blend over white
// with its 8-bit quantisation. They release the GIL and split large
// photographs across cores, and their results are bit-identical to the
// step-by-step NumPy path.
//
// A pass stands in for the steps it replaces only while the module's `cv2`
// and `np` are the libraries the exec step imported and every name of theirs
// that those steps read is bound to the library's own genuine object (judged
// from what the object is at the C level, not from what was bound at import,
// so a wrapper installed before the import is honoured), and only for the
// ordinary arrays that OpenCV and the model give. In every other case the
// pass declines and the run takes the step-by-step path, so no caller can
// tell the two apart but by time and memory.
#pragma once

#include "../support/ref.h"
#include "plain_array.h"

#include <optional>

namespace pm::engine::native {

// The libraries as the exec step imported them.
struct Libraries {
    Ref cv2, np;
    // Where OpenCV's compiled functions live (the base address of its
    // extension's shared object), or null when it could not be found.
    const void* cv2_object = nullptr;
};

// Finds them through the module's dictionary. Never fails: anything missing
// leaves the native path off.
Libraries find_libraries();

// Each pass returns its result, or nothing when it declines. A pass that
// has started may still fail, as the steps it replaces could, with PyError.

// img as read (a C-contiguous uint8 ndarray (h, w, 3)) to the (h, w, 3)
// float32 R, G, B model values at full size: cv2.cvtColor, astype and the
// normalisation.
std::optional<Ref> try_normalise_photo(PyObject* img);

// The resized model values (a C-contiguous float32 ndarray (h2, w2, 3)) to
// the contiguous (1, 3, h2, w2) float32 tensor fed to the model: np.transpose,
// the batch axis and the float32 copy. Made where the steps would transpose,
// holding the buffer; run where they make the copy, after the session's
// `run` has been looked up, so the order of what a caller can see is kept.
class ModelInputPacking {
public:
    explicit ModelInputPacking(PyObject* image);
    // Whether the pass stands in.
    explicit operator bool() const noexcept { return taken_; }
    Ref run() const;

private:
    PlainArray<3> resized_;
    bool taken_ = false;
};

// The matte at photo size (a C-contiguous float32 ndarray (h, w)) and img
// to the (h, w, 3) uint8 picture over white.
std::optional<Ref> try_blend_over_white(PyObject* img, PyObject* matte);

}  // namespace pm::engine::native
