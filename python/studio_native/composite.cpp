#include "composite.h"

#include "rounding.h"

#include "threads.h"

#include "portrait_main/engine/kernels/parallel.h"

namespace ps {
namespace {

inline std::uint8_t alpha_byte(float alpha) { return round_to_byte(alpha * 255.0F); }

constexpr std::size_t min_pixels_per_thread = 1 << 16;

}  // namespace

void composite_over_colour(const std::uint8_t* foreground, const float* alpha, const float colour[3], std::uint8_t* out,
                           std::size_t pixels) {
    pm::kernels::parallel_for(pixels, min_pixels_per_thread, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float a = alpha[i], rest = 1.0F - a;
            for (std::size_t c = 0; c < 3; ++c) {
                const float front = a * static_cast<float>(foreground[i * 3 + c]);
                const float behind = rest * colour[c];
                out[i * 3 + c] = round_to_byte(front + behind);
            }
        }
    });
}

void composite_over_picture(const std::uint8_t* foreground, const float* alpha, const std::uint8_t* picture,
                            std::uint8_t* out, std::size_t pixels) {
    pm::kernels::parallel_for(pixels, min_pixels_per_thread, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float a = alpha[i], rest = 1.0F - a;
            for (std::size_t c = 0; c < 3; ++c) {
                const float front = a * static_cast<float>(foreground[i * 3 + c]);
                const float behind = rest * static_cast<float>(picture[i * 3 + c]);
                out[i * 3 + c] = round_to_byte(front + behind);
            }
        }
    });
}

void composite_with_alpha(const std::uint8_t* foreground, const float* alpha, std::uint8_t* out, std::size_t pixels) {
    pm::kernels::parallel_for(pixels, min_pixels_per_thread, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            out[i * 4 + 0] = foreground[i * 3 + 0];
            out[i * 4 + 1] = foreground[i * 3 + 1];
            out[i * 4 + 2] = foreground[i * 3 + 2];
            out[i * 4 + 3] = alpha_byte(alpha[i]);
        }
    });
}

void alpha_to_bytes(const float* alpha, std::uint8_t* out, std::size_t pixels) {
    pm::kernels::parallel_for(pixels, min_pixels_per_thread, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            out[i] = alpha_byte(alpha[i]);
    });
}

}  // namespace ps
