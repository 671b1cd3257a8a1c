#include "pack.h"

namespace pm::kernels {

void interleaved_to_planes(const float* interleaved, float* planes, std::size_t rows, std::size_t columns) {
    const std::size_t plane = rows * columns;
    float* first = planes;
    float* second = planes + plane;
    float* third = planes + 2 * plane;
    for (std::size_t i = 0; i < plane; ++i, interleaved += 3) {
        first[i] = interleaved[0];
        second[i] = interleaved[1];
        third[i] = interleaved[2];
    }
}

}  // namespace pm::kernels
