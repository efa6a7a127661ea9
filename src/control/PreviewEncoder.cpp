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
    const Matrix &m = kMatrix;

    // Source column of each output pixel pair (even, so U and V of one pair are used).
    std::vector<int> column(static_cast<size_t>(cw));
    for (int i = 0; i < cw; ++i)
        column[size_t(i)] = int(int64_t(2 * i) * xres / w) & ~1;

    for (int oy = 0; oy < h; oy += 2) {
        const uint8_t *rows[2];
        for (int k = 0; k < 2; ++k)
            rows[k] = uyvy + size_t(int64_t(oy + k) * yres / h) * size_t(strideBytes);
        const uint8_t *below[2];
        for (int k = 0; k < 2; ++k) {
            const int sy = int(int64_t(oy + k) * yres / h);
            below[k] = average && sy + 1 < yres ? rows[k] + strideBytes : rows[k];
        }
        uint8_t *cbOut = m_cb.data() + size_t(oy / 2) * cw;
        uint8_t *crOut = m_cr.data() + size_t(oy / 2) * cw;
        for (int i = 0; i < cw; ++i) {
            const int sx = column[size_t(i)];
            const int bytes = sx * 2;
            // Chroma of the pair, averaged over the two output rows (4:2:0).
            const int cb = (rows[0][bytes] + rows[1][bytes] + 1) / 2 - 128;
            const int cr = (rows[0][bytes + 2] + rows[1][bytes + 2] + 1) / 2 - 128;
            cbOut[i] = clampByte(128 + ((m.bb * cb + m.br * cr + 2048) >> 12));
            crOut[i] = clampByte(128 + ((m.rb * cb + m.rr * cr + 2048) >> 12));
            const int chromaLuma = m.yb * cb + m.yr * cr;
            for (int k = 0; k < 2; ++k) {
                uint8_t *yOut = m_y.data() + size_t(oy + k) * w + 2 * i;
                int y0, y1;
                if (average) {
                    // Output pixels 2i and 2i+1 each average a 2x2 block of the source.
                    const int sx1 = int(int64_t(2 * i + 1) * xres / w);
                    const int s0 = sx * 2 + 1, s1 = sx1 * 2 + 1;
                    y0 = (rows[k][s0] + rows[k][s0 + 2] + below[k][s0] + below[k][s0 + 2] + 2) / 4;
                    const int s1b = std::min(s1 + 2, xres * 2 - 1);
                    y1 = (rows[k][s1] + rows[k][s1b] + below[k][s1] + below[k][s1b] + 2) / 4;
                } else {
                    y0 = rows[k][bytes + 1];
                    y1 = rows[k][std::min(int(int64_t(2 * i + 1) * xres / w), xres - 1) * 2 + 1];
                }
                yOut[0] = clampByte((m.yy * (y0 - 16) + chromaLuma + 2048) >> 12);
                yOut[1] = clampByte((m.yy * (y1 - 16) + chromaLuma + 2048) >> 12);
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
