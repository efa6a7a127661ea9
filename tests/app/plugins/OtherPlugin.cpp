// Test plug-in of another interface under the crash-dump plug-in's file name.
#include <QObject>
#include <QtPlugin>

class OtherPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "Example.Other.Interface")
};

#include "OtherPlugin.moc"
