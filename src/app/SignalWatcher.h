// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread, so a service
// manager or Ctrl+C ends the event loop cleanly and settings and recordings are closed.
// The C handler only writes one byte into a pipe (async-signal-safe); a socket notifier
// reads it on the main thread.
//
// Thread: create and use on the main thread; one object per process. No locks.
#pragma once

#include <QObject>

class QSocketNotifier;

class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    bool isActive() const { return m_notifier != nullptr; }

signals:
    // The number of the signal that arrived (SIGTERM, SIGINT or SIGHUP).
    void terminationRequested(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};
