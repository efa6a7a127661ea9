// Binding, on the real binary inside a network namespace made by the test, joined to a
// second one by a veth pair: bound to 127.0.0.1, neither the HTTP nor the event port can be
// reached on the machine's other address (from the peer); without --bind both answer there.
#include "NetnsLab.h"
#include "TestSupport.h"

#include <QtTest>

class TestBindNetns : public QObject
{
    Q_OBJECT

    // Whether a TCP connection to address:port opens from inside the namespace.
    static bool reachable(const QString &host, const QString &address, quint16 port)
    {
        QProcess probe;
        probe.start("ip", {"netns", "exec", host, "bash", "-c",
                           QString("exec 3<>/dev/tcp/%1/%2").arg(address).arg(port)});
        return probe.waitForFinished(5000) && probe.exitStatus() == QProcess::NormalExit &&
               probe.exitCode() == 0;
    }

private slots:
    void bindLimitsBothPorts()
    {
        const QString unavailable = ndt::NetnsLab::unavailableReason();
        if (!unavailable.isEmpty())
            QSKIP(qPrintable(unavailable));
        ndt::NetnsLab lab;
        const QString host = lab.addHost("bind"), peer = lab.addHost("peer");
        QVERIFY(!host.isEmpty() && !peer.isEmpty());
        QVERIFY(lab.link(host, "10.213.0.1/30", peer, "10.213.0.2/30"));

        // The namespace is ours alone, so the default ports are free.
        for (const QString bind : {"127.0.0.1", ""}) {
            QTemporaryDir data;
            QStringList args{drtest::buildDir() + "/desk-recorder", "--headless", "--data-dir",
                             data.path()};
            if (!bind.isEmpty())
                args << "--bind" << bind;
            drtest::ChildProcess app; // "ip netns exec" execs the program: the PID is its own
            QVERIFY(app.start("ip", QStringList{"netns", "exec", host} + args));
            QVERIFY2(drtest::waitUntil([&] { return reachable(host, "127.0.0.1", 65534); }, 20000),
                     qPrintable(app.output()));
            QVERIFY(reachable(host, "127.0.0.1", 12345));
            QCOMPARE(reachable(peer, "10.213.0.1", 65534), bind.isEmpty());
            QCOMPARE(reachable(peer, "10.213.0.1", 12345), bind.isEmpty());
            QCOMPARE(app.stop(), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestBindNetns)
#include "tst_bind_netns.moc"
