#include "blurred_background.h"

#include "rounding.h"
#include "threads.h"

#include "portrait_main/engine/kernels/parallel.h"

#include <cmath>

namespace ps {
namespace {

constexpr std::size_t min_pixels_per_thread = 1 << 16;

// How far a weight `w` is trusted against `floor`: 1 at or above it, 0 at nothing.
inline float trust(float w, float floor) { return w >= floor ? 1.0F : w > 0.0F ? w / floor : 0.0F; }

}  // namespace

void weigh_background(const std::uint8_t* photo, const float* alpha, float* weighted, float* weight,
                      std::size_t pixels) {
    pm::kernels::parallel_for(pixels, min_pixels_per_thread, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float a = alpha[i];
            const float w = std::isnan(a) || a <= 0.0F ? 1.0F : a >= 1.0F ? 0.0F : 1.0F - a;
            weight[i] = w;
            for (std::size_t c = 0; c < 3; ++c)
                weighted[i * 3 + c] = w * static_cast<float>(photo[i * 3 + c]);
        }
    });
}

void normalise_background(const float* near_weighted, const float* near_weight, const float* wide_weighted,
                          const float* wide_weight, const float mean[3], float floor, std::uint8_t* out,
                          std::size_t pixels) {
    pm::kernels::parallel_for(pixels, min_pixels_per_thread, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float near = trust(near_weight[i], floor), wide = trust(wide_weight[i], floor);
            for (std::size_t c = 0; c < 3; ++c) {
                float value = mean[c];
                if (wide > 0.0F)
                    value = wide * (wide_weighted[i * 3 + c] / wide_weight[i]) + (1.0F - wide) * value;
                if (near > 0.0F)
                    value = near * (near_weighted[i * 3 + c] / near_weight[i]) + (1.0F - near) * value;
                out[i * 3 + c] = round_to_byte(value);
            }
        }
    });
}

}  // namespace ps
