// What the record task thread drives: the recording side of the window model. TaskObject
// calls these on its own thread, one at a time; the implementation guards what it shares
// with other threads.
#pragma once

class RecordingModel
{
public:
    virtual ~RecordingModel() = default;
    // Prepares one recorder item per window that shows a source (nothing is written).
    virtual void readyForRecord() = 0;
    // Starts the prepared windows.
    virtual void startRecording() = 0;
    // Stops every recording and returns once the files are closed; the items are dropped.
    virtual void stopRecording() = 0;
    // Ends recording for good (window closing, disarming).
    virtual void destroyRecord() = 0;
};
