// The photograph's own background blurred without the person in it: a
// normalised convolution. Each pixel is weighted by how surely it is
// background (1 - alpha), the weighted colours and the weights are blurred
// (by OpenCV, between these passes), and their ratio is the background as
// the blur would see it with the person taken out. Where the weights around
// a pixel vanish (deep inside the person) the ratio is noise over nothing,
// so it fades into a wider blur's ratio, and that one into the mean colour
// of all the background.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ps {

// weight = 1 - clip(alpha, 0, 1) (NaN counts as background), weighted = photo * weight.
void weigh_background(const std::uint8_t* photo, const float* alpha, float* weighted, float* weight,
                      std::size_t pixels);

// The blurred background, rounded half to even into bytes: near's ratio
// where near_weight >= floor, blended linearly (by near_weight / floor) into
// wide's ratio below it, and wide's into `mean` the same way.
void normalise_background(const float* near_weighted, const float* near_weight, const float* wide_weighted,
                          const float* wide_weight, const float mean[3], float floor, std::uint8_t* out,
                          std::size_t pixels);

}  // namespace ps
