// Applies record-state changes to the recorder back end, on its own thread so that a
// start or a stop (which waits for files to close) never holds up the main thread.
//
// Thread: lives on the record task thread (moved there by the control service); requests
// arrive as queued calls of doRecordStatus, so they are applied in the order they came.
#pragma once

#include <QObject>

class RecordingModel;

class TaskObject : public QObject
{
    Q_OBJECT
public:
    // `model` outlives this object (the control service ends the thread first).
    explicit TaskObject(RecordingModel *model, QObject *parent = nullptr);

private slots:
    // (check passed, stand-by, recording): stand-by and recording start the prepared
    // windows when the check passed; stand-by alone stops and prepares again; no stand-by
    // ends recording.
    void doRecordStatus(bool checked, bool standBy, bool recording);

private:
    RecordingModel *m_model;
};
