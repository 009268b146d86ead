#pragma once

#include <QImage>
#include <QObject>
#include <QString>

#include <memory>

// One video stream from PipeWire, received on PipeWire's own thread loop. Each buffer that
// arrives is copied out into a fresh Format_RGB32 image, which then replaces the newest frame
// under a mutex; a published image is never written again, so the GUI thread may keep and
// read it while later frames arrive. Frames come only when the picture changes: between them
// the newest frame stays what it was.
class PipeWireStream : public QObject
{
    Q_OBJECT
public:
    explicit PipeWireStream(QObject *parent = nullptr);
    ~PipeWireStream() override;

    // Connects to the PipeWire remote behind `fd` (taken over, closed by the stream) and to
    // node `nodeId` on it. False with error() set when PipeWire refuses.
    bool open(int fd, quint32 nodeId);
    // Disconnects; no signal follows. Also done by the destructor.
    void close();

    // The newest frame, a null image before the first one. Any thread.
    [[nodiscard]] QImage newestFrame() const;
    // Frames received so far. Any thread.
    [[nodiscard]] quint64 framesReceived() const;
    [[nodiscard]] QString error() const { return m_error; }

Q_SIGNALS:
    // Once per stream, on the receiving object's thread: the first frame is there.
    void firstFrame();
    // Once per stream: it ended (the producer went away, PipeWire failed); `why` says how.
    void ended(const QString &why);

private:
    struct Private;
    std::unique_ptr<Private> d;
    QString m_error;
};
