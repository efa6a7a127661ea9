// Test plug-in: implements the crash-dump interface and leaves a marker file in the
// folder it is initialised with.
#include "app/CrashDumpPlugin.h"

#include <QFile>

class GoodCrashDump : public QObject, public CrashDumpPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID CrashDumpPlugin_iid)
    Q_INTERFACES(CrashDumpPlugin)
public:
    bool initialize(const QString &dumpFolder) override
    {
        QFile marker(dumpFolder + "/crashdump-initialised");
        return marker.open(QIODevice::WriteOnly) && marker.write(dumpFolder.toUtf8()) > 0;
    }
};

#include "GoodPlugin.moc"
