// The maker's status element as read from a source's metadata and the NTP server check; a
// synchronised device as a real source reports it is read in the connection test.
#include "media/NDIConnection.h"

#include <QTest>

class TestDeviceStatus : public QObject
{
    Q_OBJECT

    static Media_capabilities_t read(const QByteArray &xml)
    {
        Media_capabilities_t caps;
        caps.vendor.clear();
        caps.ntp_state = "unsync";
        NDIConnection::parseDeviceStatus(xml, caps);
        return caps;
    }

private slots:
    void statusElement_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QByteArray>("vendor");
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<int>("bitrate");
        QTest::addColumn<QByteArray>("state");
        QTest::newRow("not synchronised")
            << QByteArray("<Varimont><remote>10.0.0.1</remote><sync>0</sync></Varimont>")
            << QByteArray("Varimont") << QByteArray("10.0.0.1") << 0 << QByteArray("error");
        QTest::newRow("no element: nothing taken")
            << QByteArray("<status><remote>10.0.0.1</remote><bitrate>5</bitrate></status>")
            << QByteArray() << QByteArray() << 0 << QByteArray("unsync");
        QTest::newRow("elements before it ignored")
            << QByteArray("<x><bitrate>99</bitrate><Varimont><sync>2</sync></Varimont></x>")
            << QByteArray("Varimont") << QByteArray() << 0 << QByteArray("sync");
        QTest::newRow("bitrate not a number")
            << QByteArray("<Varimont><bitrate>fast</bitrate></Varimont>") << QByteArray("Varimont")
            << QByteArray() << 0 << QByteArray("unsync");
        QTest::newRow("broken XML keeps what was read")
            << QByteArray("<Varimont><bitrate>12</bitrate><remote>a</rem<<><sync>1</sync>")
            << QByteArray("Varimont") << QByteArray("a") << 12 << QByteArray("unsync");
        QTest::newRow("empty") << QByteArray() << QByteArray() << QByteArray() << 0
                               << QByteArray("unsync");
    }
    void statusElement()
    {
        QFETCH(QByteArray, xml);
        const Media_capabilities_t caps = read(xml);
        QTEST(caps.vendor, "vendor");
        QTEST(caps.ntp_server, "server");
        QTEST(caps.bitrate, "bitrate");
        QTEST(caps.ntp_state, "state");
    }

    void laterStatusWins()
    {
        Media_capabilities_t caps = read("<Varimont><bitrate>1</bitrate><sync>0</sync></Varimont>");
        NDIConnection::parseDeviceStatus("<ndi_tally_echo on_program=\"true\"/>", caps);
        QCOMPARE(caps.vendor, QByteArray("Varimont")); // other metadata does not undo it
        NDIConnection::parseDeviceStatus("<Varimont><bitrate>2</bitrate><sync>1</sync></Varimont>",
                                         caps);
        QCOMPARE(caps.bitrate, 2);
        QCOMPARE(caps.ntp_state, QByteArray("sync"));
    }

    void syncOnlyWithOurServer()
    {
        auto check = [](const QByteArray &reported, const QString &sent) {
            Media_capabilities_t caps;
            caps.ntp_server = reported;
            caps.ntp_state = "sync";
            NDIConnection::checkNtpServer(caps, sent);
            return caps.ntp_state;
        };
        QCOMPARE(check("pool.example:123", "pool.example"), QByteArray("sync"));
        QCOMPARE(check("other.example", "pool.example"), QByteArray("unsync"));
        QCOMPARE(check("Pool.Example", "pool.example"), QByteArray("unsync")); // case counts
        QCOMPARE(check("pool.example", ""), QByteArray("unsync"));             // never sent one
        QCOMPARE(check("", "pool.example"), QByteArray("unsync"));
    }
};

QTEST_GUILESS_MAIN(TestDeviceStatus)
#include "tst_devicestatus.moc"
