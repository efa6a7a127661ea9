// Pixel and sample conversions of the runtime. Pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <vector>

namespace drndi {

// Width of the low-bandwidth proxy stream.
constexpr int kProxyWidth = 640;
// Size of the proxy of an xres x yres picture: 640 wide, aspect kept, even height; pictures
// already at most 640 wide are kept as they are.
void proxySize(int xres, int yres, int *outX, int *outY);
// Scales UYVY (any stride) to outX x outY packed UYVY (nearest sample, chroma per pair).
void scaleUyvy(const uint8_t *src, int srcX, int srcY, int srcStride, uint8_t *dst, int outX,
               int outY);
// Converts 8-bit BGRA/BGRX (or RGBA/RGBX when `rgb`) to packed UYVY (BT.601 up to 720x576,
// Rec.709 above; limited range).
void rgbaToUyvy(const uint8_t *src, int xres, int yres, int srcStride, bool rgb, uint8_t *dst);

// Converts packed UYVY to 8-bit BGRX (or RGBX when `rgb`), alpha 255, stride 4 * xres; the
// inverse of rgbaToUyvy's matrices.
void uyvyToRgbx(const uint8_t *src, int xres, int yres, bool rgb, uint8_t *dst);

// Bytes per pixel of the formats a receiver hands out: 2 for UYVY, 4 for BGRX/RGBX.
inline int bytesPerPixel(uint32_t fourCC)
{
    return fourCC == 0x59565955 ? 2 : 4;
}

// Gain from float samples to 16-bit for a reference level in dB (0: 1.0 -> full scale).
float referenceGain(int referenceLevelDb);

} // namespace drndi
