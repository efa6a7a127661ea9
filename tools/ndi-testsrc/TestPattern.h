// The picture of a test source: colour bars, a moving box and a burnt-in frame counter,
// drawn straight into a UYVY frame (2 bytes per pixel, U Y0 V Y1 per pixel pair).
//
// Layout, in units of u = yres / 54 pixels (so the picture scales with the frame and a
// proxy of any size keeps the same proportions; a pixel at unit k starts at floor(k * u)):
//   rows    0..40u   seven vertical bars of equal width, left to right:
//                    white, yellow, cyan, green, magenta, red, blue (75% bars, see bar());
//   rows   40..54u   black band (Y 16, U = V = 128) holding
//                    - the frame counter: 8 decimal digits, zero padded, 5x7 cell font,
//                      each font cell u x u, digit i at x = (2 + 6 i)u, y = 44u..51u,
//                      lit cells Y 235, unlit Y 16;
//                    - the moving box: 10u x 10u, Y 235, y = 42u..52u, sliding to and fro
//                      between x = 52u and the right edge minus 2u, 1 pixel step per
//                      frame per 100 rows of frame height.
// The bar colours are exact UYVY byte values (the same at every resolution), so a test
// can compare them bytewise at the centre of each bar.
//
// Thread: a TestPattern belongs to the thread that draws it; it has no locks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

class TestPattern
{
public:
    struct Uyvy
    {
        uint8_t y, u, v;
    };
    static constexpr int barCount = 7;
    static constexpr int counterDigits = 8;
    // Bar colours, left to right: white, yellow, cyan, green, magenta, red, blue.
    static constexpr std::array<Uyvy, barCount> bars = {{{180, 128, 128},
                                                         {168, 44, 136},
                                                         {145, 147, 44},
                                                         {133, 63, 52},
                                                         {63, 193, 204},
                                                         {51, 109, 212},
                                                         {28, 212, 120}}};
    static constexpr Uyvy black = {16, 128, 128};
    static constexpr Uyvy white = {235, 128, 128};

    // xres is rounded down to even; both must be at least 2 x 54 pixels (unitsHigh rows).
    TestPattern(int xres, int yres);

    int xres() const { return m_xres; }
    int yres() const { return m_yres; }
    int strideBytes() const { return m_xres * 2; }
    const uint8_t *data() const { return m_frame.data(); }

    // Redraws the counter and the box for frame number `frame` (counter shows frame mod
    // 10^8). Only the band rows are touched; the bars are drawn once by the constructor.
    void draw(int64_t frame);

    // Reads the counter back from a UYVY frame of any size with the layout above (for
    // instance a downscaled proxy). Returns -1 when any digit cell is not a clean glyph.
    // Only bytes inside the yres rows of strideBytes (0 = packed) are read; a stride
    // below 2 * xres is refused.
    static int64_t readCounter(const uint8_t *uyvy, int xres, int yres, int strideBytes);
    // True when the centre of every bar carries its colour within `tolerance` per byte.
    static bool checkBars(const uint8_t *uyvy, int xres, int yres, int strideBytes,
                          int tolerance = 3);
    // The colour at a pixel of a UYVY frame (luma of that pixel, chroma of its pair).
    static Uyvy pixelAt(const uint8_t *uyvy, int strideBytes, int x, int y);

    // The 8-bit full-range RGB a correct renderer shows for a colour (limited-range video;
    // Rec.709 matrix above 720x576, BT.601 up to it). For 75% bars this is 191 or 0 per
    // component, e.g. yellow (191, 191, 0), so a test of rendered pixels can compare.
    struct Rgb
    {
        int r, g, b;
    };
    static Rgb toRgb(Uyvy c, bool rec709);

    // Box left edge in pixels for a frame number; exposed for tests.
    int boxX(int64_t frame) const;

    static constexpr int unitsHigh = 54;

private:
    int px(double units) const; // units -> pixels (floor)
    void fill(int x0, int y0, int x1, int y1, Uyvy c);

    int m_xres;
    int m_yres;
    double m_unit;
    std::vector<uint8_t> m_frame;
    int m_lastBoxX = -1;
};
