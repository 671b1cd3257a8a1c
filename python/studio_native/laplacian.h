// The matting Laplacian of Levin, Lischinski and Weiss (closed-form
// matting, 3 x 3 windows), kept only for the rows of the unknown pixels.
//
// Each unknown pixel couples with the pixels of the windows it lies in, a
// 5 x 5 neighbourhood, so its row is a 25-entry stencil. Rows of known
// pixels are never needed: the solve keeps them fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ps {

inline constexpr int stencil_reach = 2;
inline constexpr int stencil_side = 2 * stencil_reach + 1;
inline constexpr int stencil_size = stencil_side * stencil_side;

struct BandSystem {
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::vector<std::uint32_t> pixels;  // the unknown pixels, row-major order
    std::vector<double> stencil;        // stencil_size entries per unknown pixel, [dy + 2][dx + 2]
};

// Builds the rows of L for the pixels where `trimap` is neither 0 nor 255.
// `image` is interleaved 3-channel uint8 (colours scaled to [0, 1]);
// `epsilon` regularises each window's colour covariance as in the paper
// (added as epsilon / 9 to the window's covariance). Windows are those whose
// 3 x 3 square lies inside the picture, as in the paper's implementation.
BandSystem build_band_system(const std::uint8_t* image, const std::uint8_t* trimap, std::size_t rows,
                             std::size_t columns, double epsilon);

}  // namespace ps
