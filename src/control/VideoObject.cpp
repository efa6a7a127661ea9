#include "control/VideoObject.h"

#include <QMutexLocker>

namespace {
const QString VarimontVendor = QStringLiteral("Varimont");
}

VideoObject::VideoObject(int position, QObject *parent)
    : QObject(parent), m_name(QStringLiteral("Camera-%1").arg(position)), m_position(position)
{
    m_levels.fill(SilentLevel);
}

void VideoObject::setSource(const QString &name)
{
    ++m_revision;
    m_streamId = name;
    {
        QMutexLocker lock(&m_mutex);
        m_ntpState = QStringLiteral("unsync");
        m_vendor.clear();
        m_bitRate = 0;
    }
    m_audioState = QStringLiteral("off");
}

void VideoObject::resetWindow()
{
    ++m_revision;
    m_streamId.clear();
    {
        QMutexLocker lock(&m_mutex);
        m_bitRate = 0;
        m_ntpState = QStringLiteral("unsync");
        m_vendor.clear();
    }
    m_audioState = QStringLiteral("off");
    m_deviceType.clear();
    m_showVideo = true;
    m_showVolume = true;
}

void VideoObject::setName(const QString &name)
{
    ++m_revision;
    if (name.isEmpty())
        m_name = QStringLiteral("默认镜头号") + QString::number(m_position);
    else
        m_name = name;
}

void VideoObject::setShow(bool showVideo, bool showVolume)
{
    ++m_revision;
    m_showVideo = showVideo;
    m_showVolume = showVolume;
}

void VideoObject::setLevel(int channel, int value)
{
    ++m_revision;
    const int index = channel >= 0 ? channel % LevelChannels : 0;
    m_levels[size_t(index)] = value;
}

void VideoObject::setNtpState(const QString &state, int bitRate, const QString &vendor)
{
    ++m_revision;
    QMutexLocker lock(&m_mutex);
    m_ntpState = state;
    if (bitRate >= 0)
        m_bitRate = bitRate;
    m_vendor = vendor;
}

void VideoObject::setAudioState(const QString &state)
{
    ++m_revision;
    m_audioState = state;
}

void VideoObject::setDeviceType(const QString &type)
{
    ++m_revision;
    m_deviceType = type;
}

void VideoObject::setVendor(const QString &vendor)
{
    ++m_revision;
    QMutexLocker lock(&m_mutex);
    m_vendor = vendor;
}

void VideoObject::setState(const QString &state)
{
    if (state == m_state)
        return;
    ++m_revision;
    m_state = state;
}

QString VideoObject::vendor() const
{
    QMutexLocker lock(&m_mutex);
    return m_vendor;
}

int VideoObject::bitRate() const
{
    QMutexLocker lock(&m_mutex);
    return m_bitRate;
}

QString VideoObject::ntpState() const
{
    QMutexLocker lock(&m_mutex);
    return m_ntpState;
}

int VideoObject::level(int channel) const
{
    if (channel < 0 || channel >= LevelChannels)
        return SilentLevel;
    return m_levels[size_t(channel)];
}

QJsonObject VideoObject::statusJson() const
{
    QMutexLocker lock(&m_mutex);
    return QJsonObject{
        {"id", m_position},
        {"name", m_name},
        {"stream_id", m_streamId},
        {"stream_name", m_streamId},
        {"ip", m_address},
        {"bit_rate", m_bitRate},
        {"ntp_state", m_ntpState},
        {"volume_1", m_levels[0]},
        {"volume_2", m_levels[1]},
        {"showAll", m_showVideo && m_showVolume},
        {"showVideo", m_showVideo},
        {"showVolume", m_showVolume},
        {"isVarimont", m_vendor == VarimontVendor},
        {"volume", m_audioState},
        {"state", m_state},
    };
}

QJsonObject VideoObject::storeJson() const
{
    return QJsonObject{
        {"id", m_position},           {"name", m_name},
        {"stream_id", m_streamId},    {"showVideo", m_showVideo},
        {"showVolume", m_showVolume}, {"volume", m_audioState},
        {"deviceType", m_deviceType},
    };
}

void VideoObject::loadJson(const QJsonObject &entry)
{
    ++m_revision;
    // Values of the wrong type keep the field: a hand-edited file must not blank a window.
    const auto text = [&entry](const char *key, QString &field) {
        const QJsonValue value = entry.value(QLatin1String(key));
        if (value.isString())
            field = value.toString();
    };
    const auto flag = [&entry](const char *key, bool &field) {
        const QJsonValue value = entry.value(QLatin1String(key));
        if (value.isBool())
            field = value.toBool();
    };
    text("name", m_name);
    text("stream_id", m_streamId);
    flag("showVideo", m_showVideo);
    flag("showVolume", m_showVolume);
    text("volume", m_audioState);
    text("deviceType", m_deviceType);
    if (m_name.isEmpty())
        m_name = QStringLiteral("Default Camera") + QString::number(m_position);
    QMutexLocker lock(&m_mutex);
    m_ntpState = QStringLiteral("unsync");
}
