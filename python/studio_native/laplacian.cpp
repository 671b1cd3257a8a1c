#include "laplacian.h"

#include "grid.h"
#include "trimap.h"

#include "threads.h"

#include "portrait_main/engine/kernels/parallel.h"

#include <array>
#include <cstdint>
#include <limits>

namespace ps {
namespace {

constexpr double window_area = 9.0;

struct WindowStatistics {
    std::array<double, 3> mean;
    Symmetric3 inverse;  // (Sigma + epsilon / 9 I)^-1
};

inline double colour(const std::uint8_t* image, std::size_t pixel, int channel) {
    return static_cast<double>(image[pixel * 3 + static_cast<std::size_t>(channel)]) * (1.0 / 255.0);
}

WindowStatistics window_statistics(const std::uint8_t* image, std::size_t columns, std::size_t y, std::size_t x,
                                   double epsilon) {
    WindowStatistics s{};
    std::array<std::array<double, 3>, 9> c{};
    int n = 0;
    for (std::size_t wy = y - 1; wy <= y + 1; ++wy)
        for (std::size_t wx = x - 1; wx <= x + 1; ++wx, ++n)
            for (int ch = 0; ch < 3; ++ch)
                c[n][ch] = colour(image, wy * columns + wx, ch);
    for (int ch = 0; ch < 3; ++ch) {
        double sum = 0.0;
        for (const auto& v : c)
            sum += v[ch];
        s.mean[ch] = sum / window_area;
    }
    double a00 = epsilon, a01 = 0.0, a02 = 0.0, a11 = epsilon, a12 = 0.0, a22 = epsilon;
    for (auto& v : c) {
        for (int ch = 0; ch < 3; ++ch)
            v[ch] -= s.mean[ch];
        a00 += v[0] * v[0];
        a01 += v[0] * v[1];
        a02 += v[0] * v[2];
        a11 += v[1] * v[1];
        a12 += v[1] * v[2];
        a22 += v[2] * v[2];
    }
    a00 /= window_area, a01 /= window_area, a02 /= window_area;
    a11 /= window_area, a12 /= window_area, a22 /= window_area;
    s.inverse = symmetric_inverse({a00, a01, a02, a11, a12, a22});
    return s;
}

}  // namespace

BandSystem build_band_system(const std::uint8_t* image, const std::uint8_t* trimap, std::size_t rows,
                             std::size_t columns, double epsilon) {
    BandSystem system;
    system.rows = rows;
    system.columns = columns;
    const std::size_t pixels = rows * columns;
    for (std::size_t i = 0; i < pixels; ++i)
        if (trimap[i] != trimap_person && trimap[i] != trimap_background)
            system.pixels.push_back(static_cast<std::uint32_t>(i));
    if (system.pixels.empty())
        return system;

    // The statistics of every window an unknown pixel lies in, computed once.
    std::vector<std::uint8_t> unknown(pixels), near_unknown(pixels);
    for (const std::uint32_t i : system.pixels)
        unknown[i] = 1;
    dilate(unknown.data(), near_unknown.data(), rows, columns, 1);
    constexpr std::uint32_t no_window = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> window_of(pixels, no_window);
    std::vector<std::uint32_t> centres;
    for (std::size_t y = 1; y + 1 < rows; ++y)
        for (std::size_t x = 1; x + 1 < columns; ++x)
            if (near_unknown[y * columns + x]) {
                window_of[y * columns + x] = static_cast<std::uint32_t>(centres.size());
                centres.push_back(static_cast<std::uint32_t>(y * columns + x));
            }
    std::vector<WindowStatistics> windows(centres.size());
    pm::kernels::parallel_for(centres.size(), 4096, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t w = begin; w < end; ++w)
            windows[w] = window_statistics(image, columns, centres[w] / columns, centres[w] % columns, epsilon);
    });

    system.stencil.assign(system.pixels.size() * stencil_size, 0.0);
    pm::kernels::parallel_for(system.pixels.size(), 2048, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t u = begin; u < end; ++u) {
            double* row = system.stencil.data() + u * stencil_size;
            const std::size_t i = system.pixels[u];
            const std::ptrdiff_t yi = static_cast<std::ptrdiff_t>(i / columns);
            const std::ptrdiff_t xi = static_cast<std::ptrdiff_t>(i % columns);
            for (int wy = -1; wy <= 1; ++wy)
                for (int wx = -1; wx <= 1; ++wx) {
                    const std::ptrdiff_t cy = yi + wy, cx = xi + wx;
                    if (cy < 1 || cx < 1 || cy + 1 >= static_cast<std::ptrdiff_t>(rows) ||
                        cx + 1 >= static_cast<std::ptrdiff_t>(columns))
                        continue;
                    const WindowStatistics& s =
                        windows[window_of[static_cast<std::size_t>(cy) * columns + static_cast<std::size_t>(cx)]];
                    const double s0 = colour(image, i, 0) - s.mean[0];
                    const double s1 = colour(image, i, 1) - s.mean[1];
                    const double s2 = colour(image, i, 2) - s.mean[2];
                    const auto [v0, v1, v2] = symmetric_apply(s.inverse, s0, s1, s2);
                    for (int jy = -1; jy <= 1; ++jy)
                        for (int jx = -1; jx <= 1; ++jx) {
                            const std::size_t j =
                                static_cast<std::size_t>(cy + jy) * columns + static_cast<std::size_t>(cx + jx);
                            const double t = v0 * (colour(image, j, 0) - s.mean[0]) +
                                             v1 * (colour(image, j, 1) - s.mean[1]) +
                                             v2 * (colour(image, j, 2) - s.mean[2]);
                            const int dy = wy + jy, dx = wx + jx;
                            row[(dy + stencil_reach) * stencil_side + dx + stencil_reach] +=
                                (j == i ? 1.0 : 0.0) - (1.0 + t) / window_area;
                        }
                }
        }
    });
    return system;
}

}  // namespace ps
