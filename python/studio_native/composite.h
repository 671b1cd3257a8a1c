// The picture from a foreground and a matte: over a colour, or as B, G, R, A.
//
// Over a colour each channel is alpha * F + (1 - alpha) * colour in float32
// (each product and the sum rounded to float32), rounded half to even and
// clipped to [0, 255]: the bytes NumPy gives for the same expression with a
// float32 matte. The alpha byte is round-half-even(alpha * 255).
//
// Over a picture the colour is the picture's own pixel, taken as a float32
// the same way, so a picture of one colour gives the colour's bytes exactly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ps {

void composite_over_colour(const std::uint8_t* foreground, const float* alpha, const float colour[3], std::uint8_t* out,
                           std::size_t pixels);

void composite_over_picture(const std::uint8_t* foreground, const float* alpha, const std::uint8_t* picture,
                            std::uint8_t* out, std::size_t pixels);

void composite_with_alpha(const std::uint8_t* foreground, const float* alpha, std::uint8_t* out, std::size_t pixels);

void alpha_to_bytes(const float* alpha, std::uint8_t* out, std::size_t pixels);

}  // namespace ps
