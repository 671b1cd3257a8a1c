// Rounding to the nearest byte, half to even, as np.rint followed by a clip.
#pragma once

#include <cstdint>

namespace ps {

// Adding and taking away 2^23 leaves a float rounded to a whole number in
// the current (nearest, ties to even) mode for any |value| below 2^23, which
// is what rint does; unlike a call to the library it inlines on every x86-64.
// Larger and negative values clip to 255 or 0 either way; NaN gives 0.
inline std::uint8_t round_to_byte(float value) {
    constexpr float shift = 8388608.0F;  // 2^23
    const float rounded = value >= 0.0F && value < shift ? (value + shift) - shift : value;
    return rounded >= 255.0F ? 255 : rounded > 0.0F ? static_cast<std::uint8_t>(rounded) : 0;
}

}  // namespace ps
