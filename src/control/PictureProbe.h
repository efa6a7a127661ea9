// The small picture alarms look at: the luma of a fixed grid of Columns x Rows points of a
// UYVY frame (one byte read per point, never the whole frame), and the two measures taken
// from it.
//
// Thread: a value type; any thread.
#pragma once

#include <array>
#include <cstdint>

struct PictureProbe
{
    static constexpr int Columns = 32;
    static constexpr int Rows = 18;
    static constexpr int Points = Columns * Rows;

    std::array<uint8_t, Points> luma{};
    bool valid = false;

    // Samples the centre of each grid cell; an invalid probe for unusable input.
    static PictureProbe sample(const uint8_t *uyvy, int xres, int yres, int strideBytes);
    // Share of points (0..1) whose luma is below `lumaThreshold`.
    double darkShare(int lumaThreshold) const;
    // Mean absolute luma difference to another probe (0 for identical pictures; 255 when
    // either is invalid).
    double difference(const PictureProbe &other) const;
};
