// The API against its OpenAPI document (res/api/openapi.json), in-process on loopback:
// every registered route is documented with its access and every documented one answers
// its example with a reply of the documented schema; with access tokens, every route
// refuses a missing or wrong token (and the read-only token on changing routes) without
// changing anything, and the event channel refuses connections without a token.
#include "TestSupport.h"

#include "control/AccessControl.h"
#include "control/ApiRoute.h"
#include "control/DaemonService.h"
#include "control/WebSocketServer.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QMetaMethod>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

const QByteArray FullToken = "full-token-1234";
const QByteArray ReadToken = "viewer-token-5678";

QJsonObject resolve(const QJsonObject &schema, const QJsonObject &doc)
{
    if (!schema.contains("$ref"))
        return schema;
    QJsonValue target = doc;
    for (const QString &key : schema.value("$ref").toString().mid(2).split('/'))
        target = target.toObject().value(key);
    return resolve(target.toObject(), doc);
}

bool hasType(const QJsonValue &value, const QString &type)
{
    if (type == "object")
        return value.isObject();
    if (type == "array")
        return value.isArray();
    if (type == "string")
        return value.isString();
    if (type == "boolean")
        return value.isBool();
    if (type == "number")
        return value.isDouble();
    if (type == "integer")
        return value.isDouble() && std::floor(value.toDouble()) == value.toDouble();
    return type == "null" && value.isNull();
}

// Why `value` does not match `schema` (the subset of JSON Schema the document uses:
// $ref, oneOf, type, enum, required, properties, items, minItems, maxItems, minimum), or
// "" when it does.
QString violation(const QJsonValue &value, const QJsonObject &schemaIn, const QJsonObject &doc,
                  const QString &where = "$")
{
    const QJsonObject schema = resolve(schemaIn, doc);
    if (schema.contains("oneOf")) {
        int matches = 0;
        QStringList reasons;
        for (const QJsonValue &option : schema.value("oneOf").toArray()) {
            const QString reason = violation(value, option.toObject(), doc, where);
            matches += reason.isEmpty();
            reasons << reason;
        }
        return matches == 1 ? QString()
                            : where + ": " + QString::number(matches) + " of oneOf match (" +
                                  reasons.join("; ") + ")";
    }
    if (schema.contains("type")) {
        const QJsonValue type = schema.value("type");
        const QJsonArray types = type.isArray() ? type.toArray() : QJsonArray{type};
        if (std::none_of(types.begin(), types.end(),
                         [&](const QJsonValue &t) { return hasType(value, t.toString()); }))
            return where + " is not of type " +
                   QJsonDocument(QJsonArray(types)).toJson(QJsonDocument::Compact);
    }
    if (schema.contains("enum") && !schema.value("enum").toArray().contains(value))
        return where + " is not one of the enumerated values";
    if (schema.contains("minimum") && value.toDouble() < schema.value("minimum").toDouble())
        return where + " is below its minimum";
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (const QJsonValue &key : schema.value("required").toArray()) {
            if (!object.contains(key.toString()))
                return where + " lacks \"" + key.toString() + "\"";
        }
        const QJsonObject properties = schema.value("properties").toObject();
        for (auto it = properties.begin(); it != properties.end(); ++it) {
            if (!object.contains(it.key()))
                continue;
            const QString reason = violation(object.value(it.key()), it.value().toObject(), doc,
                                             where + "." + it.key());
            if (!reason.isEmpty())
                return reason;
        }
    }
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        if (array.size() < schema.value("minItems").toInt(0) ||
            array.size() > schema.value("maxItems").toInt(INT_MAX))
            return where + " has a wrong number of items";
        for (qsizetype i = 0; i < array.size(); ++i) {
            const QString reason = violation(array.at(i), schema.value("items").toObject(), doc,
                                             where + "[" + QString::number(i) + "]");
            if (!reason.isEmpty())
                return reason;
        }
    }
    return {};
}

struct Operation
{
    QString path; // "/api/..."
    QByteArray method;
    bool read = false;
    QJsonObject operation;
    QByteArray example; // JSON body, empty for none
};

} // namespace

class TestApiContract : public QObject
{
    Q_OBJECT

    QJsonObject m_doc;
    QList<Operation> m_operations;
    QTemporaryDir m_base;
    std::unique_ptr<DaemonService> m_service;

    drtest::HttpReply send(const Operation &op, const QByteArray &token = {},
                           const QString &query = {})
    {
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!token.isEmpty())
            headers.append({"Authorization", "Bearer " + token});
        return drtest::httpSend(QStringLiteral("http://127.0.0.1:%1%2%3")
                                    .arg(m_service->serverPort())
                                    .arg(op.path, query),
                                op.method, op.example, headers);
    }

    // What a caller could observe of the application's state: the stored files and every
    // reading route's reply (except the live machine figures).
    QByteArray snapshot()
    {
        QByteArray state;
        for (const QFileInfo &file : QDir(m_base.filePath("data")).entryInfoList(QDir::Files)) {
            QFile f(file.filePath());
            f.open(QIODevice::ReadOnly);
            state += file.fileName().toUtf8() + ":" + f.readAll() + "\n";
        }
        for (const Operation &op : std::as_const(m_operations)) {
            if (op.read && !op.path.contains("/performance/"))
                state += op.path.toUtf8() + ":" + send(op, FullToken).body + "\n";
        }
        return state;
    }

    void useTokens()
    {
        auto access = std::make_shared<AccessControl>();
        access->setTokens(FullToken, ReadToken);
        m_service->setAccessControl(access);
    }

private slots:
    void initTestCase()
    {
        QFile file(drtest::sourceDir() + "/res/api/openapi.json");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QJsonParseError error;
        m_doc = QJsonDocument::fromJson(file.readAll(), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
        const QJsonObject paths = m_doc.value("paths").toObject();
        for (auto it = paths.begin(); it != paths.end(); ++it) {
            const QJsonObject item = it.value().toObject();
            QVERIFY2(item.size() == 1, qPrintable(it.key() + ": one operation per route"));
            Operation op;
            op.path = "/api" + it.key();
            op.method = item.begin().key().toUpper().toLatin1();
            op.operation = item.begin().value().toObject();
            op.read = op.operation.value("x-access").toString() == "read";
            const QJsonObject body = op.operation.value("requestBody")
                                         .toObject()
                                         .value("content")
                                         .toObject()
                                         .value("application/json")
                                         .toObject();
            if (!body.isEmpty()) {
                const QJsonValue example = body.value("example");
                const QString reason = violation(example, body.value("schema").toObject(), m_doc);
                QVERIFY2(reason.isEmpty(), qPrintable(it.key() + " example: " + reason));
                op.example = QJsonDocument(example.toObject()).toJson(QJsonDocument::Compact);
            }
            m_operations.append(op);
        }
        QVERIFY(!m_operations.isEmpty());
    }

    void init()
    {
        QDir(m_base.filePath("data")).removeRecursively();
        m_service = std::make_unique<DaemonService>();
        QVERIFY(m_service->init(m_base.filePath("data"), drtest::sourceDir(), 0));
        QVERIFY(m_service->startHttpServer());
    }
    void cleanup() { m_service.reset(); }

    // The document and the registered routes name the same routes with the same access.
    void documentListsEveryRoute()
    {
        QStringList problems;
        QMap<QString, bool> documented;
        for (const Operation &op : std::as_const(m_operations))
            documented.insert(op.path, op.read);
        const QStringList registered = m_service->apiRoutes();
        for (const QString &path : registered) {
            const bool read = ApiRoute::isReadRoute(path);
            if (!documented.contains(path))
                problems << path + " is registered but missing from res/api/openapi.json";
            else if (documented.value(path) != read)
                problems << path + (read ? " only reads" : " changes something") +
                                " but is documented otherwise (x-access)";
        }
        for (auto it = documented.begin(); it != documented.end(); ++it) {
            if (!registered.contains(it.key()))
                problems << it.key() + " is documented but not registered";
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }

    // Each documented example, sent as documented, gets HTTP 200 and a reply of the
    // documented schema; the document route serves the file itself.
    void examplesAnswerAsDocumented()
    {
        for (const Operation &op : std::as_const(m_operations)) {
            const drtest::HttpReply reply = send(op);
            const QJsonObject responses = op.operation.value("responses").toObject();
            // A picture route has no picture here: it answers its documented JSON error.
            const bool picture = !responses.value("200").toObject().value("content").toObject().contains(
                "application/json");
            const QString status = QString::number(picture ? 400 : 200);
            QVERIFY2(reply.status == status.toInt(),
                     qPrintable(op.path + ": HTTP " + QString::number(reply.status)));
            const QJsonObject schema = responses
                                           .value(status)
                                           .toObject()
                                           .value("content")
                                           .toObject()
                                           .value("application/json")
                                           .toObject()
                                           .value("schema")
                                           .toObject();
            const QJsonDocument body = QJsonDocument::fromJson(reply.body);
            const QString reason = violation(body.object(), schema, m_doc);
            QVERIFY2(body.isObject() && reason.isEmpty(),
                     qPrintable(op.path + ": " + reason + " in " + reply.body.left(400)));
        }
        const auto doc = drtest::httpGet(
            QStringLiteral("http://127.0.0.1:%1/api/openapi.json").arg(m_service->serverPort()));
        QCOMPARE(doc.json(), m_doc);
    }

    // Refused calls (no token, a wrong one, the read-only token on a changing route) get
    // 401/403 with the error envelope, emit no signal and leave the state as it was; the
    // right tokens pass, in the header or the query; the web UI's files stay public.
    void tokensGuardEveryRoute()
    {
        useTokens();
        const QByteArray before = snapshot();
        QList<std::shared_ptr<QSignalSpy>> spies;
        const QMetaObject *meta = m_service->metaObject();
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                spies.append(std::make_shared<QSignalSpy>(m_service.get(), meta->method(i)));
        }
        for (const Operation &op : std::as_const(m_operations)) {
            QList<QPair<QByteArray, int>> refusals{{"", 401}, {"wrong-token-0000", 401}};
            if (!op.read)
                refusals.append({ReadToken, 403});
            for (const auto &[token, status] : refusals) {
                const drtest::HttpReply reply = send(op, token);
                QVERIFY2(reply.status == status && reply.json().value("result") == "error" &&
                             !reply.json().value("msg").toString().isEmpty(),
                         qPrintable(op.path + " with token '" + token + "': HTTP " +
                                    QString::number(reply.status) + " " + reply.body));
            }
            if (op.read) { // passes the gate (the picture route then finds no picture)
                const int status = send(op, ReadToken).status;
                QVERIFY2(status != 401 && status != 403, qPrintable(op.path));
            }
        }
        for (const auto &spy : spies)
            QVERIFY2(spy->isEmpty(), spy->signal().constData());
        QCOMPARE(snapshot(), before);

        const auto byPath = [&](const QString &path) {
            return *std::find_if(m_operations.begin(), m_operations.end(),
                                 [&](const Operation &op) { return op.path == path; });
        };
        QCOMPARE(send(byPath("/api/project/set.json"), FullToken).json().value("result"), "ok");
        QCOMPARE(
            send(byPath("/api/ntp/set.json"), {}, "?token=" + FullToken).json().value("result"),
            "ok");
        QVERIFY(snapshot() != before);
        QCOMPARE(drtest::httpGet(
                     QStringLiteral("http://127.0.0.1:%1/index.html").arg(m_service->serverPort()))
                     .status,
                 200);
    }

    // The event channel takes either token, in the URL or the header, and refuses others
    // at the handshake: they never become clients.
    void eventChannelNeedsToken()
    {
        auto access = std::make_shared<AccessControl>();
        access->setTokens(FullToken, ReadToken);
        WebSocketServer server;
        server.setAccessControl(access);
        QVERIFY(server.start(0, QHostAddress::LocalHost));
        const QString url = QStringLiteral("ws://127.0.0.1:%1/").arg(server.serverPort());

        drtest::EventClient none, wrong, viewer, operatorClient;
        QVERIFY(!none.open(url, 2000));
        QVERIFY(!wrong.open(url + "?token=wrong-token-0000", 2000));
        QVERIFY(viewer.open(url + "?token=" + ReadToken));
        QNetworkRequest request{QUrl(url)};
        request.setRawHeader("Authorization", "Bearer " + FullToken);
        operatorClient.socket().open(request);
        QVERIFY(drtest::waitUntil([&] { return server.clientCount() == 2; }, 5000));
        server.sendMessages({{"name", "probe"}});
        const auto probe = [](const QJsonObject &m) { return m.value("name") == "probe"; };
        QVERIFY(viewer.waitFor(probe, 5000));
        QVERIFY(operatorClient.waitFor(probe, 5000));
        QVERIFY(none.messages().isEmpty() && wrong.messages().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestApiContract)
#include "tst_api_contract.moc"
