#include "normalise.h"

namespace pm::kernels {
namespace {

NormaliseTable make_normalise_table() {
    NormaliseTable table{};
    for (int v = 0; v < 256; ++v) {
        const float scaled = static_cast<float>(v) / 255.0F;                          // float32 / weak float
        const float centred = static_cast<float>(static_cast<double>(scaled) - 0.5);  // float64 loop
        table[static_cast<std::size_t>(v)] = static_cast<float>(static_cast<double>(centred) / 0.5);
    }
    return table;
}

}  // namespace

const NormaliseTable& normalise_table() {
    static const NormaliseTable table = make_normalise_table();
    return table;
}

void bgr_to_model_rgb(const std::uint8_t* bgr, float* rgb, std::size_t pixels) {
    const NormaliseTable& table = normalise_table();
    for (std::size_t i = 0; i < pixels; ++i, bgr += 3, rgb += 3) {
        rgb[0] = table[bgr[2]];
        rgb[1] = table[bgr[1]];
        rgb[2] = table[bgr[0]];
    }
}

}  // namespace pm::kernels
