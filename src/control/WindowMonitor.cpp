#include "control/WindowMonitor.h"

#include "control/DaemonService.h"
#include "control/VideoObject.h"
#include "control/WebSocketServer.h"
#include "control/WindowObject.h"

#ifdef DR_HAVE_DISCOVERY
#include "discovery/SourceManager.h"
#endif

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QRandomGenerator>

#include <cmath>

namespace {

constexpr uint32_t FourCcUyvy = 0x59565955; // 'UYVY'
constexpr uint32_t FourCcUyva = 0x41565955; // 'UYVA': UYVY followed by an alpha plane

// Steady-clock ms to wall-clock ms since the epoch.
qint64 wallMs(qint64 steadyMs, qint64 nowSteadyMs)
{
    return QDateTime::currentMSecsSinceEpoch() - (nowSteadyMs - steadyMs);
}

double tenths(double dB)
{
    return std::round(std::max(dB, -200.0) * 10.0) / 10.0;
}

} // namespace

WindowMonitor::WindowMonitor(DaemonService &service, QObject *parent)
    : QObject(parent), m_service(service),
      m_settingsPath(service.dataFolder() + QStringLiteral("/alarms.json")),
      m_etagPrefix(QByteArray::number(QRandomGenerator::global()->generate(), 36))
{
    m_settings = AlarmSettings::load(m_settingsPath);
    m_timer.setInterval(TickMs);
    connect(&m_timer, &QTimer::timeout, this, &WindowMonitor::tick);
#ifdef DR_HAVE_DISCOVERY
    m_lookup = [this](const QString &name) {
        return m_service.sourceManager ? m_service.sourceManager->getConnection(name)
                                       : MediaConnectionPtr();
    };
#endif
}

WindowMonitor::~WindowMonitor()
{
    // At exit the event channel may be gone already: let go without announcing anything.
    for (auto &[position, window] : m_windows)
        window->feed.release();
}

void WindowMonitor::start()
{
    if (!m_timer.isActive())
        m_timer.start();
}

void WindowMonitor::releaseFeeds()
{
    m_timer.stop();
    const qint64 now = MediaConnection::nowMs();
    for (auto &[position, window] : m_windows) {
        window->feed.release();
        publishAlarms(position, window->alarms.restart(now), now);
    }
    m_windows.clear();
}

void WindowMonitor::tick()
{
    const qint64 now = MediaConnection::nowMs();
    WindowObject &model = *m_service.windowObject();
    const int count = model.windowCount();
    // Windows that left the layout: no feed, no alarms.
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        if (it->first <= count) {
            ++it;
            continue;
        }
        it->second->feed.release();
        publishAlarms(it->first, it->second->alarms.restart(now), now);
        if (VideoObject *video = model.window(it->first))
            video->setState(QStringLiteral("idle"));
        it = m_windows.erase(it);
    }

    bool stateChanged = false;
    for (int position = 1; position <= count; ++position) {
        std::unique_ptr<Window> &window = m_windows[position];
        if (!window)
            window = std::make_unique<Window>(position);
        VideoObject *video = model.window(position);
        const QString source = video ? video->streamId() : QString();
        WindowFeed &feed = window->feed;
        const WindowFeed::Tick step = feed.update(source, m_lookup, now);
        if (step.sourceChanged)
            publishAlarms(position, window->alarms.restart(now), now);

        AlarmDetector::Input input;
        input.nowMs = now;
        input.sourceSet = !source.isEmpty();
        input.newPicture = step.newPicture;
        input.probe = feed.probe();
        input.levelDb[0] = feed.level(0);
        input.levelDb[1] = feed.level(1);
        input.sendsAudio = feed.sendsAudio();
        publishAlarms(position, window->alarms.update(input, m_settings), now);

        if (!video)
            continue;
        const QString state = feed.state();
        if (state != video->state()) {
            video->setState(state);
            stateChanged = true;
        }
        for (int c = 0; c < 2; ++c) {
            const int dB = int(std::lround(std::max(feed.level(c), -200.0)));
            if (video->level(c) != dB)
                video->setLevel(c, dB);
        }
    }
    if (stateChanged)
        m_service.sendOutput();
    sendLevels();
}

void WindowMonitor::sendLevels()
{
    WebSocketServer *events = m_service.webSocketServer();
    if (!events || events->clientCount() == 0)
        return;
    QJsonArray windows;
    bool silent = true;
    for (const auto &[position, window] : m_windows) {
        silent = silent && window->feed.level(0) <= -200.0 && window->feed.level(1) <= -200.0;
        windows.append(QJsonObject{
            {"position", position},
            {"levels", QJsonArray{tenths(window->feed.level(0)), tenths(window->feed.level(1))}}});
    }
    // Unchanged levels are not sent again; before the first send, silence is the known state.
    if (m_lastLevels.isEmpty() ? silent : windows == m_lastLevels)
        return;
    m_lastLevels = windows;
    events->sendMessages(
        QJsonObject{{"name", "levels/update"}, {"result", "ok"}, {"data", windows}});
}

void WindowMonitor::publishAlarms(int position, const QList<AlarmDetector::Change> &changes,
                                  qint64 nowMs)
{
    if (changes.isEmpty())
        return;
    WebSocketServer *events = m_service.webSocketServer();
    for (const AlarmDetector::Change &change : changes) {
        const QString kind = AlarmSettings::kindName(change.kind);
        const qint64 since = wallMs(change.sinceMs, nowMs);
        const auto it = m_windows.find(position);
        const QString source = it != m_windows.end() ? it->second->feed.source() : QString();
        qInfo().noquote() << "alarm" << kind << (change.active ? "raised" : "cleared")
                          << "on window" << position << "source" << source << "since"
                          << QDateTime::fromMSecsSinceEpoch(since).toString(Qt::ISODateWithMs);
        if (events) {
            events->sendMessages(QJsonObject{{"name", "alarm/update"},
                                             {"result", "ok"},
                                             {"data", QJsonObject{{"position", position},
                                                                  {"kind", kind},
                                                                  {"active", change.active},
                                                                  {"since", since}}}});
        }
    }
    emit m_service.alarmChanged(position, windowAlarms(position));
}

QString WindowMonitor::windowAlarms(int position) const
{
    const auto it = m_windows.find(position);
    if (it == m_windows.end())
        return {};
    QStringList kinds;
    for (int k = 0; k < AlarmSettings::KindCount; ++k) {
        if (it->second->alarms.active(k))
            kinds.append(AlarmSettings::kindName(k));
    }
    return kinds.join(QLatin1Char(','));
}

QJsonArray WindowMonitor::activeAlarms() const
{
    const qint64 now = MediaConnection::nowMs();
    QJsonArray list;
    for (const auto &[position, window] : m_windows) {
        for (int k = 0; k < AlarmSettings::KindCount; ++k) {
            if (!window->alarms.active(k))
                continue;
            list.append(QJsonObject{{"position", position},
                                    {"kind", AlarmSettings::kindName(k)},
                                    {"active", true},
                                    {"since", wallMs(window->alarms.sinceMs(k), now)}});
        }
    }
    return list;
}

bool WindowMonitor::setAlarmSettings(const QJsonObject &request, QString *error)
{
    AlarmSettings next;
    if (!m_settings.applied(request, &next, error))
        return false;
    if (!next.save(m_settingsPath)) {
        if (error)
            *error = QStringLiteral("cannot write %1").arg(m_settingsPath);
        return false;
    }
    m_settings = next;
    qInfo().noquote() << "alarm settings changed:" << request;
    return true;
}

WindowMonitor::Preview WindowMonitor::preview(int position, const QByteArray &ifNoneMatch)
{
    Preview answer;
    const auto it = m_windows.find(position);
    if (it == m_windows.end())
        return answer;
    WindowFeed &feed = it->second->feed;
    const VideoFramePtr picture = feed.picture();
    if (!picture || !picture->frame.p_data)
        return answer;
    const Media_video_frame_t &f = picture->frame;
    if (f.FourCC != FourCcUyvy && f.FourCC != FourCcUyva)
        return answer;
    // A JPEG younger than PreviewMinIntervalMs is served even when a newer picture exists:
    // however many clients ask, a window costs at most one encode per interval.
    const qint64 now = MediaConnection::nowMs();
    const bool fresh = !feed.jpeg.isEmpty() && now - feed.jpegMs < PreviewMinIntervalMs;
    if (feed.jpegSerial != feed.pictureSerial() && !fresh) {
        QElapsedTimer clock;
        clock.start();
        feed.jpeg = m_encoder.encode(f.p_data, f.xres, f.yres, f.line_stride_in_bytes);
        feed.jpegSerial = feed.pictureSerial();
        feed.jpegMs = now;
        m_encodeMicros += clock.nsecsElapsed() / 1000;
        ++m_jpegsEncoded;
    }
    if (feed.jpeg.isEmpty())
        return answer;
    answer.etag = '"' + m_etagPrefix + '-' + QByteArray::number(position) + '-' +
                  QByteArray::number(feed.jpegSerial) + '"';
    if (!ifNoneMatch.isEmpty() && ifNoneMatch.contains(answer.etag)) {
        answer.status = 304;
        return answer;
    }
    answer.status = 200;
    answer.jpeg = feed.jpeg;
    return answer;
}
