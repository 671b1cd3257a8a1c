// Saturation of the blended picture before it is quantised to 8 bits.
//
// Blending with a matte outside [0, 1] gives values outside [0, 255], and a
// NaN matte gives NaN; converting those to 8 bits has no defined result. The
// blend is therefore clamped first: below 0 to 0, above 255 to 255, and NaN
// to 255 (a pixel of unknown matte is background, so white). Values already
// in range are left exactly as they are.
#pragma once

#include <cstddef>

namespace pm::kernels {

inline double saturate_to_byte_range(double value) {
    if (value >= 0.0 && value <= 255.0)
        return value;
    return value < 0.0 ? 0.0 : 255.0;  // above 255, or NaN
}

// Clamps `count` values of type Real (float or double) in place, the first at
// `first` and each next one `byte_stride` bytes on; no alignment is assumed.
template <typename Real>
void saturate_to_byte_range(char* first, std::size_t count, std::ptrdiff_t byte_stride);

}  // namespace pm::kernels
