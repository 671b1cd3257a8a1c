#include "foreground.h"

#include "guided.h"
#include "rounding.h"
#include "trimap.h"

#include "threads.h"

#include "portrait_main/engine/kernels/parallel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace ps {
namespace {

struct Level {
    std::size_t rows, columns;
    std::vector<float> image;  // [0, 1]
    std::vector<float> alpha;
};

// The working image and matte sampled (nearest) at a smaller size.
Level sample_level(const std::uint8_t* image, const float* alpha, std::size_t rows, std::size_t columns,
                   std::size_t level_rows, std::size_t level_columns) {
    Level level{level_rows, level_columns, std::vector<float>(level_rows * level_columns * 3),
                std::vector<float>(level_rows * level_columns)};
    for (std::size_t y = 0; y < level_rows; ++y) {
        const std::size_t sy = std::min(rows - 1, y * rows / level_rows);
        for (std::size_t x = 0; x < level_columns; ++x) {
            const std::size_t sx = std::min(columns - 1, x * columns / level_columns);
            const std::size_t s = sy * columns + sx, d = y * level_columns + x;
            level.alpha[d] = alpha[s];
            for (std::size_t c = 0; c < 3; ++c)
                level.image[d * 3 + c] = image[s * 3 + c] / 255.0F;
        }
    }
    return level;
}

std::vector<float> resize_nearest(const std::vector<float>& plane, std::size_t rows, std::size_t columns,
                                  std::size_t new_rows, std::size_t new_columns) {
    std::vector<float> out(new_rows * new_columns * 3);
    for (std::size_t y = 0; y < new_rows; ++y) {
        const std::size_t sy = std::min(rows - 1, y * rows / new_rows);
        for (std::size_t x = 0; x < new_columns; ++x) {
            const std::size_t sx = std::min(columns - 1, x * columns / new_columns);
            for (std::size_t c = 0; c < 3; ++c)
                out[(y * new_columns + x) * 3 + c] = plane[(sy * columns + sx) * 3 + c];
        }
    }
    return out;
}

// Pixels within reach of a partly transparent one: on the large levels only
// these are updated. Elsewhere alpha is 0 or 1 all around, the colours there
// are never shown mixed, and the coarser levels have already carried colours
// across them.
std::vector<std::uint8_t> near_soft(const Level& level, std::size_t reach) {
    std::vector<std::uint8_t> soft(level.alpha.size()), near(level.alpha.size());
    for (std::size_t i = 0; i < soft.size(); ++i)
        soft[i] = level.alpha[i] > 0.0F && level.alpha[i] < 1.0F;
    dilate(soft.data(), near.data(), level.rows, level.columns, reach);
    return near;
}

// One red-black sweep: every pixel of one colour solves its 2 x 2 system
// from its neighbours (all of the other colour), so rows can be split
// across threads and the result does not depend on how. With `active`, only
// the pixels it marks are updated.
void sweep(const Level& level, std::vector<float>& fore, std::vector<float>& back, const ForegroundSettings& s,
           const std::vector<std::uint8_t>* active) {
    const std::size_t rows = level.rows, columns = level.columns;
    for (std::size_t parity = 0; parity < 2; ++parity) {
        pm::kernels::parallel_for(rows, 32, pass_threads(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t y = begin; y < end; ++y)
                for (std::size_t x = (y + parity) % 2; x < columns; x += 2) {
                    const std::size_t i = y * columns + x;
                    if (active && !(*active)[i])
                        continue;
                    const double a0 = level.alpha[i], a1 = 1.0 - a0;
                    double weight = 0.0, f[3] = {0, 0, 0}, b[3] = {0, 0, 0};
                    const auto neighbour = [&](std::size_t j) {
                        const double w = s.regularisation + s.gradient_weight * std::abs(a0 - level.alpha[j]);
                        weight += w;
                        for (std::size_t c = 0; c < 3; ++c) {
                            f[c] += w * fore[j * 3 + c];
                            b[c] += w * back[j * 3 + c];
                        }
                    };
                    if (x > 0)
                        neighbour(i - 1);
                    if (x + 1 < columns)
                        neighbour(i + 1);
                    if (y > 0)
                        neighbour(i - columns);
                    if (y + 1 < rows)
                        neighbour(i + columns);
                    const double m00 = a0 * a0 + weight, m01 = a0 * a1, m11 = a1 * a1 + weight;
                    const double det = m00 * m11 - m01 * m01;
                    if (!(det > 0.0))
                        continue;  // a single pixel with nothing around it
                    for (std::size_t c = 0; c < 3; ++c) {
                        const double image = level.image[i * 3 + c];
                        const double r0 = a0 * image + f[c], r1 = a1 * image + b[c];
                        fore[i * 3 + c] = static_cast<float>(std::clamp((m11 * r0 - m01 * r1) / det, 0.0, 1.0));
                        back[i * 3 + c] = static_cast<float>(std::clamp((m00 * r1 - m01 * r0) / det, 0.0, 1.0));
                    }
                }
        });
    }
}

}  // namespace

void estimate_foreground(const std::uint8_t* image, const float* alpha, std::size_t rows, std::size_t columns,
                         const ForegroundSettings& settings, float* foreground) {
    if (rows == 0 || columns == 0)
        return;
    // Sizes grow geometrically from one pixel to the full picture.
    const std::size_t largest = std::max(rows, columns);
    const int levels = static_cast<int>(std::ceil(std::log2(static_cast<double>(largest)))) + 1;
    std::vector<float> fore, back;
    std::size_t previous_rows = 0, previous_columns = 0;
    for (int l = 0; l < levels; ++l) {
        const double t = levels > 1 ? static_cast<double>(l) / (levels - 1) : 1.0;
        const std::size_t level_rows =
            std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(std::pow(static_cast<double>(rows), t))));
        const std::size_t level_columns =
            std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(std::pow(static_cast<double>(columns), t))));
        const Level level = sample_level(image, alpha, rows, columns, level_rows, level_columns);
        if (l == 0) {
            fore = level.image;
            back = level.image;
        } else {
            fore = resize_nearest(fore, previous_rows, previous_columns, level_rows, level_columns);
            back = resize_nearest(back, previous_rows, previous_columns, level_rows, level_columns);
        }
        const bool small = std::max(level_rows, level_columns) <= settings.small_size;
        std::vector<std::uint8_t> active;
        if (!small)
            active = near_soft(level, settings.reach);
        for (int k = 0; k < (small ? settings.small_sweeps : settings.large_sweeps); ++k)
            sweep(level, fore, back, settings, small ? nullptr : &active);
        previous_rows = level_rows;
        previous_columns = level_columns;
    }
    std::copy(fore.begin(), fore.end(), foreground);
}

void full_size_foreground(const float* working_foreground, const std::uint8_t* working_photo, std::size_t rows,
                          std::size_t columns, const std::uint8_t* photo, const float* alpha, std::size_t out_rows,
                          std::size_t out_columns, std::uint8_t* out) {
    std::vector<GridPosition> across(out_columns);
    for (std::size_t x = 0; x < out_columns; ++x)
        across[x] = grid_position(x, out_columns, columns);
    const auto correction = [&](std::size_t i, std::size_t c) {
        return working_foreground[i * 3 + c] * 255.0F - static_cast<float>(working_photo[i * 3 + c]);
    };
    pm::kernels::parallel_for(out_rows, 16, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y) {
            const GridPosition down = grid_position(y, out_rows, rows);
            for (std::size_t x = 0; x < out_columns; ++x) {
                const std::size_t i = y * out_columns + x;
                const std::uint8_t* source = photo + i * 3;
                std::uint8_t* target = out + i * 3;
                if (alpha[i] <= 0.0F || alpha[i] >= 1.0F) {
                    target[0] = source[0], target[1] = source[1], target[2] = source[2];
                    continue;
                }
                const GridPosition& side = across[x];
                const std::size_t corners[4] = {down.low * columns + side.low, down.low * columns + side.high,
                                                down.high * columns + side.low, down.high * columns + side.high};
                const std::array<float, 4> weights = bilinear_weights(down, side);
                for (std::size_t c = 0; c < 3; ++c) {
                    float shift = 0.0F;
                    for (int k = 0; k < 4; ++k)
                        shift += weights[k] * correction(corners[k], c);
                    target[c] = round_to_byte(source[c] + shift);
                }
            }
        }
    });
}

}  // namespace ps
