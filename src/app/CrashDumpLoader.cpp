#include "app/CrashDumpLoader.h"

#include "app/CrashDumpPlugin.h"

#include <QDebug>
#include <QPluginLoader>

QString CrashDumpLoader::pluginFileName()
{
#if defined(Q_OS_WIN)
    return QStringLiteral("crashdump.dll");
#elif defined(Q_OS_MACOS)
    return QStringLiteral("libcrashdump.dylib");
#else
    return QStringLiteral("libcrashdump.so");
#endif
}

bool CrashDumpLoader::load(const QString &folder, const QString &dumpFolder)
{
    // The loader object is dropped without unload(), so the plug-in stays in memory.
    QPluginLoader loader(folder + QLatin1Char('/') + pluginFileName());
    QObject *instance = loader.instance();
    CrashDumpPlugin *plugin = instance ? qobject_cast<CrashDumpPlugin *>(instance) : nullptr;
    if (!plugin) {
        qDebug() << "Init crashdump plugin error.";
        if (!loader.errorString().isEmpty())
            qDebug().noquote() << "crash-dump plug-in:" << loader.errorString();
        return false;
    }
    qDebug() << "Init crashdump plugin ok.";
    plugin->initialize(dumpFolder);
    return true;
}
