// Small pieces of arithmetic that several passes share, written once so that
// they compute the same bits everywhere: where a full-size pixel falls on the
// working grid, its bilinear weights there, and the inverse of a symmetric
// 3 x 3 matrix (the colour covariances of the matting and guided windows).
#pragma once

#include <array>
#include <cstddef>

namespace ps {

// Where a full-size pixel falls on the working grid: the lower neighbour
// and the weight of the upper one, clamped to the grid (pixel centres
// aligned, as OpenCV's bilinear resize places them).
struct GridPosition {
    std::size_t low;
    std::size_t high;
    float weight;
};
GridPosition grid_position(std::size_t out_index, std::size_t out_length, std::size_t length);

// The weights of the four working pixels around a full-size one, in the
// order (low row, low column), (low, high), (high, low), (high, high).
inline std::array<float, 4> bilinear_weights(const GridPosition& down, const GridPosition& side) {
    return {(1.0F - down.weight) * (1.0F - side.weight), (1.0F - down.weight) * side.weight,
            down.weight * (1.0F - side.weight), down.weight * side.weight};
}

// The upper triangle (00 01 02 11 12 22) of a symmetric 3 x 3 matrix, and of
// its inverse: the adjugate over the determinant. The callers' matrices are
// covariances plus a positive multiple of I, so positive definite.
using Symmetric3 = std::array<double, 6>;

inline Symmetric3 symmetric_inverse(const Symmetric3& a) {
    const double m00 = a[3] * a[5] - a[4] * a[4];
    const double m01 = a[2] * a[4] - a[1] * a[5];
    const double m02 = a[1] * a[4] - a[2] * a[3];
    const double m11 = a[0] * a[5] - a[2] * a[2];
    const double m12 = a[1] * a[2] - a[0] * a[4];
    const double m22 = a[0] * a[3] - a[1] * a[1];
    const double inverse_det = 1.0 / (a[0] * m00 + a[1] * m01 + a[2] * m02);
    return {m00 * inverse_det, m01 * inverse_det, m02 * inverse_det,
            m11 * inverse_det, m12 * inverse_det, m22 * inverse_det};
}

// m v for the symmetric m.
inline std::array<double, 3> symmetric_apply(const Symmetric3& m, double v0, double v1, double v2) {
    return {m[0] * v0 + m[1] * v1 + m[2] * v2, m[1] * v0 + m[3] * v1 + m[4] * v2, m[2] * v0 + m[4] * v1 + m[5] * v2};
}

}  // namespace ps
