// Turns a UYVY picture (BT.709, limited range) into a small JPEG for the web multiview:
// at most maxWidth pixels wide, square pixels, 4:2:0, converted straight into JPEG's
// full-range BT.601 YCbCr so a browser's decoder shows the colours a correct renderer
// shows (75% bars decode to 191/0 per component).
//
// Thread: an encoder belongs to one thread (it keeps its libjpeg-turbo handle and scratch
// planes between pictures); no locks.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <vector>

class PreviewEncoder
{
public:
    static constexpr int DefaultMaxWidth = 640;
    static constexpr int DefaultQuality = 80;

    PreviewEncoder();
    ~PreviewEncoder();
    PreviewEncoder(const PreviewEncoder &) = delete;
    PreviewEncoder &operator=(const PreviewEncoder &) = delete;

    // The JPEG of the picture, empty when the picture is unusable (size below 2x2, stride
    // shorter than a line) or the encoder fails (logged).
    QByteArray encode(const uint8_t *uyvy, int xres, int yres, int strideBytes,
                      int maxWidth = DefaultMaxWidth, int quality = DefaultQuality);

    // Size of the JPEG for a picture of xres x yres: width min(maxWidth, xres) rounded down
    // to even, height keeping the aspect (at least 2, even).
    static void outputSize(int xres, int yres, int maxWidth, int *width, int *height);

private:
    void *m_handle = nullptr; // tjhandle
    std::vector<uint8_t> m_y, m_cb, m_cr;
    std::vector<int> m_offsets;
};
