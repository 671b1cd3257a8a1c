#include "guided.h"

#include "trimap.h"

#include "portrait_main/engine/kernels/parallel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace ps {

GridPosition grid_position(std::size_t out_index, std::size_t out_length, std::size_t length) {
    const double at =
        (static_cast<double>(out_index) + 0.5) * static_cast<double>(length) / static_cast<double>(out_length) - 0.5;
    if (at <= 0.0)
        return {0, 0, 0.0F};
    const std::size_t low = std::min(static_cast<std::size_t>(at), length - 1);
    const std::size_t high = std::min(low + 1, length - 1);
    return {low, high, static_cast<float>(at - static_cast<double>(low))};
}

void guided_coefficients(const std::uint8_t* guide, const float* alpha, const std::uint8_t* band, std::size_t rows,
                         std::size_t columns, std::size_t radius, double epsilon, float* coefficients) {
    const std::size_t pixels = rows * columns;
    std::vector<std::uint8_t> needed(pixels);
    dilate(band, needed.data(), rows, columns, radius);
    // a (3) and b of each window centred where the averages will look.
    std::vector<std::array<float, 4>> linear(pixels);
    const auto window = [&](std::size_t y, std::size_t x) {
        return std::array<std::size_t, 4>{y >= radius ? y - radius : 0, std::min(rows, y + radius + 1),
                                          x >= radius ? x - radius : 0, std::min(columns, x + radius + 1)};
    };
    pm::kernels::parallel_for(rows, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y)
            for (std::size_t x = 0; x < columns; ++x) {
                if (!needed[y * columns + x])
                    continue;
                const auto [y0, y1, x0, x1] = window(y, x);
                std::array<double, 3> mean{}, cross{};
                std::array<double, 6> second{};
                double mean_alpha = 0.0;
                for (std::size_t wy = y0; wy < y1; ++wy)
                    for (std::size_t wx = x0; wx < x1; ++wx) {
                        const std::uint8_t* c = guide + (wy * columns + wx) * 3;
                        const double i0 = c[0] / 255.0, i1 = c[1] / 255.0, i2 = c[2] / 255.0;
                        const double p = alpha[wy * columns + wx];
                        mean[0] += i0, mean[1] += i1, mean[2] += i2;
                        second[0] += i0 * i0, second[1] += i0 * i1, second[2] += i0 * i2;
                        second[3] += i1 * i1, second[4] += i1 * i2, second[5] += i2 * i2;
                        cross[0] += i0 * p, cross[1] += i1 * p, cross[2] += i2 * p;
                        mean_alpha += p;
                    }
                const double count = static_cast<double>((y1 - y0) * (x1 - x0));
                for (double& v : mean)
                    v /= count;
                for (double& v : second)
                    v /= count;
                for (double& v : cross)
                    v /= count;
                mean_alpha /= count;
                const double a00 = second[0] - mean[0] * mean[0] + epsilon;
                const double a01 = second[1] - mean[0] * mean[1];
                const double a02 = second[2] - mean[0] * mean[2];
                const double a11 = second[3] - mean[1] * mean[1] + epsilon;
                const double a12 = second[4] - mean[1] * mean[2];
                const double a22 = second[5] - mean[2] * mean[2] + epsilon;
                const double c0 = cross[0] - mean[0] * mean_alpha;
                const double c1 = cross[1] - mean[1] * mean_alpha;
                const double c2 = cross[2] - mean[2] * mean_alpha;
                const double m00 = a11 * a22 - a12 * a12, m01 = a02 * a12 - a01 * a22, m02 = a01 * a12 - a02 * a11;
                const double m11 = a00 * a22 - a02 * a02, m12 = a01 * a02 - a00 * a12, m22 = a00 * a11 - a01 * a01;
                const double det = a00 * m00 + a01 * m01 + a02 * m02;
                const double k0 = (m00 * c0 + m01 * c1 + m02 * c2) / det;
                const double k1 = (m01 * c0 + m11 * c1 + m12 * c2) / det;
                const double k2 = (m02 * c0 + m12 * c1 + m22 * c2) / det;
                const double b = mean_alpha - k0 * mean[0] - k1 * mean[1] - k2 * mean[2];
                linear[y * columns + x] = {static_cast<float>(k0), static_cast<float>(k1), static_cast<float>(k2),
                                           static_cast<float>(b)};
            }
    });
    pm::kernels::parallel_for(rows, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y)
            for (std::size_t x = 0; x < columns; ++x) {
                float* out = coefficients + (y * columns + x) * 4;
                if (!band[y * columns + x]) {
                    out[0] = out[1] = out[2] = 0.0F;
                    out[3] = alpha[y * columns + x];
                    continue;
                }
                const auto [y0, y1, x0, x1] = window(y, x);
                std::array<double, 4> sum{};
                for (std::size_t wy = y0; wy < y1; ++wy)
                    for (std::size_t wx = x0; wx < x1; ++wx)
                        for (std::size_t k = 0; k < 4; ++k)
                            sum[k] += linear[wy * columns + wx][k];
                const double count = static_cast<double>((y1 - y0) * (x1 - x0));
                for (std::size_t k = 0; k < 4; ++k)
                    out[k] = static_cast<float>(sum[k] / count);
            }
    });
}

void guided_upsample(const float* coefficients, const float* alpha, const std::uint8_t* band, std::size_t rows,
                     std::size_t columns, const std::uint8_t* photo, std::size_t out_rows, std::size_t out_columns,
                     float* out) {
    std::vector<GridPosition> across(out_columns);
    for (std::size_t x = 0; x < out_columns; ++x)
        across[x] = grid_position(x, out_columns, columns);
    pm::kernels::parallel_for(out_rows, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y) {
            const GridPosition down = grid_position(y, out_rows, rows);
            const std::size_t top = down.low * columns, bottom = down.high * columns;
            for (std::size_t x = 0; x < out_columns; ++x) {
                const GridPosition& side = across[x];
                const std::size_t corners[4] = {top + side.low, top + side.high, bottom + side.low, bottom + side.high};
                if (!band[corners[0]] && !band[corners[1]] && !band[corners[2]] && !band[corners[3]]) {
                    const std::size_t ny = down.weight < 0.5F ? down.low : down.high;
                    const std::size_t nx = side.weight < 0.5F ? side.low : side.high;
                    out[y * out_columns + x] = alpha[ny * columns + nx];
                    continue;
                }
                const float weights[4] = {(1.0F - down.weight) * (1.0F - side.weight),
                                          (1.0F - down.weight) * side.weight, down.weight * (1.0F - side.weight),
                                          down.weight * side.weight};
                float k[4] = {0.0F, 0.0F, 0.0F, 0.0F};
                for (int c = 0; c < 4; ++c)
                    for (int j = 0; j < 4; ++j)
                        k[j] += weights[c] * coefficients[corners[c] * 4 + static_cast<std::size_t>(j)];
                const std::uint8_t* colour = photo + (y * out_columns + x) * 3;
                const float value =
                    k[0] * (colour[0] / 255.0F) + k[1] * (colour[1] / 255.0F) + k[2] * (colour[2] / 255.0F) + k[3];
                out[y * out_columns + x] = value >= 0.0F ? std::min(value, 1.0F) : 0.0F;  // NaN would give 0
            }
        }
    });
}

}  // namespace ps
