// Sums over square windows, (2 radius + 1)^2 clipped to the picture, in O(1)
// per pixel whatever the radius: running sums along each row, then running
// sums of those down the columns (the shape of OpenCV's boxFilter: a row
// filter and a column filter over plain buffers).
//
// The column sums run over fixed strips of rows, each started afresh, so
// the rounding of the running sums, and with it every result, is the same
// however the strips are spread over threads; the caller does the spreading.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace ps {

// Rows per strip: each strip sums 2 radius rows more than it emits, so
// strips much taller than a radius waste little.
inline constexpr std::size_t box_strip_rows = 64;

inline std::size_t box_strips(std::size_t rows) { return (rows + box_strip_rows - 1) / box_strip_rows; }

// Running sums of one row of `channels` interleaved values: out[x] is the
// sum over [x - radius, x + radius] clipped to [0, columns).
template <typename T>
void box_row_sums(const T* row, double* out, std::size_t columns, std::size_t channels, std::size_t radius) {
    if (columns == 0)
        return;
    std::vector<double> sum(channels, 0.0);
    const std::size_t first = std::min(radius, columns - 1);
    for (std::size_t x = 0; x <= first; ++x)
        for (std::size_t c = 0; c < channels; ++c)
            sum[c] += static_cast<double>(row[x * channels + c]);
    for (std::size_t x = 0; x < columns; ++x) {
        for (std::size_t c = 0; c < channels; ++c)
            out[x * channels + c] = sum[c];
        if (x + radius + 1 < columns)
            for (std::size_t c = 0; c < channels; ++c)
                sum[c] += static_cast<double>(row[(x + radius + 1) * channels + c]);
        if (x >= radius)
            for (std::size_t c = 0; c < channels; ++c)
                sum[c] -= static_cast<double>(row[(x - radius) * channels + c]);
    }
}

// Window sums for the rows of strip `strip`: `source_row(y, scratch)` fills
// scratch (columns x channels values of type T) with picture row y, and
// `emit(y, sums)` receives row y's window sums (columns x channels doubles).
template <typename T, typename SourceRow, typename Emit>
void box_sums_strip(std::size_t strip, std::size_t rows, std::size_t columns, std::size_t channels, std::size_t radius,
                    SourceRow source_row, Emit emit) {
    const std::size_t begin = strip * box_strip_rows, end = std::min(rows, begin + box_strip_rows);
    const std::size_t width = columns * channels;
    std::vector<T> source(width);
    std::vector<double> across(width), down(width, 0.0);
    const auto add_row = [&](std::size_t y, double sign) {
        source_row(y, source.data());
        box_row_sums(source.data(), across.data(), columns, channels, radius);
        for (std::size_t k = 0; k < width; ++k)
            down[k] += sign * across[k];
    };
    for (std::size_t y = begin >= radius ? begin - radius : 0; y < std::min(rows, begin + radius + 1); ++y)
        add_row(y, 1.0);
    for (std::size_t y = begin; y < end; ++y) {
        emit(y, static_cast<const double*>(down.data()));
        if (y + 1 < end) {
            if (y + radius + 1 < rows)
                add_row(y + radius + 1, 1.0);
            if (y >= radius)
                add_row(y - radius, -1.0);
        }
    }
}

// How many pixels the window around (y, x) covers.
inline double box_count(std::size_t y, std::size_t x, std::size_t rows, std::size_t columns, std::size_t radius) {
    const std::size_t y0 = y >= radius ? y - radius : 0, y1 = std::min(rows, y + radius + 1);
    const std::size_t x0 = x >= radius ? x - radius : 0, x1 = std::min(columns, x + radius + 1);
    return static_cast<double>((y1 - y0) * (x1 - x0));
}

}  // namespace ps
