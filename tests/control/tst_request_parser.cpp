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
        QTest::addColumn<QString>("url");
        QTest::addColumn<QJsonObject>("expected");
        const QString plain = "http://h/api/x.json";
        QTest::newRow("json keeps types")
            << QByteArray("POST") << QByteArray(R"({"position": 2, "name": "Cam", "on": true})")
            << plain << QJsonObject{{"position", 2}, {"name", "Cam"}, {"on", true}};
        QTest::newRow("json array")
            << QByteArray("POST") << QByteArray("[1,2,3]") << plain << QJsonObject{};
        QTest::newRow("form body") << QByteArray("POST") << QByteArray("position=3") << plain
                                   << QJsonObject{{"position", "3"}};
        QTest::newRow("broken json read as form")
            << QByteArray("POST") << QByteArray("{\"a\":") << plain << QJsonObject{};
        QTest::newRow("empty post ignores query")
            << QByteArray("POST") << QByteArray() << plain + "?a=1" << QJsonObject{};
        QTest::newRow("put") << QByteArray("PUT") << QByteArray("a=1") << plain + "?a=1"
                             << QJsonObject{};
        QTest::newRow("query values are strings")
            << QByteArray("GET") << QByteArray() << plain + "?position=2&name=Cam"
            << QJsonObject{{"position", "2"}, {"name", "Cam"}};
        QTest::newRow("no query") << QByteArray("GET") << QByteArray() << plain << QJsonObject{};
        QTest::newRow("second json? piece only")
            << QByteArray("GET") << QByteArray() << plain + "?p=1json?q=2"
            << QJsonObject{{"p", "1"}};
    }
    void parseRequest()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, body);
        QFETCH(QString, url);
        QFETCH(QJsonObject, expected);
        QCOMPARE(RequestParser::parseRequest(method, body, QUrl(url)), expected);
    }

    void parseFormText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QJsonObject>("expected");
        QTest::newRow("arrays share the last name")
            << QByteArray("a[]=1&b[]=2") << QJsonObject{{"b", QJsonArray{"1", "2"}}};
        QTest::newRow("shared array beside scalars")
            << QByteArray("group_name[]=public&x=1&ip[]=")
            << QJsonObject{{"x", "1"}, {"ip", QJsonArray{"public", ""}}};
        QTest::newRow("decoded before splitting")
            << QByteArray("a=1%26b%3D2&c=%E6%B5%8B")
            << QJsonObject{{"a", "1"}, {"b", "2"}, {"c", QString::fromUtf8("测")}};
        QTest::newRow("odd parts skipped or trimmed")
            << QByteArray("&&novalue&=5&k=&x=1=2&k2=v")
            << QJsonObject{{"k", ""}, {"x", "1"}, {"k2", "v"}};
        QTest::newRow("later key wins") << QByteArray("a=1&a=2") << QJsonObject{{"a", "2"}};
        QTest::newRow("nameless array") << QByteArray("[]=x") << QJsonObject{{"", QJsonArray{"x"}}};
    }
    void parseFormText()
    {
        QFETCH(QByteArray, text);
        QFETCH(QJsonObject, expected);
        QCOMPARE(RequestParser::parseFormText(text), expected);
    }

    void garbageNeverCrashes()
    {
        const QByteArray inputs[] = {
            "%", "%%%", "=", "[]=", "a[]", "%ZZ=1", QByteArray(1000, '&'), QByteArray("\0=\0", 3)};
        for (const QByteArray &input : inputs) {
            RequestParser::parseRequest("POST", input, QUrl());
            RequestParser::parseFormText(input);
        }
    }
};

QTEST_GUILESS_MAIN(TestRequestParser)
#include "tst_request_parser.moc"
