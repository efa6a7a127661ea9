#include "control/PictureProbe.h"

#include <cstdlib>

PictureProbe PictureProbe::sample(const uint8_t *uyvy, int xres, int yres, int strideBytes)
{
    PictureProbe probe;
    if (!uyvy || xres < 2 || yres < 1 || strideBytes < xres * 2)
        return probe;
    for (int r = 0; r < Rows; ++r) {
        const uint8_t *line = uyvy + size_t((2 * r + 1) * int64_t(yres) / (2 * Rows)) * strideBytes;
        for (int c = 0; c < Columns; ++c) {
            const int x = int((2 * c + 1) * int64_t(xres) / (2 * Columns));
            probe.luma[size_t(r * Columns + c)] = line[x * 2 + 1];
        }
    }
    probe.valid = true;
    return probe;
}

double PictureProbe::darkShare(int lumaThreshold) const
{
    if (!valid)
        return 0.0;
    int dark = 0;
    for (uint8_t y : luma)
        dark += y < lumaThreshold ? 1 : 0;
    return double(dark) / Points;
}

double PictureProbe::difference(const PictureProbe &other) const
{
    if (!valid || !other.valid)
        return 255.0;
    int sum = 0;
    for (int i = 0; i < Points; ++i)
        sum += std::abs(int(luma[size_t(i)]) - int(other.luma[size_t(i)]));
    return double(sum) / Points;
}
