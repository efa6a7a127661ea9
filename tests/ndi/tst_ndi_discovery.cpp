// Discovery through our runtime in one process: group filtering, extra addresses, junk in
// the registry. Listing and vanishing across processes and hosts are tested with the tools
// (tests/ndi-tools).
#include "NdiTestEnv.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <TestSupport.h>

using namespace nditest;

namespace {

NdiFinder makeFinder(const char *groups = nullptr, const char *extra = nullptr,
                     bool showLocal = true)
{
    NDIlib_find_create_t f;
    f.show_local_sources = showLocal;
    f.p_groups = groups;
    f.p_extra_ips = extra;
    return makeNdiFinder(lib(), &f);
}

} // namespace

class TestNdiDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(runtime(&error), qPrintable(error));
    }

    void filtersByGroup()
    {
        std::string studio = uniqueName("Studio Cam");
        std::string plain = uniqueName("Plain Cam");
        NdiSender s1 = makeSender(studio, "Studio B, Remote");
        NdiSender s2 = makeSender(plain);
        NdiFinder byDefault = makeFinder();
        NdiFinder studioOnly = makeFinder("studio b");
        NdiFinder both = makeFinder(" PUBLIC ,remote");
        QVERIFY(!waitForSource(lib(), byDefault.get(), plain, 1500).empty());
        QVERIFY(waitForSource(lib(), byDefault.get(), studio, 300).empty());
        QVERIFY(!waitForSource(lib(), studioOnly.get(), studio, 1500).empty());
        QVERIFY(waitForSource(lib(), studioOnly.get(), plain, 300).empty());
        QVERIFY(!waitForSource(lib(), both.get(), studio, 1500).empty());
        QVERIFY(!waitForSource(lib(), both.get(), plain, 1500).empty());
    }

    // A host named in the extra addresses is asked directly for its sources; an entry that is
    // not an address costs nothing but itself (a host that never answers is covered across
    // network namespaces in tests/ndi-tools).
    void asksExtraAddresses()
    {
        std::string name = uniqueName("Extra");
        NdiSender send = makeSender(name);
        NdiFinder localOff = makeFinder(nullptr, nullptr, false);
        NdiFinder viaExtra = makeFinder(nullptr, "not-an-ip, 127.0.0.1", false);
        std::string address = waitForSource(lib(), viaExtra.get(), name, 5000);
        std::string port = lib()->send_get_source_name(send.get())->p_url_address;
        QCOMPARE(QString::fromStdString(address),
                 QString::fromStdString("127.0.0.1" + port.substr(port.rfind(':'))));
        QVERIFY(waitForSource(lib(), localOff.get(), name, 300).empty());
    }

    // Junk in the registry folder is skipped (and files of dead processes removed).
    void toleratesJunkRegistryFiles()
    {
        QDir dir(qEnvironmentVariable("DESK_RECORDER_NDI_REGISTRY"));
        QVERIFY(dir.mkpath(".")); // removed by the runtime whenever it empties
        auto write = [&](const QString &file, const QByteArray &data) {
            QFile f(dir.filePath(file));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(data);
        };
        write("1-1.src", "DRNR1\n0\n\n\n");        // pid 1 lives; port 0 is invalid
        write("1-2.src", QByteArray(100000, 'x')); // oversized junk
        write("1-3.src", "DRNR1\n70000\nBAD (Port)\npublic\n");
        write("999999999-1.src", "DRNR1\n5000\nGHOST (Dead)\npublic\n"); // no such process
        write("notes.txt", "not a registry file");
        std::string name = uniqueName("Among Junk");
        NdiSender send = makeSender(name);
        NdiFinder finder = makeFinder();
        QVERIFY(!waitForSource(lib(), finder.get(), name, 1500).empty());
        uint32_t count = 0;
        const NDIlib_source_t *list = lib()->find_get_current_sources(finder.get(), &count);
        for (uint32_t i = 0; i < count; ++i) {
            QVERIFY(!QByteArray(list[i].p_ndi_name).contains("BAD"));
            QVERIFY(!QByteArray(list[i].p_ndi_name).contains("GHOST"));
        }
        QVERIFY(drtest::waitUntil([&] { return !dir.exists("999999999-1.src"); }, 2000));
        for (const char *f : {"1-1.src", "1-2.src", "1-3.src", "notes.txt"})
            dir.remove(f);
    }
};

QTEST_GUILESS_MAIN(TestNdiDiscovery)
#include "tst_ndi_discovery.moc"
