// State of one output window (tile): its source, display name, display flags, audio
// state, last audio levels and the source's clock-sync state and bit rate.
//
// Thread: owned by WindowObject on the main thread. Every field is written on the main
// thread; m_mutex additionally guards the clock-sync fields (NTP state, bit rate,
// vendor) against a status build running at the same time (statusJson takes it too).
#pragma once

#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QString>
#include <array>
#include <atomic>

class VideoObject : public QObject
{
    Q_OBJECT
public:
    static constexpr int LevelChannels = 16;
    static constexpr int SilentLevel = -200; // level of a channel without signal

    // A new window is named "Camera-<position>".
    explicit VideoObject(int position, QObject *parent = nullptr);

    int position() const { return m_position; }

    // Source name; clears the clock-sync state and vendor and switches audio "off".
    void setSource(const QString &name);
    // Back to a window without source: bit rate 0, "unsync", no vendor, audio "off", no
    // device type, video and meters shown. The name is kept.
    void resetWindow();
    // An empty name gives "默认镜头号<position>".
    void setName(const QString &name);
    void setShow(bool showVideo, bool showVolume);
    // Channel taken modulo 16; a negative channel writes channel 0.
    void setLevel(int channel, int value);
    // Bit rate is kept when `bitRate` is negative.
    void setNtpState(const QString &state, int bitRate, const QString &vendor);
    void setAudioState(const QString &state);
    void setDeviceType(const QString &type);
    void setVendor(const QString &vendor);
    // Video state as a tile shows it: "idle", "loading", "play" or "failed" (the window
    // monitor keeps it current, with or without tiles).
    void setState(const QString &state);

    QString streamId() const { return m_streamId; }
    QString address() const { return m_address; }
    QString name() const { return m_name; }
    bool showVideo() const { return m_showVideo; }
    bool showVolume() const { return m_showVolume; }
    QString vendor() const;
    int bitRate() const;
    QString ntpState() const;
    int level(int channel) const;
    QString audioState() const { return m_audioState; }
    QString deviceType() const { return m_deviceType; }
    QString state() const { return m_state; }

    // Grows with every change of the window's state (any thread may read it).
    quint64 revision() const { return m_revision.load(std::memory_order_relaxed); }

    // Fallback name counter used by the recording side when the name is empty: returns
    // the current value and advances it.
    int takeFallbackNameNumber() { return m_fallbackNameCounter++; }

    // Window status object (id, name, stream_id, stream_name, ip, bit_rate, ntp_state,
    // volume_1, volume_2, showAll, showVideo, showVolume, isVarimont, volume, state).
    QJsonObject statusJson() const;
    // Persisted entry (id, name, stream_id, showVideo, showVolume, volume, deviceType).
    QJsonObject storeJson() const;
    // Loads a persisted entry: present keys replace fields; an empty name then becomes
    // "Default Camera<position>"; the clock-sync state becomes "unsync". "id" is ignored.
    void loadJson(const QJsonObject &entry);

private:
    QString m_streamId;
    QString m_address; // never set: reported as "ip"
    QString m_name;
    int m_fallbackNameCounter = 0;
    bool m_showVideo = true;
    bool m_showVolume = true;
    QString m_vendor;             // guarded by m_mutex
    int m_bitRate = 0;            // guarded by m_mutex
    QString m_ntpState{"unsync"}; // guarded by m_mutex
    const int m_position;
    std::array<int, LevelChannels> m_levels;
    QString m_audioState{"off"};
    mutable QMutex m_mutex;
    QString m_deviceType;
    QString m_state{"idle"};
    std::atomic<quint64> m_revision{0};
};
