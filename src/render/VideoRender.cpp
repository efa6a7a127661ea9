#include "render/VideoRender.h"

#include "discovery/SourceManager.h"
#include "render/OpenGLRenderNode.h"

#include <QDebug>
#include <QQuickWindow>
#include <QTimer>
#include <cmath>

namespace {

VideoRender::ConnectionLookup &lookupFunction()
{
    static VideoRender::ConnectionLookup lookup;
    return lookup;
}

bool hasData(const VideoFramePtr &frame)
{
    return frame && frame->frame.hasData();
}

} // namespace

void VideoRender::setConnectionLookup(ConnectionLookup lookup)
{
    lookupFunction() = std::move(lookup);
}

MediaConnectionPtr VideoRender::lookUp(const QString &source)
{
    if (source.isEmpty())
        return {};
    if (const ConnectionLookup &lookup = lookupFunction())
        return lookup(source);
    return SourceManager::instance()->getConnection(source);
}

int VideoRender::parseBandwidth(const QString &text, int current)
{
    if (text.isEmpty())
        return current;
    if (text == QLatin1String("true") || text == QLatin1String("TRUE") ||
        text == QLatin1String("high") || text == QLatin1String("HIGH"))
        return MediaConnection::High;
    return MediaConnection::Low;
}

VideoRender::VideoRender(QQuickItem *parent) : QQuickItem(parent)
{
    setFlag(ItemHasContents, true);
    m_levels.fill(MediaConnection::kSilenceDb);
    m_updateTimer = new QTimer(this);
    m_updateTimer->setTimerType(Qt::PreciseTimer);
    m_updateTimer->setInterval(kInitialIntervalMs);
    connect(m_updateTimer, &QTimer::timeout, this, &VideoRender::updateVideo);
    startLiving();
}

VideoRender::~VideoRender()
{
    m_destroying = true;
    stopLiving();
    qDebug() << "VideoRender destroy success!!!" << static_cast<const void *>(this);
}

void VideoRender::setAspect(float aspect)
{
    QMutexLocker lock(&m_lock);
    if (std::abs(aspect - m_aspect) > 0.001f) {
        m_aspect = aspect;
        emit aspectChanged();
    }
}

double VideoRender::getVolume(int channel)
{
    QMutexLocker lock(&m_lock);
    return m_levels[channel < 0 ? 0 : channel % kLevelChannels];
}

void VideoRender::applyNtp(QString server)
{
    QMutexLocker lock(&m_lock);
    m_ntpServer = server;
    if (m_connection && !server.isEmpty())
        m_connection->applyNtp(server);
}

void VideoRender::applyBandwidth(int bw)
{
    QMutexLocker lock(&m_lock);
    if (bw != m_bandwidth) {
        m_previousBandwidth = m_bandwidth;
        m_bandwidth = bw;
    }
}

void VideoRender::changeBandWidth(QString bw)
{
    QMutexLocker lock(&m_lock);
    applyBandwidth(parseBandwidth(bw, m_bandwidth));
}

void VideoRender::setAudioEnable(bool enable)
{
    QMutexLocker lock(&m_lock);
    m_audioEnabled = enable;
    if (m_connection)
        m_connection->setAudioUser(enable, this);
}

bool VideoRender::connectLocked()
{
    m_connection = lookUp(m_source);
    if (!m_connection)
        return false;
    m_connection->start();
    m_connection->addVideoUser(m_bandwidth, this);
    m_connection->setAudioUser(m_audioEnabled, this);
    if (!m_ntpServer.isEmpty())
        m_connection->applyNtp(m_ntpServer);
    return true;
}

void VideoRender::dropLocked(MediaConnectionPtr &connection)
{
    if (!connection)
        return;
    connection->setAudioUser(false, this);
    connection->removeVideoUser(MediaConnection::Both, this);
    // Only the last holder may stop a connection: stopping ends it for everyone.
    if (connection.use_count() < 2)
        connection->stop();
    connection.reset();
}

void VideoRender::startLiving()
{
    QMutexLocker lock(&m_lock);
    if (m_living)
        return;
    m_living = true;
    m_progress = 0;
    m_levels.fill(MediaConnection::kSilenceDb);
    m_xres = 0;
    m_yres = 0;
    m_aspect = 0.f;
    emit aspectChanged();
    if (!m_updateTimer->isActive())
        m_updateTimer->start(m_intervalMs);
    if (m_connection || m_source.isEmpty()) {
        emit notifyLoading(QStringLiteral("idle"), 0);
        return;
    }
    emit notifyLoading(QStringLiteral("loading"), 0);
    // An unknown source is reported by the next tick.
    if (connectLocked())
        m_switchStartMs = MediaConnection::nowMs();
}

void VideoRender::stopLiving()
{
    QMutexLocker lock(&m_lock);
    if (!m_living)
        return;
    m_living = false;
    if (m_updateTimer->isActive())
        m_updateTimer->stop();
    dropLocked(m_nextConnection);
    dropLocked(m_connection);
    updateAudio();
    if (!m_source.isEmpty() && !m_destroying) {
        m_nodeFrame.reset();
        update();
    }
    qDebug() << "----------- stopliving ------------ " << m_source;
    emit notifyLoading(QStringLiteral("idle"), 0);
    m_source.clear();
    m_aspect = 0.f;
    m_audioEnabled = false;
}

void VideoRender::stopPlay()
{
    if (m_updateTimer->isActive())
        m_updateTimer->stop();
}

void VideoRender::startPlay()
{
    QMutexLocker lock(&m_lock);
    if (!m_updateTimer->isActive())
        m_updateTimer->start(m_intervalMs);
}

void VideoRender::destroyConnection()
{
    QMutexLocker lock(&m_lock);
    if (!m_connection)
        return;
    qDebug() << "destroy connection :" << m_connection.use_count();
    if (m_connection.use_count() < 2)
        m_connection->stop();
    m_connection.reset();
}

bool VideoRender::changeSource(QString sourceName, QString bwText)
{
    QMutexLocker lock(&m_lock);
    applyBandwidth(parseBandwidth(bwText, m_bandwidth));
    if (sourceName == m_source)
        return true;
    m_source = sourceName;
    if (!m_living)
        return true;

    if (m_source.isEmpty()) {
        dropLocked(m_nextConnection);
        dropLocked(m_connection);
        m_progress = 0;
        m_nodeFrame.reset();
        update();
        emit notifyLoading(QStringLiteral("idle"), 0);
        return true;
    }

    if (m_nextConnection) {
        const long remaining = m_nextConnection.use_count() - 1;
        dropLocked(m_nextConnection);
        qDebug() << "next connection ptr use_count :" << remaining;
    }
    if (m_connection) {
        MediaConnectionPtr next = lookUp(m_source);
        if (!next) {
            dropLocked(m_connection);
            emit notifyLoading(QStringLiteral("failed"), 0);
        } else if (next == m_connection) {
            // Back to the source being shown (a switch away was abandoned): nothing to switch;
            // registering the current connection again would drop this item from it.
            m_connection->addVideoUser(m_bandwidth, this);
        } else {
            m_nextConnection = std::move(next);
            m_nextConnection->start();
            m_nextConnection->addVideoUser(m_bandwidth, this);
            m_switchStartMs = MediaConnection::nowMs();
        }
    } else if (!lookUp(m_source)) {
        emit notifyLoading(QStringLiteral("failed"), 0);
    } else {
        emit notifyLoading(QStringLiteral("loading"), 0);
        m_progress = 0;
        connectLocked();
        m_switchStartMs = MediaConnection::nowMs();
    }
    return true;
}

void VideoRender::updateVideo()
{
    QMutexLocker lock(&m_lock);
    if (m_wantedIntervalMs != m_intervalMs || m_rephased) {
        m_intervalMs = m_wantedIntervalMs;
        m_updateTimer->setInterval(m_intervalMs);
        m_rephased = false;
    }
    if (m_living && !m_source.isEmpty() && !m_connection) {
        if (connectLocked()) {
            m_progress = 0;
            emit notifyLoading(QStringLiteral("loading"), 0);
            m_switchStartMs = MediaConnection::nowMs();
        } else {
            emit notifyLoading(QStringLiteral("failed"), 0);
        }
    }
    if (m_previousBandwidth != 0) {
        for (const MediaConnectionPtr &c : {m_nextConnection, m_connection}) {
            if (!c)
                continue;
            c->removeVideoUser(m_previousBandwidth, this);
            c->addVideoUser(m_bandwidth, this);
        }
        m_previousBandwidth = 0;
    }
    lock.unlock();
    updateAudio();
    lock.relock();
    if (m_connection)
        pullFrameLocked();
}

void VideoRender::updateAudio()
{
    QMutexLocker lock(&m_lock);
    if (m_living && m_connection) {
        double levels[kLevelChannels];
        for (double &l : levels)
            l = MediaConnection::kSilenceDb;
        m_connection->getAudioLevels(levels);
        std::copy(std::begin(levels), std::end(levels), m_levels.begin());
    } else {
        m_levels.fill(MediaConnection::kSilenceDb);
    }
}

void VideoRender::pullFrameLocked()
{
    VideoFramePtr frame;
    if (m_nextConnection) {
        VideoFramePtr nf = m_nextConnection->getVideoFrame(m_bandwidth);
        if (hasData(nf) || MediaConnection::nowMs() - m_switchStartMs >= kSwitchTimeoutMs) {
            // The two are the same when the connection was dropped and taken again from the
            // table during the switch: deregistering would then leave this item unregistered.
            if (m_connection && m_connection != m_nextConnection) {
                m_connection->setAudioUser(false, this);
                m_connection->removeVideoUser(MediaConnection::Both, this);
            }
            m_connection = std::move(m_nextConnection);
            m_connection->setAudioUser(m_audioEnabled, this);
            if (!m_ntpServer.isEmpty())
                m_connection->applyNtp(m_ntpServer);
            if (hasData(nf))
                frame = std::move(nf);
        }
    }
    if (m_connection && !hasData(frame))
        frame = m_connection->getVideoFrame(m_bandwidth);
    if (frame && m_nodeFrame != frame) {
        m_nodeFrame = frame;
        update();
        // Both timers run at the source's interval, so their phase difference stays: align
        // this tick to just after the capture once instead of paying it on every frame.
        const qint64 sinceCaptureMs = MediaConnection::nowMs() - frame->capturedMs;
        if (frame->capturedMs > 0 && !m_rephased && sinceCaptureMs > kPhaseSlackMs &&
            sinceCaptureMs < m_intervalMs) {
            m_updateTimer->start(std::max(1, m_intervalMs - int(sinceCaptureMs) + 1));
            m_rephased = true;
        }
    }
    if (!hasData(frame)) {
        if (m_progress == 0)
            emit notifyLoading(QStringLiteral("loading"), 0);
        m_progress -= 1;
        return;
    }
    if (m_progress < 1)
        emit notifyLoading(QStringLiteral("play"), 0);
    m_progress = kPlayTicks;
    const int interval = m_connection->getInterval(m_bandwidth);
    if (interval > 0 && interval != m_intervalMs)
        m_wantedIntervalMs = interval;
    const Media_video_frame_t &f = frame->frame;
    if (f.xres != m_xres || f.yres != m_yres) {
        m_xres = f.xres;
        m_yres = f.yres;
        emit resolutionChanged(m_xres, m_yres);
    }
    const float a =
        (f.xres > 0 && f.yres > 0) ? static_cast<float>(f.xres) / static_cast<float>(f.yres) : 0.f;
    if (std::abs(a - m_aspect) > 0.001f) {
        m_aspect = a;
        emit aspectChanged();
    }
}

QSGNode *VideoRender::updatePaintNode(QSGNode *oldNode, UpdatePaintNodeData *)
{
    auto *node = static_cast<OpenGLRenderNode *>(oldNode);
    if (!node)
        node = new OpenGLRenderNode;
    m_renderNode = node;
    QMutexLocker lock(&m_lock);
    node->setGeometry(x(), y(), width(), height());
    if (node->frame() != m_nodeFrame)
        node->setFrame(m_nodeFrame);
    return node;
}

float VideoRender::aspect()
{
    QMutexLocker lock(&m_lock);
    return m_aspect;
}

int VideoRender::bandwidth()
{
    QMutexLocker lock(&m_lock);
    return m_bandwidth;
}

QString VideoRender::source()
{
    QMutexLocker lock(&m_lock);
    return m_source;
}

int VideoRender::xres()
{
    QMutexLocker lock(&m_lock);
    return m_xres;
}

int VideoRender::yres()
{
    QMutexLocker lock(&m_lock);
    return m_yres;
}

bool VideoRender::living()
{
    QMutexLocker lock(&m_lock);
    return m_living;
}

int VideoRender::intervalMs()
{
    QMutexLocker lock(&m_lock);
    return m_intervalMs;
}

bool VideoRender::switching()
{
    QMutexLocker lock(&m_lock);
    return m_nextConnection != nullptr;
}

MediaConnectionPtr VideoRender::connection()
{
    QMutexLocker lock(&m_lock);
    return m_connection;
}

MediaConnectionPtr VideoRender::nextConnection()
{
    QMutexLocker lock(&m_lock);
    return m_nextConnection;
}
