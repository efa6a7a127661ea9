#include "MediaConvert.h"

#include <algorithm>
#include <cmath>

namespace drndi {

void proxySize(int xres, int yres, int *outX, int *outY)
{
    if (xres <= kProxyWidth) {
        *outX = xres;
        *outY = yres;
        return;
    }
    *outX = kProxyWidth;
    int y = int(std::lround(double(yres) * kProxyWidth / xres));
    *outY = std::max(2, y & ~1);
}

void scaleUyvy(const uint8_t *src, int srcX, int srcY, int srcStride, uint8_t *dst, int outX,
               int outY)
{
    std::vector<int> pairX(size_t(outX / 2));
    for (int ox = 0; ox < outX / 2; ++ox)
        pairX[size_t(ox)] = std::min(srcX / 2 - 1, int((int64_t(ox) * 2 + 1) * srcX / outX / 2));
    for (int oy = 0; oy < outY; ++oy) {
        int sy = std::min(srcY - 1, int(int64_t(oy) * srcY / outY));
        const uint8_t *line = src + size_t(sy) * size_t(srcStride);
        uint8_t *out = dst + size_t(oy) * size_t(outX) * 2;
        for (int ox = 0; ox < outX / 2; ++ox) {
            const uint8_t *p = line + size_t(pairX[size_t(ox)]) * 4;
            out[0] = p[0];
            out[1] = p[1];
            out[2] = p[2];
            out[3] = p[3];
            out += 4;
        }
    }
}

void rgbaToUyvy(const uint8_t *src, int xres, int yres, int srcStride, bool rgb, uint8_t *dst)
{
    const bool hd = xres > 720 || yres > 576;
    // Luma weights and chroma scales for limited-range 8-bit output.
    const double kr = hd ? 0.2126 : 0.299, kb = hd ? 0.0722 : 0.114, kg = 1.0 - kr - kb;
    const int ri = rgb ? 0 : 2, bi = rgb ? 2 : 0;
    for (int y = 0; y < yres; ++y) {
        const uint8_t *s = src + size_t(y) * size_t(srcStride);
        uint8_t *d = dst + size_t(y) * size_t(xres) * 2;
        for (int x = 0; x + 1 < xres; x += 2) {
            double yy[2], cb = 0, cr = 0;
            for (int k = 0; k < 2; ++k) {
                const uint8_t *px = s + size_t(x + k) * 4;
                double r = px[ri] / 255.0, g = px[1] / 255.0, b = px[bi] / 255.0;
                double l = kr * r + kg * g + kb * b;
                yy[k] = l;
                cb += (b - l) / (2 * (1 - kb)) / 2;
                cr += (r - l) / (2 * (1 - kr)) / 2;
            }
            auto clamp8 = [](double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); };
            d[0] = clamp8(128 + 224 * cb);
            d[1] = clamp8(16 + 219 * yy[0]);
            d[2] = clamp8(128 + 224 * cr);
            d[3] = clamp8(16 + 219 * yy[1]);
            d += 4;
        }
    }
}

void uyvyToRgbx(const uint8_t *src, int xres, int yres, bool rgb, uint8_t *dst)
{
    const bool hd = xres > 720 || yres > 576;
    const double kr = hd ? 0.2126 : 0.299, kb = hd ? 0.0722 : 0.114, kg = 1.0 - kr - kb;
    // Integer coefficients (x 1024) for speed.
    const int cy = int(std::lround(1024 * 255.0 / 219));
    const int crR = int(std::lround(1024 * 255.0 / 224 * 2 * (1 - kr)));
    const int cbB = int(std::lround(1024 * 255.0 / 224 * 2 * (1 - kb)));
    const int cbG = int(std::lround(1024 * 255.0 / 224 * 2 * (1 - kb) * kb / kg));
    const int crG = int(std::lround(1024 * 255.0 / 224 * 2 * (1 - kr) * kr / kg));
    const int ri = rgb ? 0 : 2, bi = rgb ? 2 : 0;
    auto clamp8 = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
    const size_t pairs = size_t(xres / 2) * size_t(yres);
    for (size_t p = 0; p < pairs; ++p) {
        const uint8_t *s = src + p * 4;
        const int u = s[0] - 128, v = s[2] - 128;
        for (int k = 0; k < 2; ++k) {
            const int y = (s[1 + 2 * k] - 16) * cy;
            uint8_t *d = dst + (p * 2 + size_t(k)) * 4;
            d[ri] = clamp8((y + crR * v + 512) >> 10);
            d[1] = clamp8((y - cbG * u - crG * v + 512) >> 10);
            d[bi] = clamp8((y + cbB * u + 512) >> 10);
            d[3] = 255;
        }
    }
}

float referenceGain(int referenceLevelDb)
{
    return float(32767.0 * std::pow(10.0, -referenceLevelDb / 20.0));
}

} // namespace drndi
