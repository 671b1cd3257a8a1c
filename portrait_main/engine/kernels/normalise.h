// The model's input values: each 8-bit value v becomes (v / 255 - 0.5) / 0.5
// in float32, computed with exactly the roundings of the NumPy steps
//     image = raw.astype(np.float32) / 255.0
//     image -= [0.5, 0.5, 0.5]
//     image /= [0.5, 0.5, 0.5]
// (a float32 quotient; then, in place, float64 arithmetic with each result
// stored back into the float32 array), so the table below gives the same
// bits as NumPy does. The in-place steps matter: written as one expression,
// the lists would make the result float64.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pm::kernels {

using NormaliseTable = std::array<float, 256>;

// The table of all 256 values.
const NormaliseTable& normalise_table();

// Converts `pixels` B, G, R pixels (interleaved uint8) into R, G, B model
// values (interleaved float32).
void bgr_to_model_rgb(const std::uint8_t* bgr, float* rgb, std::size_t pixels);

}  // namespace pm::kernels
