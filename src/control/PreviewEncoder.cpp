#include "control/PreviewEncoder.h"

#include <QDebug>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

namespace {

// Limited-range BT.709 Y'CbCr (offsets removed) to full-range BT.601 Y'CbCr, in 1/4096:
// R'G'B' from the first matrix, JPEG's Y'CbCr from the second; both are linear, so one
// 3x3 matrix does it (colours outside R'G'B' are clamped by the decoder as they would be).
struct Matrix
{
    int yy, yb, yr, bb, br, rb, rr;
};

Matrix makeMatrix()
{
    const double ys = 255.0 / 219.0, cs = 255.0 / 224.0;
    // R'G'B' per unit of (Y, Cb, Cr) after scaling to full range.
    const double r[3] = {1.0, 0.0, 1.5748};
    const double g[3] = {1.0, -0.187324, -0.468124};
    const double b[3] = {1.0, 1.8556, 0.0};
    auto mix = [&](double kr, double kg, double kb, int i, double scale) {
        return int(std::lround((kr * r[i] + kg * g[i] + kb * b[i]) * scale * 4096.0));
    };
    Matrix m;
    m.yy = mix(0.299, 0.587, 0.114, 0, ys);
    m.yb = mix(0.299, 0.587, 0.114, 1, cs);
    m.yr = mix(0.299, 0.587, 0.114, 2, cs);
    m.bb = mix(-0.168736, -0.331264, 0.5, 1, cs);
    m.br = mix(-0.168736, -0.331264, 0.5, 2, cs);
    m.rb = mix(0.5, -0.418688, -0.081312, 1, cs);
    m.rr = mix(0.5, -0.418688, -0.081312, 2, cs);
    return m;
}

const Matrix kMatrix = makeMatrix();

inline uint8_t clampByte(int v)
{
    return uint8_t(std::clamp(v, 0, 255));
}

} // namespace

PreviewEncoder::PreviewEncoder() : m_handle(tjInitCompress()) {}

PreviewEncoder::~PreviewEncoder()
{
    if (m_handle)
        tjDestroy(m_handle);
}

void PreviewEncoder::outputSize(int xres, int yres, int maxWidth, int *width, int *height)
{
    const int w = std::max(2, std::min(maxWidth, xres) & ~1);
    const int h = int((int64_t(yres) * w + xres / 2) / std::max(1, xres));
    *width = w;
    *height = std::max(2, h & ~1);
}

QByteArray PreviewEncoder::encode(const uint8_t *uyvy, int xres, int yres, int strideBytes,
                                  int maxWidth, int quality)
{
    if (!m_handle || !uyvy || xres < 2 || yres < 2 || strideBytes < xres * 2 || maxWidth < 2)
        return {};
    int w = 0, h = 0;
    outputSize(xres, yres, maxWidth, &w, &h);
    const int cw = w / 2, ch = h / 2;
    m_y.resize(size_t(w) * h);
    m_cb.resize(size_t(cw) * ch);
    m_cr.resize(size_t(cw) * ch);
    const bool average = xres >= 2 * w; // 2x2 luma average when shrinking by 2 or more
    // Locals, so the compiler keeps them in registers across the byte stores below.
    const int yy = kMatrix.yy, yb = kMatrix.yb, yr = kMatrix.yr, bb = kMatrix.bb, br = kMatrix.br,
              rb = kMatrix.rb, rr = kMatrix.rr;

    // Byte offsets in a source line, per output pixel pair i: the pair's chroma (U; V is
    // two bytes on), the luma of output pixels 2i and 2i+1, and (shrinking by 2 or more)
    // the luma of their right-hand neighbours for the 2x2 average.
    m_offsets.resize(size_t(cw) * 5);
    int *chroma = m_offsets.data(), *luma0 = chroma + cw, *luma1 = luma0 + cw;
    int *next0 = luma1 + cw, *next1 = next0 + cw;
    const int lastLuma = (xres - 1) * 2 + 1;
    for (int i = 0; i < cw; ++i) {
        const int x0 = int(int64_t(2 * i) * xres / w), x1 = int(int64_t(2 * i + 1) * xres / w);
        chroma[i] = std::min(x0 & ~1, (xres - 2) & ~1) * 2; // a pair lies inside the line
        luma0[i] = average ? x0 * 2 + 1 : chroma[i] + 1;
        luma1[i] = std::min(x1 * 2 + 1, lastLuma);
        next0[i] = std::min(luma0[i] + 2, lastLuma);
        next1[i] = std::min(luma1[i] + 2, lastLuma);
    }

    for (int oy = 0; oy < h; oy += 2) {
        const uint8_t *rows[2];
        const uint8_t *below[2];
        for (int k = 0; k < 2; ++k) {
            const int sy = int(int64_t(oy + k) * yres / h);
            rows[k] = uyvy + size_t(sy) * size_t(strideBytes);
            below[k] = average && sy + 1 < yres ? rows[k] + strideBytes : rows[k];
        }
        uint8_t *cbOut = m_cb.data() + size_t(oy / 2) * cw;
        uint8_t *crOut = m_cr.data() + size_t(oy / 2) * cw;
        uint8_t *yOut[2] = {m_y.data() + size_t(oy) * w, m_y.data() + size_t(oy + 1) * w};
        for (int i = 0; i < cw; ++i) {
            const int c = chroma[i];
            // Chroma of the pair, averaged over the two output rows (4:2:0).
            const int cb = (rows[0][c] + rows[1][c] + 1) / 2 - 128;
            const int cr = (rows[0][c + 2] + rows[1][c + 2] + 1) / 2 - 128;
            cbOut[i] = clampByte(128 + ((bb * cb + br * cr + 2048) >> 12));
            crOut[i] = clampByte(128 + ((rb * cb + rr * cr + 2048) >> 12));
            const int base = yb * cb + yr * cr + 2048 - 16 * yy;
            for (int k = 0; k < 2; ++k) {
                const uint8_t *r = rows[k], *b = below[k];
                const int l0 = luma0[i], l1 = luma1[i];
                int y0, y1;
                if (average) {
                    const int n0 = next0[i], n1 = next1[i];
                    y0 = (r[l0] + r[n0] + b[l0] + b[n0] + 2) >> 2;
                    y1 = (r[l1] + r[n1] + b[l1] + b[n1] + 2) >> 2;
                } else {
                    y0 = r[l0];
                    y1 = r[l1];
                }
                yOut[k][2 * i] = clampByte((yy * y0 + base) >> 12);
                yOut[k][2 * i + 1] = clampByte((yy * y1 + base) >> 12);
            }
        }
    }

    const unsigned char *planes[3] = {m_y.data(), m_cb.data(), m_cr.data()};
    const int strides[3] = {w, cw, cw};
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompressFromYUVPlanes(m_handle, planes, w, strides, h, TJSAMP_420, &jpeg, &size,
                                std::clamp(quality, 1, 100), TJFLAG_FASTDCT) != 0) {
        qWarning().noquote() << "preview JPEG of" << xres << "x" << yres
                             << "failed:" << tjGetErrorStr2(m_handle);
        tjFree(jpeg);
        return {};
    }
    QByteArray result(reinterpret_cast<const char *>(jpeg), qsizetype(size));
    tjFree(jpeg);
    return result;
}
