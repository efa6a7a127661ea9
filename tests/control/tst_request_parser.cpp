// How HTTP requests become request objects: JSON bodies, query strings, form bodies and
// their quirks (string values, decoding before splitting, one shared array).
#include "control/RequestParser.h"

#include <QJsonArray>
#include <QTest>

class TestRequestParser : public QObject
{
    Q_OBJECT
private slots:
    void parseRequest_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QJsonObject>("expected");
        const auto post = [](const char *name, const QByteArray &body,
                             const QJsonObject &expected) {
            QTest::newRow(name) << QByteArray("POST") << body << QString() << expected;
        };
        post("json keeps types", R"({"position": 2, "name": "Cam", "on": true})",
             {{"position", 2}, {"name", "Cam"}, {"on", true}});
        post("form body", "position=3", {{"position", "3"}});
        post("broken json read as form", "{\"a\":", {});
        post("arrays share the last name", "a[]=1&b[]=2", {{"b", QJsonArray{"1", "2"}}});
        post("shared array beside scalars",
             "group_name[]=public&x=1&ip[]=", {{"x", "1"}, {"ip", QJsonArray{"public", ""}}});
        post("decoded before splitting", "a=1%26b%3D2&c=%E6%B5%8B",
             {{"a", "1"}, {"b", "2"}, {"c", QString::fromUtf8("测")}});
        post("odd parts skipped or trimmed", "&&novalue&=5&k=&x=1=2&k2=v",
             {{"k", ""}, {"x", "1"}, {"k2", "v"}});
        post("nameless array", "[]=x", {{"", QJsonArray{"x"}}});
        QTest::newRow("empty post ignores query")
            << QByteArray("POST") << QByteArray() << "?a=1" << QJsonObject{};
        QTest::newRow("query values are strings")
            << QByteArray("GET") << QByteArray() << "?position=2&name=Cam"
            << QJsonObject{{"position", "2"}, {"name", "Cam"}};
        QTest::newRow("second json? piece only")
            << QByteArray("GET") << QByteArray() << "?p=1json?q=2" << QJsonObject{{"p", "1"}};
    }
    void parseRequest()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, body);
        QFETCH(QString, query);
        QFETCH(QJsonObject, expected);
        QCOMPARE(RequestParser::parseRequest(method, body, QUrl("http://h/api/x.json" + query)),
                 expected);
    }
};

QTEST_GUILESS_MAIN(TestRequestParser)
#include "tst_request_parser.moc"
