// libFuzzer target for the control plane's outside inputs: HTTP framing of a request stream,
// HTTP request parsing (body and URL), storage requests, access tokens of WebSocket
// handshakes, and settings documents loaded into the window model.
#include "control/AccessControl.h"
#include "control/HttpFramer.h"
#include "control/RequestParser.h"
#include "control/StorageSettings.h"
#include "control/WindowObject.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    HttpFramer framer; // fed in two pieces, as a stream arrives
    framer.onHead = [](const QByteArray &head) { return HttpFramer::parseHead(head).length; };
    if (framer.feed(QByteArrayView(input).first(input.size() / 2)))
        framer.feed(QByteArrayView(input).sliced(input.size() / 2));
    const QJsonObject posted = RequestParser::parseRequest("POST", input, QUrl());
    RequestParser::parseRequest("GET", {}, QUrl(QString::fromUtf8(input)));
    RequestParser::parseFormText(input);
    StorageSettings::fromRequest(posted);
    AccessControl access;
    access.setTokens("fuzz-token-1", "fuzz-token-2");
    access.levelOf(AccessControl::handshakeToken(input));

    const QJsonDocument document = QJsonDocument::fromJson(input);
    if (document.isObject()) {
        WindowObject model;
        model.initWindows(document.object(), {}, {});
        model.storeJson();
        model.outputJson();
        model.setWindowLayout(model.layoutId(), std::min(model.windowCount(), 20));
    }
    return 0;
}
