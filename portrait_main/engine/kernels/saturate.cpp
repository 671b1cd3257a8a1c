#include "saturate.h"

#include <cstring>

namespace pm::kernels {

template <typename Real>
void saturate_to_byte_range(char* first, std::size_t count, std::ptrdiff_t byte_stride) {
    for (std::size_t i = 0; i < count; ++i, first += byte_stride) {
        Real value;
        std::memcpy(&value, first, sizeof value);
        value = static_cast<Real>(saturate_to_byte_range(static_cast<double>(value)));
        std::memcpy(first, &value, sizeof value);
    }
}

template void saturate_to_byte_range<float>(char*, std::size_t, std::ptrdiff_t);
template void saturate_to_byte_range<double>(char*, std::size_t, std::ptrdiff_t);

}  // namespace pm::kernels
