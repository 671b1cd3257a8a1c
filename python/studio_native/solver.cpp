#include "solver.h"

#include "trimap.h"

#include "threads.h"

#include "portrait_main/engine/kernels/parallel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace ps {
namespace {

// Sums are taken over a fixed split of the unknowns, so the result does not
// depend on how many threads ran.
constexpr std::size_t sum_blocks = 64;

template <std::size_t N, typename Body>
std::array<double, N> blocked_sums(std::size_t count, Body body) {
    std::array<std::array<double, N>, sum_blocks> partial{};
    const std::size_t block = (count + sum_blocks - 1) / sum_blocks;
    pm::kernels::parallel_for(sum_blocks, count >= 8192 ? 8 : sum_blocks, pass_threads(),
                              [&](std::size_t begin, std::size_t end) {
                                  for (std::size_t b = begin; b < end; ++b)
                                      partial[b] = body(std::min(count, b * block), std::min(count, (b + 1) * block));
                              });
    std::array<double, N> total{};
    for (const auto& p : partial)
        for (std::size_t k = 0; k < N; ++k)
            total[k] += p[k];
    return total;
}

}  // namespace

SolveReport solve_band(const BandSystem& system, const std::uint8_t* trimap, float* alpha, int max_iterations,
                       double tolerance) {
    SolveReport report;
    const std::size_t n = system.pixels.size();
    const std::size_t columns = system.columns;
    const std::size_t pixels = system.rows * columns;
    if (n == 0) {
        for (std::size_t i = 0; i < pixels; ++i)
            alpha[i] = trimap[i] == trimap_person ? 1.0F : 0.0F;
        return report;
    }
    const auto offset = [columns](int k) {
        return static_cast<std::ptrdiff_t>(k / stencil_side - stencil_reach) * static_cast<std::ptrdiff_t>(columns) +
               (k % stencil_side - stencil_reach);
    };
    std::array<std::ptrdiff_t, stencil_size> offsets{};
    for (int k = 0; k < stencil_size; ++k)
        offsets[static_cast<std::size_t>(k)] = offset(k);

    // The full grid: known values, with the unknowns set apart in `x`.
    std::vector<double> grid(pixels);
    for (std::size_t i = 0; i < pixels; ++i)
        grid[i] = trimap[i] == trimap_person ? 1.0 : 0.0;
    std::vector<double> x(n), r(n), z(n), p(n), q(n), inverse_diagonal(n);
    for (std::size_t u = 0; u < n; ++u) {
        const float guess = alpha[system.pixels[u]];
        x[u] = std::isfinite(guess) ? std::clamp(static_cast<double>(guess), 0.0, 1.0) : 0.5;
        const double diagonal = system.stencil[u * stencil_size + stencil_size / 2];
        // A pixel in no window (a picture under 3 pixels across) has no
        // equation; it keeps its guess.
        inverse_diagonal[u] = diagonal > 0.0 ? 1.0 / diagonal : 0.0;
    }

    // Applies the unknowns' rows of L to the grid (which holds zeros or the
    // known values at known pixels): out = L_u. grid.
    const auto apply = [&](std::vector<double>& out, std::size_t begin, std::size_t end) {
        for (std::size_t u = begin; u < end; ++u) {
            const double* row = system.stencil.data() + u * stencil_size;
            const double* centre = grid.data() + system.pixels[u];
            const std::size_t i = system.pixels[u];
            const std::size_t y = i / columns, xcol = i % columns;
            double sum = 0.0;
            if (y >= 2 && y + 2 < system.rows && xcol >= 2 && xcol + 2 < columns) {
                for (int k = 0; k < stencil_size; ++k)
                    sum += row[k] * centre[offsets[static_cast<std::size_t>(k)]];
            } else {
                for (int k = 0; k < stencil_size; ++k)
                    if (row[k] != 0.0)
                        sum += row[k] * centre[offsets[static_cast<std::size_t>(k)]];
            }
            out[u] = sum;
        }
    };

    // b = -L_uk x_k (the unknowns are still zero on the grid).
    std::vector<double> b(n);
    pm::kernels::parallel_for(n, 4096, pass_threads(), [&](std::size_t begin, std::size_t end) {
        apply(b, begin, end);
        for (std::size_t u = begin; u < end; ++u)
            b[u] = -b[u];
    });
    const double b_norm = std::sqrt(blocked_sums<1>(n, [&](std::size_t begin, std::size_t end) {
        double s = 0.0;
        for (std::size_t u = begin; u < end; ++u)
            s += b[u] * b[u];
        return std::array<double, 1>{s};
    })[0]);
    for (std::size_t u = 0; u < n; ++u)
        grid[system.pixels[u]] = x[u];
    pm::kernels::parallel_for(n, 4096, pass_threads(),
                              [&](std::size_t begin, std::size_t end) { apply(r, begin, end); });
    for (std::size_t u = 0; u < n; ++u)
        r[u] = -r[u];  // A x with the knowns included is L_uu x_u + L_uk x_k

    // From here on the grid carries the search direction, zero at knowns.
    for (std::size_t i = 0; i < pixels; ++i)
        grid[i] = 0.0;
    const auto precondition = [&](std::size_t begin, std::size_t end) {
        double rz = 0.0, rr = 0.0;
        for (std::size_t u = begin; u < end; ++u) {
            z[u] = r[u] * inverse_diagonal[u];
            rz += r[u] * z[u];
            rr += inverse_diagonal[u] != 0.0 ? r[u] * r[u] : 0.0;
        }
        return std::array<double, 2>{rz, rr};
    };
    auto [rz, rr] = blocked_sums<2>(n, precondition);
    const double scale = b_norm > 0.0 ? b_norm : 1.0;
    for (std::size_t u = 0; u < n; ++u) {
        p[u] = z[u];
        grid[system.pixels[u]] = p[u];
    }
    int iteration = 0;
    while (iteration < max_iterations && std::sqrt(rr) > tolerance * scale && rz > 0.0) {
        const double pq = blocked_sums<1>(n, [&](std::size_t begin, std::size_t end) {
            apply(q, begin, end);
            double s = 0.0;
            for (std::size_t u = begin; u < end; ++u)
                s += p[u] * q[u];
            return std::array<double, 1>{s};
        })[0];
        if (!(pq > 0.0))
            break;  // the band's system is singular along p: nothing more to gain
        const double step = rz / pq;
        const auto [rz_next, rr_next] = blocked_sums<2>(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t u = begin; u < end; ++u) {
                x[u] += step * p[u];
                r[u] -= step * q[u];
            }
            return precondition(begin, end);
        });
        const double beta = rz_next / rz;
        rz = rz_next;
        rr = rr_next;
        pm::kernels::parallel_for(n, 4096, pass_threads(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t u = begin; u < end; ++u) {
                p[u] = z[u] + beta * p[u];
                grid[system.pixels[u]] = p[u];
            }
        });
        ++iteration;
    }
    report.iterations = iteration;
    report.relative_residual = std::sqrt(rr) / scale;
    for (std::size_t i = 0; i < pixels; ++i)
        if (trimap[i] == trimap_person || trimap[i] == trimap_background)
            alpha[i] = trimap[i] == trimap_person ? 1.0F : 0.0F;
    for (std::size_t u = 0; u < n; ++u)
        alpha[system.pixels[u]] = static_cast<float>(std::clamp(std::isfinite(x[u]) ? x[u] : 0.5, 0.0, 1.0));
    return report;
}

}  // namespace ps
