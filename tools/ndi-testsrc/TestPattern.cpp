#include "TestPattern.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// 5x7 digit glyphs; each row is 5 bits, the most significant of the 5 is the left cell.
constexpr uint8_t glyphs[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}, // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}, // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}, // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}, // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}, // 9
};

// Layout in units (see TestPattern.h).
constexpr double bandTop = 40;
constexpr double digitTop = 44;
constexpr double digitLeft = 2;
constexpr double digitPitch = 6;
constexpr double boxTop = 42;
constexpr double boxSize = 10;
constexpr double boxLeftMin = 52;
constexpr double boxRightMargin = 2;

int64_t pow10(int n)
{
    int64_t r = 1;
    while (n-- > 0)
        r *= 10;
    return r;
}

} // namespace

TestPattern::TestPattern(int xres, int yres)
    : m_xres(xres & ~1), m_yres(yres), m_unit(double(yres) / unitsHigh),
      m_frame(size_t(m_xres) * 2 * size_t(yres))
{
    const int barsBottom = px(bandTop);
    for (int y = 0; y < barsBottom; ++y) {
        uint8_t *row = m_frame.data() + size_t(y) * strideBytes();
        for (int pair = 0; pair < m_xres / 2; ++pair) {
            const Uyvy &c = bars[size_t(pair * 2 * barCount / m_xres)];
            uint8_t *p = row + pair * 4;
            p[0] = c.u;
            p[1] = c.y;
            p[2] = c.v;
            p[3] = c.y;
        }
    }
    fill(0, barsBottom, m_xres, m_yres, black);
}

int TestPattern::px(double units) const
{
    return int(std::floor(units * m_unit + 1e-9));
}

void TestPattern::fill(int x0, int y0, int x1, int y1, Uyvy c)
{
    x0 = std::clamp(x0, 0, m_xres);
    x1 = std::clamp(x1, 0, m_xres);
    y0 = std::clamp(y0, 0, m_yres);
    y1 = std::clamp(y1, 0, m_yres);
    for (int y = y0; y < y1; ++y) {
        uint8_t *row = m_frame.data() + size_t(y) * strideBytes();
        for (int x = x0; x < x1; ++x) {
            uint8_t *pair = row + (x & ~1) * 2;
            pair[0] = c.u;
            pair[2] = c.v;
            pair[(x & 1) ? 3 : 1] = c.y;
        }
    }
}

int TestPattern::boxX(int64_t frame) const
{
    const int left = px(boxLeftMin);
    const int right = m_xres - px(boxRightMargin) - px(boxSize);
    const int range = right - left;
    if (range <= 0)
        return left;
    const int64_t step = std::max(1, m_yres / 100);
    const int64_t pos = (frame * step) % (2 * int64_t(range));
    return left + int(pos <= range ? pos : 2 * range - pos);
}

void TestPattern::draw(int64_t frame)
{
    // Counter: every cell of every digit is rewritten, lit or not.
    int64_t value = frame % pow10(counterDigits);
    if (value < 0)
        value += pow10(counterDigits);
    for (int d = 0; d < counterDigits; ++d) {
        const int digit = int(value / pow10(counterDigits - 1 - d) % 10);
        for (int row = 0; row < 7; ++row) {
            for (int col = 0; col < 5; ++col) {
                const bool lit = glyphs[digit][row] & (0x10 >> col);
                const double cx = digitLeft + digitPitch * d + col;
                const double cy = digitTop + row;
                fill(px(cx), px(cy), px(cx + 1), px(cy + 1), lit ? white : black);
            }
        }
    }
    // Box: clear the old one, draw the new one.
    const int x = boxX(frame);
    const int top = px(boxTop);
    const int bottom = px(boxTop + boxSize);
    const int width = px(boxSize);
    if (m_lastBoxX >= 0 && m_lastBoxX != x)
        fill(m_lastBoxX, top, m_lastBoxX + width, bottom, black);
    fill(x, top, x + width, bottom, white);
    m_lastBoxX = x;
}

TestPattern::Uyvy TestPattern::pixelAt(const uint8_t *uyvy, int strideBytes, int x, int y)
{
    const uint8_t *pair = uyvy + size_t(y) * size_t(strideBytes) + size_t(x & ~1) * 2;
    return {pair[(x & 1) ? 3 : 1], pair[0], pair[2]};
}

int64_t TestPattern::readCounter(const uint8_t *uyvy, int xres, int yres, int strideBytes)
{
    if (!uyvy || xres < 2 || yres < unitsHigh)
        return -1;
    const double unit = double(yres) / unitsHigh;
    if (strideBytes <= 0)
        strideBytes = xres * 2;
    if (strideBytes < xres * 2)
        return -1; // rows overlap: not a frame of this size
    int64_t value = 0;
    for (int d = 0; d < counterDigits; ++d) {
        uint8_t seen[7] = {};
        for (int row = 0; row < 7; ++row) {
            for (int col = 0; col < 5; ++col) {
                const int x = int((digitLeft + digitPitch * d + col + 0.5) * unit);
                const int y = int((digitTop + row + 0.5) * unit);
                if (x >= xres || y >= yres)
                    return -1;
                const int luma = pixelAt(uyvy, strideBytes, x, y).y;
                if (luma > 160)
                    seen[row] |= uint8_t(0x10 >> col);
                else if (luma > 90)
                    return -1; // neither lit nor unlit: not our counter
            }
        }
        int digit = -1;
        for (int g = 0; g < 10; ++g) {
            if (std::equal(seen, seen + 7, glyphs[g]))
                digit = g;
        }
        if (digit < 0)
            return -1;
        value = value * 10 + digit;
    }
    return value;
}

bool TestPattern::checkBars(const uint8_t *uyvy, int xres, int yres, int strideBytes, int tolerance)
{
    if (!uyvy || xres < 2 * barCount || yres < unitsHigh)
        return false;
    if (strideBytes <= 0)
        strideBytes = xres * 2;
    if (strideBytes < xres * 2)
        return false;
    const int y = int(bandTop / 2 * yres / unitsHigh);
    for (int b = 0; b < barCount; ++b) {
        const int x = int((b + 0.5) * xres / barCount);
        const Uyvy got = pixelAt(uyvy, strideBytes, x, y);
        const Uyvy &want = bars[size_t(b)];
        if (std::abs(got.y - want.y) > tolerance || std::abs(got.u - want.u) > tolerance ||
            std::abs(got.v - want.v) > tolerance)
            return false;
    }
    return true;
}

TestPattern::Rgb TestPattern::toRgb(Uyvy c, bool rec709)
{
    const double y = 1.164383 * (c.y - 16), u = c.u - 128.0, v = c.v - 128.0;
    const auto clamp8 = [](double x) { return int(std::lround(std::clamp(x, 0.0, 255.0))); };
    if (rec709)
        return {clamp8(y + 1.792741 * v), clamp8(y - 0.213249 * u - 0.532909 * v),
                clamp8(y + 2.112402 * u)};
    return {clamp8(y + 1.596027 * v), clamp8(y - 0.391762 * u - 0.812968 * v),
            clamp8(y + 2.017232 * u)};
}
