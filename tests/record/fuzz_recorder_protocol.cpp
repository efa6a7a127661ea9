// libFuzzer target: lines of the recording program's standard output as the application
// reads them (element name, attributes, entities, numbers).
#include "record/RecorderProtocol.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line(reinterpret_cast<const char *>(data), qsizetype(size));
    const RecorderProtocol::Element e = RecorderProtocol::parseLine(line);
    for (auto it = e.attributes.cbegin(); it != e.attributes.cend(); ++it) {
        (void)e.number(it.key());
        (void)RecorderProtocol::chopCommand(it.value());
    }
    return 0;
}
