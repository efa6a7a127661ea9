// The setting that chooses the network interfaces of NDI discovery, stored with the NDI
// groups and manual addresses: "all" (every multicast-capable interface, the default),
// "none" (this host only: its own sources and the manual addresses, asked directly) or a
// list of interface names and IPv4 addresses ("eth1,10.0.0.5").
//
// How it reaches the runtime: our runtime reads DESK_RECORDER_NDI_INTERFACES whenever a
// finder is created. The source manager puts the setting into this process's environment
// (exportToRuntime) just before it creates a finder, and re-creates the finder when the
// setting changes. prepareEnvironment() runs before any other thread exists and makes sure
// the variable is present, so that later changes replace its value in place and never move
// the environment array under a concurrent getenv(). A value inherited from the parent
// process (tests, scripts) is the default while no setting is stored.
//
// Threads: prepareEnvironment on the main thread before other threads start; the rest on
// any thread (no shared state besides the environment).
#pragma once

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

class DiscoveryInterfaces
{
public:
    static constexpr const char *kEnvironment = "DESK_RECORDER_NDI_INTERFACES";

    // The setting in its stored form ("all", "none", or entries joined by "," with addresses
    // in dotted form) from a string or an array of strings; empty, with the reason in
    // `error`, when it is not a setting.
    static QString normalize(const QJsonValue &value, QString *error = nullptr);
    // The inherited environment value as a setting; "all" when unset, empty or invalid.
    static QString environmentDefault();
    // The machine's interfaces that discovery can use (up, multicast-capable, not loopback):
    // [{"name": "eth0", "address": "10.0.0.5"}], one element per IPv4 address.
    static QJsonArray available();

    static void prepareEnvironment();
    static void exportToRuntime(const QString &setting);
};
