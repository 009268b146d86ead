#pragma once

#include "framehistory.h"
#include "soundhistory.h"
#include "videoencoder.h"

#include <QString>

#include <atomic>
#include <string>
#include <vector>

// What an export wrote.
struct ExportReport
{
    qint64 frames = -1;        // frames in the file; -1 when it failed or was cancelled
    qint64 durationMs = 0;     // from the first frame in the file to the end of its last
    int firstWritten = -1;     // history indices of the first and last frame in the file
    int lastWritten = -1;
    std::vector<int> missing;  // history indices of the range that are not in the file
    std::string missingWhy;    // why they are missing (empty when none are)
    std::string error;         // why nothing was written
    bool cancelled = false;
};

// An export of the history's frames first..last (inclusive, either order) as H.264 in Matroska,
// each frame at its recorded time (pauses cut), with the sound of the range.
//
// Made on the history's thread (the GUI thread), which takes what the file needs from the history
// there; write() then runs on any one thread, while the history lives and the GUI thread goes on
// appending frames. A frame the history did not keep (its file was full) or cannot read back is
// left out, and the report names it.
class VideoExport
{
public:
    VideoExport(const FrameHistory &history, int first, int last, const VideoSettings &settings,
                const SoundHistory *sound = nullptr);

    [[nodiscard]] int first() const { return m_frames.first(); }
    [[nodiscard]] int last() const { return m_frames.first() + m_frames.size() - 1; }
    [[nodiscard]] int frameCount() const { return m_frames.size(); }

    // Writes the file. It is made beside `fileName` under a temporary name and takes that name only
    // once complete: a failed or cancelled export leaves no file (and an earlier file of that name
    // as it was). `done` counts the frames of the range handled so far (for progress, read from
    // any thread); `cancel` is looked at before each frame.
    ExportReport write(const QString &fileName, std::atomic<int> *done = nullptr,
                       const std::atomic<bool> *cancel = nullptr) const;

private:
    VideoSettings m_settings;
    FrameHistory::Range m_frames;
    std::string m_notKeptWhy;
    SoundHistory::Range m_sound;
    qint64 m_startMs = 0; // the file's time 0: the first kept frame's recorded time
};

// "frames 5 to 9, 12 and 20 to 31" (numbered from 1), at most a few spans then "and N more".
[[nodiscard]] std::string frameSpansText(const std::vector<int> &indices);

// Writes the history's frames first..last (either order) to `fileName` on this thread (a
// VideoExport made and written at once). Returns the number of frames written, or -1 with
// `error` set.
[[nodiscard]] qint64 exportVideo(const FrameHistory &history, int first, int last, const QString &fileName,
                                 const VideoSettings &settings, std::string &error,
                                 const SoundHistory *sound = nullptr);
