// The model's tensor layout: planes first.
#pragma once

#include <cstddef>

namespace pm::kernels {

// Copies an interleaved (rows, columns, 3) float32 image into three planes,
// (3, rows, columns), as np.transpose(image, [2, 0, 1]) followed by a
// contiguous copy would.
void interleaved_to_planes(const float* interleaved, float* planes, std::size_t rows, std::size_t columns);

}  // namespace pm::kernels
