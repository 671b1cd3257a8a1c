// Foreground colours for a matte: multilevel foreground estimation (Germer,
// Uelwer, Conrad and Harmeling, 2020). Each pixel's foreground F and
// background B minimise |alpha F + (1 - alpha) B - I|^2 plus a smoothness
// term weighted by how little alpha changes between neighbours, solved
// coarse to fine so that colours travel far in few sweeps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ps {

struct ForegroundSettings {
    double regularisation = 1e-5;
    double gradient_weight = 1.0;
    int small_sweeps = 10;  // sweeps on levels up to small_size pixels across
    int large_sweeps = 2;   // sweeps on the larger levels
    std::size_t small_size = 32;
    std::size_t reach = 4;  // on larger levels, only pixels this near a partly transparent one are updated
};

// `image` is 3-channel uint8, `alpha` in [0, 1]; `foreground` receives
// rows x columns x 3 floats in [0, 1], in the image's channel order.
void estimate_foreground(const std::uint8_t* image, const float* alpha, std::size_t rows, std::size_t columns,
                         const ForegroundSettings& settings, float* foreground);

// The full-size foreground: the photograph where alpha is 0 or 1, and
// elsewhere the photograph corrected by the working-size estimate's
// difference from the working photograph (sampled bilinearly), which keeps
// the photograph's fine detail and removes the old background's colour.
void full_size_foreground(const float* working_foreground, const std::uint8_t* working_photo, std::size_t rows,
                          std::size_t columns, const std::uint8_t* photo, const float* alpha, std::size_t out_rows,
                          std::size_t out_columns, std::uint8_t* out);

}  // namespace ps
