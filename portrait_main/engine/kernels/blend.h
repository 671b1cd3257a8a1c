// The photograph over white, by the matte, quantised to 8 bits.
//
// For a matte value m and a source value v, the result is
//     float64(float32(m * v)) + float64(float32(1 - m)) * 255.0
// which is what NumPy computes for matte * img + (1 - matte) * white with a
// float32 matte, a uint8 image and a float64 white array, then saturated
// (see saturate.h) and truncated toward zero as astype("uint8") does.
#pragma once

#include "saturate.h"

#include <cstddef>
#include <cstdint>

namespace pm::kernels {

inline std::uint8_t blend_value(float matte, double white_part, std::uint8_t source) {
    const float foreground = matte * static_cast<float>(source);
    const double blended = static_cast<double>(foreground) + white_part;
    return static_cast<std::uint8_t>(saturate_to_byte_range(blended));
}

// Blends `pixels` three-channel pixels, one matte value per pixel. A matte
// of exactly 1 gives the source values and one too small to change 1 - m
// gives white; most of a portrait is one or the other, and those take a
// shortcut with the same result.
void blend_over_white(const std::uint8_t* image, const float* matte, std::uint8_t* out, std::size_t pixels);

}  // namespace pm::kernels
