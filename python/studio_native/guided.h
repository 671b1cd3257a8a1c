// Edge-aware upsampling of the solved matte: the fast guided filter (He and
// Sun, 2015) with the photograph's colours as the guide. The filter's linear
// coefficients are found at the working resolution, brought to full size
// bilinearly, and applied to the full-size photograph, so edges follow the
// photograph's own pixels instead of the working grid.
#pragma once

#include "grid.h"

#include <cstddef>
#include <cstdint>

namespace ps {

// For each pixel where `band` is nonzero, the window averages of the guided
// filter's coefficients (a_blue, a_green, a_red, b) of `alpha` under
// `guide` (3-channel uint8, colours scaled to [0, 1]), windows of
// (2 radius + 1)^2 clipped to the picture, covariance regularised by
// `epsilon`. Elsewhere the coefficients are (0, 0, 0, alpha), which
// reproduce alpha. `coefficients` is rows x columns x 4.
void guided_coefficients(const std::uint8_t* guide, const float* alpha, const std::uint8_t* band, std::size_t rows,
                         std::size_t columns, std::size_t radius, double epsilon, float* coefficients);

// alpha at full size (out_rows x out_columns) from the working-size
// coefficients: a . photo + b with a, b sampled bilinearly (pixel centres
// aligned), clipped to [0, 1]. Where none of the four working pixels is in
// `band`, the nearest working alpha is copied unchanged, so sure regions
// stay exactly 0 or 1.
void guided_upsample(const float* coefficients, const float* alpha, const std::uint8_t* band, std::size_t rows,
                     std::size_t columns, const std::uint8_t* photo, std::size_t out_rows, std::size_t out_columns,
                     float* out);

}  // namespace ps
