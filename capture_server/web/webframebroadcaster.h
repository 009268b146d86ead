#pragma once

#include "capturedframe.h"
#include "imagehandler.h"
#include "jpegbands.h"
#include "orderedworker.h"
#include "webframecomposer.h"

#include <QPointer>

#include <memory>
#include <vector>

class WebViewServer;

// Feeds the web view's browsers with the captured frames, whatever handler the capture has: the
// recorder hands it every frame beside the handler. For each ready browser it makes, on its own
// worker, what the browser does not show yet of the frame (WebFrameComposer) and sends it through
// the web view server. Frames come only while some browser is ready and the worker has room;
// the others are skipped, so it never slows the capture down. While no capture runs, a browser
// that shows something lossily or out of date gets the last frame exactly.
class WebFrameBroadcaster : public ImageHandler
{
    Q_OBJECT
public:
    explicit WebFrameBroadcaster(WebViewServer *webView, QObject *parent = nullptr);
    ~WebFrameBroadcaster() override;

    void startHandling(const ConfigStructure *config) override;
    void handleFrame(const CapturedFrame &frame) override;
    // The same with the shared coder's coding of the frame (JpegBandsCoder): its JPEG pieces are
    // joined from the bands coded there, the others coded here.
    void handleCodedFrame(const CapturedFrame &frame, std::shared_ptr<const JpegBands> coded);
    void stopHandling() override;
    // Whether its pieces may be JPEG at all (not --web-lossless).
    [[nodiscard]] bool sendsJpeg() const;
    // Whether any browser is connected now (ready for a frame or not).
    [[nodiscard]] bool isWatched() const;

    // Where the JPEG pieces come from otherwise (by default they are encoded on the worker): a
    // producer that codes the changed bands anyway can hand them in. Called on the worker,
    // possibly from several threads at once. Set it before the first frame.
    void setLossyBandSource(WebFrameComposer::LossyCoder source);
    // Waits for every frame still being made and sends it.
    void finishPendingFrames();

    struct EncoderState; // what the worker keeps between frames

private:
    struct Composed;
    void post(const CapturedFrame &frame, bool refreshOnly, std::shared_ptr<const JpegBands> coded);
    void deliver(const Composed &composed);
    // While no capture runs: the last frame, exactly, to the browsers that lack it.
    void refreshBrowsers();

    QPointer<WebViewServer> m_webView;
    CapturedFrame m_lastFrame; // the newest frame handed in, for the browsers after a stop
    bool m_capturing = false;
    WebFrameComposer::LossyCoder m_lossySource;
    std::shared_ptr<EncoderState> m_state;
    OrderedWorker m_worker{3}; // last member: its jobs end before the rest goes
};
