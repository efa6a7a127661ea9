// How HTTP requests become request objects: JSON bodies, query strings, form bodies and
// their quirks (string values, decoding before splitting, one shared array).
#include "control/RequestParser.h"

#include <QJsonArray>
#include <QTest>

class TestRequestParser : public QObject
{
    Q_OBJECT
private slots:
    void jsonBodyKeepsTypes()
    {
        const QJsonObject request = RequestParser::parseRequest(
            "POST", R"({"position": 2, "name": "Cam", "on": true})", QUrl("http://h/api/x.json"));
        QCOMPARE(request.value("position").toInt(), 2);
        QVERIFY(request.value("position").isDouble());
        QCOMPARE(request.value("name").toString(), "Cam");
        QCOMPARE(request.value("on").toBool(), true);
    }

    void jsonArrayBodyGivesEmptyObject()
    {
        QVERIFY(RequestParser::parseRequest("POST", "[1,2,3]", QUrl()).isEmpty());
    }

    void queryValuesAreStrings()
    {
        const QJsonObject request = RequestParser::parseRequest(
            "GET", {}, QUrl("http://127.0.0.1:1/api/output/setName.json?position=2&name=Cam"));
        QCOMPARE(request.size(), 2);
        QVERIFY(request.value("position").isString());
        QCOMPARE(request.value("position").toString(), "2");
        QCOMPARE(request.value("position").toInt(), 0); // what handlers then read
        QCOMPARE(request.value("name").toString(), "Cam");
    }

    void nonJsonPostBodyIsAForm()
    {
        const QJsonObject request = RequestParser::parseRequest("POST", "position=3", QUrl());
        QCOMPARE(request, QJsonObject({{"position", "3"}}));
        // Broken JSON falls back to form reading too, and has no "=" here: nothing.
        QVERIFY(RequestParser::parseRequest("POST", "{\"a\":", QUrl()).isEmpty());
    }

    void emptyPostAndOtherMethodsGiveNothing()
    {
        const QUrl url("http://h/api/x.json?a=1");
        QVERIFY(RequestParser::parseRequest("POST", {}, url).isEmpty());
        QVERIFY(RequestParser::parseRequest("PUT", "a=1", url).isEmpty());
        QVERIFY(RequestParser::parseRequest("DELETE", {}, url).isEmpty());
        QVERIFY(RequestParser::parseRequest("GET", {}, QUrl()).isEmpty());
    }

    void arraysShareOneListUnderTheLastName()
    {
        const QJsonObject request = RequestParser::parseFormText("a[]=1&b[]=2");
        QCOMPARE(request, QJsonObject({{"b", QJsonArray{"1", "2"}}}));
        const QJsonObject mixed = RequestParser::parseFormText("group_name[]=public&x=1&ip[]=");
        QCOMPARE(mixed.value("ip").toArray(), QJsonArray({"public", ""}));
        QCOMPARE(mixed.value("x").toString(), "1");
        QVERIFY(!mixed.contains("group_name"));
    }

    void decodingHappensBeforeSplitting()
    {
        // An encoded "&" and "=" separate like plain ones.
        const QJsonObject request = RequestParser::parseFormText("a=1%26b%3D2&c=%E6%B5%8B");
        QCOMPARE(request.value("a").toString(), "1");
        QCOMPARE(request.value("b").toString(), "2");
        QCOMPARE(request.value("c").toString(), QString::fromUtf8("测"));
    }

    void oddPartsAreSkippedOrTrimmed()
    {
        const QJsonObject request = RequestParser::parseFormText("&&novalue&=5&k=&x=1=2&k2=v");
        QCOMPARE(request.value("k").toString(), "");
        QVERIFY(request.value("k").isString());
        QCOMPARE(request.value("x").toString(), "1"); // pieces after the second dropped
        QCOMPARE(request.value("k2").toString(), "v");
        QVERIFY(!request.contains("novalue"));
        QVERIFY(!request.contains(""));
        QCOMPARE(request.size(), 3);
    }

    void laterKeyReplacesEarlier()
    {
        QCOMPARE(RequestParser::parseFormText("a=1&a=2").value("a").toString(), "2");
    }

    void onlyTheQueryAfterJsonCounts()
    {
        // A URL without query has no pairs; a path without "json?" is split as a whole.
        QVERIFY(RequestParser::parseRequest("GET", {}, QUrl("http://h:1/api/output/get.json"))
                    .isEmpty());
        const QJsonObject request =
            RequestParser::parseRequest("GET", {}, QUrl("http://h:1/api/x.json?p=1json?q=2"));
        QCOMPARE(request, QJsonObject({{"p", "1"}})); // only the second piece is kept
    }

    void garbageNeverCrashes()
    {
        const QByteArray inputs[] = {"%",
                                     "%%%",
                                     "=",
                                     "[]=",
                                     "[]=x",
                                     "a[]",
                                     "%ZZ=1",
                                     QByteArray(1000, '&'),
                                     QByteArray("\0=\0", 3)};
        for (const QByteArray &input : inputs) {
            RequestParser::parseRequest("POST", input, QUrl());
            RequestParser::parseFormText(input);
        }
        QCOMPARE(RequestParser::parseFormText("[]=x"), QJsonObject({{"", QJsonArray{"x"}}}));
    }
};

QTEST_GUILESS_MAIN(TestRequestParser)
#include "tst_request_parser.moc"
