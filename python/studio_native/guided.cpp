#include "guided.h"

#include "box.h"
#include "threads.h"
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
    // a (3) and b of each window centred where the averages will look, from
    // the window sums of I (3), I I^T (6), I p (3) and p.
    constexpr std::size_t moments = 13;
    std::vector<float> linear(pixels * 4);
    const std::size_t strips = box_strips(rows);
    pm::kernels::parallel_for(strips, 1, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t strip = begin; strip < end; ++strip)
            box_sums_strip<double>(
                strip, rows, columns, moments, radius,
                [&](std::size_t y, double* row) {
                    for (std::size_t x = 0; x < columns; ++x, row += moments) {
                        const std::uint8_t* c = guide + (y * columns + x) * 3;
                        const double i0 = c[0] / 255.0, i1 = c[1] / 255.0, i2 = c[2] / 255.0;
                        const double p = alpha[y * columns + x];
                        row[0] = i0, row[1] = i1, row[2] = i2;
                        row[3] = i0 * i0, row[4] = i0 * i1, row[5] = i0 * i2;
                        row[6] = i1 * i1, row[7] = i1 * i2, row[8] = i2 * i2;
                        row[9] = i0 * p, row[10] = i1 * p, row[11] = i2 * p;
                        row[12] = p;
                    }
                },
                [&](std::size_t y, const double* sums) {
                    for (std::size_t x = 0; x < columns; ++x) {
                        if (!needed[y * columns + x])
                            continue;
                        const double* s = sums + x * moments;
                        const double count = box_count(y, x, rows, columns, radius);
                        const double m0 = s[0] / count, m1 = s[1] / count, m2 = s[2] / count;
                        const double mean_alpha = s[12] / count;
                        const Symmetric3 covariance = {
                            s[3] / count - m0 * m0 + epsilon, s[4] / count - m0 * m1, s[5] / count - m0 * m2,
                            s[6] / count - m1 * m1 + epsilon, s[7] / count - m1 * m2, s[8] / count - m2 * m2 + epsilon};
                        const auto [k0, k1, k2] =
                            symmetric_apply(symmetric_inverse(covariance), s[9] / count - m0 * mean_alpha,
                                            s[10] / count - m1 * mean_alpha, s[11] / count - m2 * mean_alpha);
                        const double b = mean_alpha - k0 * m0 - k1 * m1 - k2 * m2;
                        float* out = linear.data() + (y * columns + x) * 4;
                        out[0] = static_cast<float>(k0), out[1] = static_cast<float>(k1);
                        out[2] = static_cast<float>(k2), out[3] = static_cast<float>(b);
                    }
                });
    });
    pm::kernels::parallel_for(strips, 1, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t strip = begin; strip < end; ++strip)
            box_sums_strip<float>(
                strip, rows, columns, 4, radius,
                [&](std::size_t y, float* row) { std::copy_n(linear.data() + y * columns * 4, columns * 4, row); },
                [&](std::size_t y, const double* sums) {
                    for (std::size_t x = 0; x < columns; ++x) {
                        float* out = coefficients + (y * columns + x) * 4;
                        if (!band[y * columns + x]) {
                            out[0] = out[1] = out[2] = 0.0F;
                            out[3] = alpha[y * columns + x];
                            continue;
                        }
                        const double count = box_count(y, x, rows, columns, radius);
                        for (std::size_t k = 0; k < 4; ++k)
                            out[k] = static_cast<float>(sums[x * 4 + k] / count);
                    }
                });
    });
}

void guided_upsample(const float* coefficients, const float* alpha, const std::uint8_t* band, std::size_t rows,
                     std::size_t columns, const std::uint8_t* photo, std::size_t out_rows, std::size_t out_columns,
                     float* out) {
    std::vector<GridPosition> across(out_columns);
    for (std::size_t x = 0; x < out_columns; ++x)
        across[x] = grid_position(x, out_columns, columns);
    pm::kernels::parallel_for(out_rows, 16, pass_threads(), [&](std::size_t begin, std::size_t end) {
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
                const std::array<float, 4> weights = bilinear_weights(down, side);
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
