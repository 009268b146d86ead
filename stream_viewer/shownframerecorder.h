#pragma once

#include "stagetimeline.h" // readCounterStrip()

#include <QFile>
#include <QImage>
#include <QObject>
#include <QString>
#include <QTextStream>
#include <QTimer>

#include <optional>

class GLStreamRenderer;
struct ViewerOptions;

// What the viewer does with each frame it shows, beyond showing it: writes it to the --save
// folder, logs when it reached the screen (--timing-log), and quits after --frames frames.
class ShownFrameRecorder : public QObject
{
    Q_OBJECT
public:
    explicit ShownFrameRecorder(const ViewerOptions &options, QObject *parent = nullptr);

    // Opens the timing log; false with `error` set when it cannot be written.
    [[nodiscard]] bool open(QString &error);
    // Follows the frames that `renderer` shows from its image source.
    void attach(GLStreamRenderer *renderer);


Q_SIGNALS:
    // Every frame asked for by --frames has been shown (and painted, or given up on).
    void finished();

private:
    void onImageShown(const QImage &image);
    void onFrameSwapped();
    void finish();

    QString m_saveDir;
    int m_frames = 0;
    QString m_timingPath;
    QFile m_timingFile;
    QTextStream m_timing;
    int m_shown = 0;
    std::optional<quint32> m_pendingCounter; // counter of the frame awaiting its first paint
    enum class State { Recording, Finishing, Done } m_state = State::Recording;
    QTimer m_finishTimer;
};
