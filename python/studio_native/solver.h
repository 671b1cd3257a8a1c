// Closed-form alpha in the band, by conjugate gradients preconditioned with
// the diagonal, over the unknown pixels only:
//     L_uu x_u = -L_uk x_k
// the paper's solve with the trimap as hard constraints. The first guess
// (the coarse matte) is where the iteration starts; stopping early keeps
// more of it where colours say little.
#pragma once

#include "laplacian.h"

#include <cstddef>
#include <cstdint>

namespace ps {

struct SolveReport {
    int iterations = 0;
    double relative_residual = 0.0;  // |r| / |b| when it stopped (0 when nothing was unknown)
};

// `alpha` (rows x columns) holds the known values (taken from the trimap:
// 1 for person, 0 for background) and, at unknown pixels, the first guess;
// on return the unknown pixels hold the solution, clipped to [0, 1].
// Stops when |r| <= tolerance |b| or after `max_iterations`, whichever is
// first, so it always ends.
SolveReport solve_band(const BandSystem& system, const std::uint8_t* trimap, float* alpha, int max_iterations,
                       double tolerance);

}  // namespace ps
