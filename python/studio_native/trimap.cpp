#include "trimap.h"

#include "threads.h"

#include "portrait_main/engine/kernels/parallel.h"

#include <algorithm>
#include <vector>

namespace ps {
namespace {

// out[i] = 1 when any of in[i - radius*step .. i + radius*step] (clipped to
// the line) is nonzero: a running count over the line, whatever the radius.
void spread_line(const std::uint8_t* in, std::uint8_t* out, std::size_t length, std::size_t step, std::size_t radius) {
    std::size_t count = 0;
    const std::size_t reach = std::min(radius, length - 1);
    for (std::size_t i = 0; i <= reach; ++i)
        count += in[i * step] != 0;
    for (std::size_t i = 0; i < length; ++i) {
        out[i * step] = count != 0;
        if (i + radius + 1 < length)
            count += in[(i + radius + 1) * step] != 0;
        if (i >= radius)
            count -= in[(i - radius) * step] != 0;
    }
}

}  // namespace

void dilate(const std::uint8_t* source, std::uint8_t* out, std::size_t rows, std::size_t columns, std::size_t radius) {
    if (rows == 0 || columns == 0)
        return;
    std::vector<std::uint8_t> across(rows * columns);
    pm::kernels::parallel_for(rows, 64, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y)
            spread_line(source + y * columns, across.data() + y * columns, columns, 1, radius);
    });
    pm::kernels::parallel_for(columns, 64, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t x = begin; x < end; ++x)
            spread_line(across.data() + x, out + x, rows, columns, radius);
    });
}

void make_trimap(const float* matte, std::uint8_t* trimap, std::size_t rows, std::size_t columns, float background_to,
                 float person_from, std::size_t radius) {
    const std::size_t pixels = rows * columns;
    // A pixel stays sure only when no pixel near it disagrees, so erosion is
    // the dilation of the disagreeing pixels.
    std::vector<std::uint8_t> not_person(pixels), not_background(pixels);
    pm::kernels::parallel_for(pixels, 1 << 16, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            // Written so that NaN is neither sure person nor sure background.
            not_person[i] = !(matte[i] >= person_from);
            not_background[i] = !(matte[i] <= background_to);
        }
    });
    std::vector<std::uint8_t> near_not_person(pixels), near_not_background(pixels);
    dilate(not_person.data(), near_not_person.data(), rows, columns, radius);
    dilate(not_background.data(), near_not_background.data(), rows, columns, radius);
    pm::kernels::parallel_for(pixels, 1 << 16, pass_threads(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            trimap[i] = !near_not_person[i]       ? trimap_person
                        : !near_not_background[i] ? trimap_background
                                                  : trimap_unknown;
    });
}

}  // namespace ps
