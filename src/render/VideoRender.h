// The QML item of one window of the grid ("Renderer" in module "SceneGraphRendering" 1.0):
// shows one source at one bandwidth through the source's shared MediaConnection, reports its
// loading state, resolution, aspect ratio and audio levels, and hands the latest frame to its
// OpenGLRenderNode.
//
// The item registers itself (its address) as a video user of the connection and, when its
// audio is enabled, as an audio user. An update tick (20 ms at first, then the source's frame
// interval) pulls the latest frame. Switching the source keeps showing the old connection
// until the new one delivers a frame with data or 1000 ms pass, so a tile never goes black.
//
// Threads: everything runs on the GUI thread except updatePaintNode, which runs on the
// scene-graph render thread while the GUI thread is blocked. m_lock (recursive: connecting
// and dropping call back into operations that take it again) guards every field below it;
// the frame crosses to the render thread under the node's own frame lock.
#pragma once

#include "media/MediaConnection.h"

#include <QQuickItem>
#include <QRecursiveMutex>
#include <QString>
#include <array>
#include <functional>

class OpenGLRenderNode;
class QTimer;

class VideoRender : public QQuickItem
{
    Q_OBJECT
public:
    static constexpr int kInitialIntervalMs = 20;
    static constexpr int kSwitchTimeoutMs = 1000; // longest wait for the new source's frame
    static constexpr int kPlayTicks = 30;         // frame-less ticks before "loading" again
    // A tick later than this after the connection's capture moves the timer's phase to just
    // after the capture, so a frame does not wait up to one more interval here.
    static constexpr int kPhaseSlackMs = 3;
    static constexpr int kLevelChannels = MediaConnection::kMaxChannels;

    // Where the item gets a source's shared connection; defaults to the source table.
    using ConnectionLookup = std::function<MediaConnectionPtr(const QString &sourceName)>;
    static void setConnectionLookup(ConnectionLookup lookup);

    explicit VideoRender(QQuickItem *parent = nullptr);
    ~VideoRender() override;

    // 1 for "true", "TRUE", "high" and "HIGH"; 2 for any other non-empty text; `current`
    // for an empty text.
    static int parseBandwidth(const QString &text, int current);

    Q_INVOKABLE void setAspect(float aspect);
    Q_INVOKABLE double getVolume(int channel);
    Q_INVOKABLE void applyNtp(QString server);
    Q_INVOKABLE bool changeSource(QString sourceName, QString bwText);
    Q_INVOKABLE void changeBandWidth(QString bw);
    Q_INVOKABLE void setAudioEnable(bool enable);
    Q_INVOKABLE void startLiving();
    Q_INVOKABLE void stopLiving();
    Q_INVOKABLE void stopPlay();
    Q_INVOKABLE void startPlay();
    Q_INVOKABLE void destroyConnection();

    // Read-only state for QML bindings and tests.
    Q_INVOKABLE float aspect();
    Q_INVOKABLE int bandwidth();
    Q_INVOKABLE QString source();
    Q_INVOKABLE int xres();
    Q_INVOKABLE int yres();
    Q_INVOKABLE bool living();
    Q_INVOKABLE int intervalMs();
    Q_INVOKABLE bool switching();
    // The connections shown now and being switched to (for tests and diagnostics).
    MediaConnectionPtr connection();
    MediaConnectionPtr nextConnection();

signals:
    void aspectChanged();
    void notifyLoading(QString state, int progress);
    void resolutionChanged(int xres, int yres);

public slots:
    void updateVideo();
    void updateAudio();

protected:
    QSGNode *updatePaintNode(QSGNode *oldNode, UpdatePaintNodeData *data) override;

private:
    void applyBandwidth(int bw);
    bool connectLocked();
    void dropLocked(MediaConnectionPtr &connection);
    void pullFrameLocked();
    MediaConnectionPtr lookUp(const QString &source);

    QRecursiveMutex m_lock;
    bool m_living = false;
    QString m_source;
    int m_bandwidth = MediaConnection::Low;
    MediaConnectionPtr m_connection;
    MediaConnectionPtr m_nextConnection;
    int m_progress = 0;
    qint64 m_switchStartMs = 0;
    QTimer *m_updateTimer = nullptr;
    int m_intervalMs = kInitialIntervalMs;
    int m_wantedIntervalMs = kInitialIntervalMs;
    bool m_rephased = false; // the running tick was shortened to align; restore the interval
    int m_xres = 0;
    int m_yres = 0;
    float m_aspect = 0.f;
    std::array<double, kLevelChannels> m_levels;
    int m_previousBandwidth = 0;              // 0: no change pending
    OpenGLRenderNode *m_renderNode = nullptr; // owned by the scene graph; used in sync only
    bool m_destroying = false;
    bool m_audioEnabled = false;
    QString m_ntpServer;
    // Latest frame for the node. It crosses in updatePaintNode (GUI thread blocked), so the
    // item never touches a node the scene graph may have deleted.
    VideoFramePtr m_nodeFrame;
};
