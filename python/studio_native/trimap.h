// A trimap from a coarse matte: sure person, sure background, and the band
// between them where the matte is worked out again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ps {

inline constexpr std::uint8_t trimap_background = 0;
inline constexpr std::uint8_t trimap_unknown = 128;
inline constexpr std::uint8_t trimap_person = 255;

// A pixel is sure person when every matte value within `radius` of it (a
// square) is at least `person_from`, sure background when every one is at
// most `background_to`, and unknown otherwise. Outside the picture counts as
// agreeing, so the band runs along the matte's edge and not along the frame.
void make_trimap(const float* matte, std::uint8_t* trimap, std::size_t rows, std::size_t columns, float background_to,
                 float person_from, std::size_t radius);

// Marks (1) every pixel within `radius` (a square) of a pixel where
// `source` is nonzero; 0 elsewhere.
void dilate(const std::uint8_t* source, std::uint8_t* out, std::size_t rows, std::size_t columns, std::size_t radius);

}  // namespace ps
