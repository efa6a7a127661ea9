#include "record/TaskObject.h"

#include "record/RecordingModel.h"

TaskObject::TaskObject(RecordingModel *model, QObject *parent) : QObject(parent), m_model(model) {}

void TaskObject::doRecordStatus(bool checked, bool standBy, bool recording)
{
    if (!m_model)
        return;
    if (standBy && recording) {
        if (checked)
            m_model->startRecording();
    } else if (standBy) {
        m_model->stopRecording();
        m_model->readyForRecord();
    } else {
        m_model->destroyRecord();
    }
}
