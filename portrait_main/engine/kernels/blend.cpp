#include "blend.h"

#include <cstring>

namespace pm::kernels {

void blend_over_white(const std::uint8_t* image, const float* matte, std::uint8_t* out, std::size_t pixels) {
    // A matte stretched with nearest neighbour comes in runs of one value;
    // each run is blended as a whole.
    std::size_t begin = 0;
    while (begin < pixels) {
        const float m = matte[begin];
        std::size_t end = begin + 1;
        while (end < pixels && matte[end] == m)  // a NaN ends its run at once
            ++end;
        const float background_weight = 1.0F - m;
        if (m == 1.0F) {
            // m * v is v exactly and the white part is 0: the source values.
            std::memcpy(out + 3 * begin, image + 3 * begin, 3 * (end - begin));
        } else if (m >= 0.0F && background_weight == 1.0F) {
            // The white part is 255 and m * v >= 0 lifts it no lower: white.
            std::memset(out + 3 * begin, 255, 3 * (end - begin));
        } else {
            const double white_part = static_cast<double>(background_weight) * 255.0;
            for (std::size_t k = 3 * begin; k < 3 * end; ++k)
                out[k] = blend_value(m, white_part, image[k]);
        }
        begin = end;
    }
}

}  // namespace pm::kernels
