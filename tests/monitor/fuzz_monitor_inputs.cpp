// libFuzzer target for the window monitor's outside inputs: alarm settings requests (and
// the same text as an alarms.json document), and pictures of any size for the preview
// encoder and the alarm probe (the first four bytes choose the size, the rest is UYVY).
#include "control/AlarmSettings.h"
#include "control/PictureProbe.h"
#include "control/PreviewEncoder.h"
#include "control/RequestParser.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    AlarmSettings settings;
    QString why;
    settings.applied(RequestParser::parseRequest("POST", input, QUrl()), &settings, &why);
    settings.toJson();

    if (size >= 4) {
        const int xres = 2 + data[0] % 64 * 2, yres = 1 + data[1] % 64;
        const int stride = xres * 2 + data[2] % 8;
        if (size - 4 >= size_t(stride) * size_t(yres)) {
            static PreviewEncoder encoder;
            encoder.encode(data + 4, xres, yres, stride, 2 + data[3] % 40);
            PictureProbe::sample(data + 4, xres, yres, stride).difference(PictureProbe());
        }
    }
    return 0;
}
