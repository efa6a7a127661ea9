// Sources and finders on different hosts, each host a network namespace this test makes:
//   LAN:     A 10.211.0.1/30 <-> B 10.211.0.2/30 (one link, multicast reaches B)
//   subnets: A 10.212.1.1/30 <-> R <-> 10.212.2.2/30 B, R routing between them and no
//            multicast crossing it, so only the finder's extra addresses find A from B.
//   two links: B 10.213.1.2/30 <-> A <-> 10.213.2.2/30 C, A's sources each announcing on
//            one chosen interface.
// Inside the namespaces discovery uses every interface; tools started on this host keep
// the suite's setting (DESK_RECORDER_NDI_INTERFACES=none).
// Skipped (with the reason) when not root or when "ip netns" does not work here.
#include "NetnsLab.h"
#include "ToolRunner.h"

#include <QTest>

using drtest::ChildProcess;
using namespace ndt;

class NetnsTest : public QObject
{
    Q_OBJECT

    // Two hosts on one link, each with a default route over it (as on a LAN).
    static QProcessEnvironment interfaces(const QString &setting)
    {
        QProcessEnvironment env;
        env.insert("DESK_RECORDER_NDI_INTERFACES", setting);
        return env;
    }

    static bool makeLan(NetnsLab &lab, QString &a, QString &b)
    {
        a = lab.addHost("lan-a");
        b = lab.addHost("lan-b");
        return !a.isEmpty() && !b.isEmpty() && lab.link(a, "10.211.0.1/30", b, "10.211.0.2/30") &&
               lab.ip(a, {"route", "add", "default", "via", "10.211.0.2"}) &&
               lab.ip(b, {"route", "add", "default", "via", "10.211.0.1"});
    }

private slots:
    void initTestCase()
    {
        // Whether the tools find a runtime is checked (and fails) in the process test.
        const QString why = runProbe({"--runtime"}, 10000).exitCode == 0
                                ? NetnsLab::unavailableReason()
                                : "no NDI runtime for the tools";
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        // Inherited by the tools started in the namespaces.
        qputenv("DESK_RECORDER_NDI_INTERFACES", "all");
    }

    void lanDiscoveryAndReceive()
    {
        NetnsLab lab;
        QString a, b;
        QVERIFY(makeLan(lab, a, b));
        const QString name = uniqueName("LAN Bars");
        ChildProcess src;
        QVERIFY(startSource(src, {"--name", name, "--resolution", "640x360"}, a));
        // Listed with the address of host A, the only one B can reach, and receivable there
        // (the stream's content is checked on this host by the process test).
        const ProbeResult found = runProbe({"--list", "--until", name, "--seconds", "8"}, 30000, b);
        QVERIFY2(found.exitCode == 0 && found.listedAddress(name).startsWith("10.211.0.1:"),
                 qPrintable(found.output));
        const ProbeResult r = runProbe({"--recv", name, "--seconds", "1.5"}, 30000, b);
        QVERIFY2(r.value("connected") == "1" && r.value("bars") == "ok" &&
                     r.intValue("video_frames") >= 3,
                 qPrintable(r.output));

        // Host A itself does not see sources of this test's own host: a source started
        // here (outside the namespaces) is not listed inside them.
        ChildProcess outside;
        const QString here = uniqueName("Outside");
        QVERIFY(startSource(outside, {"--name", here, "--resolution", "640x360"}, {}, 10000,
                            interfaces("none")));
        const ProbeResult inA = runProbe({"--list", "--seconds", "1.5"}, 30000, a);
        QVERIFY2(inA.listedAddress(here).isEmpty(), qPrintable(inA.output));
    }

    void lanVanishing()
    {
        NetnsLab lab;
        QString a, b;
        QVERIFY(makeLan(lab, a, b));
        checkVanishing("LAN", a, b, 10000);
    }

    // Host A on two links announces each source on the interface it chose (by name, by
    // address) only: B hears one, C the other.
    void chosenInterfaces()
    {
        NetnsLab lab;
        const QString a = lab.addHost("if-a"), b = lab.addHost("if-b"), c = lab.addHost("if-c");
        QString toB;
        QVERIFY(!a.isEmpty() && !b.isEmpty() && !c.isEmpty());
        QVERIFY(lab.link(a, "10.213.1.1/30", b, "10.213.1.2/30", &toB));
        QVERIFY(lab.link(a, "10.213.2.1/30", c, "10.213.2.2/30"));
        const QString onB = uniqueName("Link B"), onC = uniqueName("Link C");
        ChildProcess byName, byAddress;
        QVERIFY(startSource(byName, {"--name", onB, "--resolution", "320x180"}, a, 10000,
                            interfaces(toB)));
        QVERIFY(startSource(byAddress, {"--name", onC, "--resolution", "320x180"}, a, 10000,
                            interfaces(" 10.213.2.1 ")));
        const ProbeResult inB = runProbe({"--list", "--seconds", "2.5"}, 30000, b);
        const ProbeResult inC = runProbe({"--list", "--seconds", "2.5"}, 30000, c);
        QVERIFY2(inB.listedAddress(onB).startsWith("10.213.1.1:") &&
                     inB.listedAddress(onC).isEmpty(),
                 qPrintable(inB.output));
        QVERIFY2(inC.listedAddress(onC).startsWith("10.213.2.1:") &&
                     inC.listedAddress(onB).isEmpty(),
                 qPrintable(inC.output));
    }

    void extraAddressesAcrossSubnets()
    {
        NetnsLab lab;
        const QString a = lab.addHost("sub-a"), r = lab.addHost("sub-r"), b = lab.addHost("sub-b");
        QVERIFY(!a.isEmpty() && !r.isEmpty() && !b.isEmpty());
        QVERIFY(lab.link(a, "10.212.1.1/30", r, "10.212.1.2/30"));
        QVERIFY(lab.link(r, "10.212.2.1/30", b, "10.212.2.2/30"));
        QVERIFY(lab.enableForwarding(r));
        QVERIFY(lab.ip(a, {"route", "add", "default", "via", "10.212.1.2"}));
        QVERIFY(lab.ip(b, {"route", "add", "default", "via", "10.212.2.1"}));

        const QString name = uniqueName("Far Source");
        ChildProcess src;
        QVERIFY(startSource(src, {"--name", name, "--resolution", "640x360", "--level", "-6"}, a));
        // Without extra addresses the announcement does not cross the router...
        const ProbeResult plain = runProbe({"--list", "--seconds", "3"}, 30000, b);
        QCOMPARE(plain.exitCode, 0);
        QVERIFY2(plain.listedAddress(name).isEmpty(), qPrintable(plain.output));
        // ...with host A as an extra address it is found, at A's address, and receivable; a
        // listed host that never answers (10.9.9.9) does not keep it from being found.
        const ProbeResult extra = runProbe(
            {"--list", "--until", name, "--seconds", "8", "--extra-ips", "10.9.9.9,10.212.1.1"},
            30000, b);
        QVERIFY2(extra.exitCode == 0 && extra.listedAddress(name).startsWith("10.212.1.1:"),
                 qPrintable(extra.output));
        const ProbeResult recv =
            runProbe({"--recv", name, "--extra-ips", "10.212.1.1", "--seconds", "1.5"}, 30000, b);
        QVERIFY2(recv.value("connected") == "1" && recv.value("bars") == "ok" &&
                     recv.intValue("video_frames") >= 3,
                 qPrintable(recv.output));
    }
};

QTEST_GUILESS_MAIN(NetnsTest)
#include "NetnsTest.moc"
