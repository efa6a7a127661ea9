// Remote monitoring of the output's windows: a WindowFeed per window of the current layout
// (state, live levels, latest picture, with or without tiles), the preview JPEGs, and the
// alarms (black, frozen, silent, nosignal) with their settings in "alarms.json".
//
// Every TickMs the monitor advances the feeds and the alarm detectors, writes state and
// levels into the window model (the "state", "volume_1" and "volume_2" keys of the output
// status; a state change pushes "output/update"), and while event clients are connected
// sends "levels/update" with every window's two levels (when any of them changed). Raised and
// cleared alarms go out as "alarm/update" and as the service's alarmChanged signal (the tiles' red
// frame). A preview is encoded when it is asked for and the window has a newer picture than the
// last JPEG (at most once per new picture and per PreviewMinIntervalMs, shared by every
// client); nobody asking costs no encoding.
//
// Thread: main thread (timer, HTTP handlers, QML); no locks of its own.
#pragma once

#include "control/AlarmDetector.h"
#include "control/AlarmSettings.h"
#include "control/PreviewEncoder.h"
#include "control/WindowFeed.h"

#include <QByteArray>
#include <QJsonArray>
#include <QObject>
#include <QTimer>
#include <map>
#include <memory>

class DaemonService;
class QHttpServer;

class WindowMonitor : public QObject
{
    Q_OBJECT
public:
    static constexpr int TickMs = 100;
    // A window's preview is encoded at most once per new picture and per this interval.
    static constexpr qint64 PreviewMinIntervalMs = 400;

    // Reads "alarms.json" from the service's data folder.
    explicit WindowMonitor(DaemonService &service, QObject *parent = nullptr);
    ~WindowMonitor() override;

    // Starts the ticks; feeds take their connections at the first one.
    void start();
    // Stops the ticks and lets every feed go of its connection and picture (shutdown calls
    // it before the media connections end). start() resumes.
    void releaseFeeds();
    bool isRunning() const { return m_timer.isActive(); }

    // Replaces the source table look-up (tests); default: the service's source manager.
    void setConnectionLookup(WindowFeed::ConnectionLookup lookup) { m_lookup = std::move(lookup); }

    struct Preview
    {
        int status = 404; // 200, 304 or 404
        QByteArray jpeg;  // with 200
        QByteArray etag;  // with 200 and 304 (quoted)
    };
    // The latest picture of a window as JPEG; 304 when `ifNoneMatch` names the current one.
    Preview preview(int position, const QByteArray &ifNoneMatch);

    const AlarmSettings &alarmSettings() const { return m_settings; }
    // Validates, stores (atomically) and applies; false with a reason, nothing changed.
    bool setAlarmSettings(const QJsonObject &request, QString *error);
    // Active alarms: [{position, kind, active: true, since}], by position and kind.
    QJsonArray activeAlarms() const;
    // Comma-separated active alarm kinds of a window ("" for none).
    Q_INVOKABLE QString windowAlarms(int position) const;

    // Work counters for benchmarks and diagnostics.
    quint64 jpegsEncoded() const { return m_jpegsEncoded; }
    qint64 encodeMicros() const { return m_encodeMicros; }

    // One tick now (tests and the timer).
    void tick();

private:
    struct Window
    {
        explicit Window(int position) : feed(position) {}
        WindowFeed feed;
        AlarmDetector alarms;
    };
    void publishAlarms(int position, const QList<AlarmDetector::Change> &changes, qint64 nowMs);
    void sendLevels();

    DaemonService &m_service;
    QTimer m_timer;
    WindowFeed::ConnectionLookup m_lookup;
    std::map<int, std::unique_ptr<Window>> m_windows; // the current layout's positions
    AlarmSettings m_settings;
    QString m_settingsPath;
    PreviewEncoder m_encoder;
    QByteArray m_etagPrefix; // differs per run, so a restarted server never matches old tags
    QJsonArray m_lastLevels; // last "levels/update" data sent
    quint64 m_jpegsEncoded = 0;
    qint64 m_encodeMicros = 0;
};

// /api/output/preview.jpg and /api/alarm/{get,set,list}.json (registered by the service
// before the static file route).
void registerMonitorRoutes(QHttpServer &server, DaemonService &service);
