#pragma once

#include "capturedframe.h"

struct ConfigStructure;

// Where the recorder hands what it grabs: the capture session, which shows, keeps and sends each
// frame. Called on the GUI thread.
class FrameSink
{
public:
    virtual ~FrameSink() = default;

    // A run starts with `config` (valid until endRun()).
    virtual void startRun(const ConfigStructure *config) = 0;
    // Whether a frame can be taken now without any stage queueing past its bound; the recorder
    // skips the tick's grab otherwise.
    [[nodiscard]] virtual bool hasRoom() const = 0;
    virtual void takeFrame(const CapturedFrame &frame) = 0;
    // The run ends: returns when every stage has taken its frames (files written).
    virtual void endRun() = 0;
};
