#include "webframebroadcaster.h"

#include "bandedjpeg.h"
#include "bandedpng.h"
#include "stagetimeline.h"
#include "webviewserver.h"

#include <QImage>
#include <QPixmap>

#include <algorithm>
#include <utility>

namespace {

// JPEG pieces from the shared coder's coding of the frame, joined without coding again; bands it
// did not code whole are coded by `fallback` (or here).
WebFrameComposer::LossyCoder sharedCoder(std::shared_ptr<const JpegBands> coded, WebFrameComposer::LossyCoder fallback)
{
    return [coded = std::move(coded), fallback = std::move(fallback)](const QImage &frame, int firstBand, int bandCount) {
        if (coded->size == frame.size() && coded->quality == WebFrameComposer::LossyQuality) {
            QByteArray joined = joinJpegBands(*coded, firstBand, bandCount);
            if (!joined.isEmpty())
                return joined;
        }
        return fallback ? fallback(frame, firstBand, bandCount) : WebFrameComposer::encodeLossy(frame, firstBand, bandCount);
    };
}

} // namespace

struct WebFrameBroadcaster::EncoderState
{
    BandedPngEncoder png; // each band's compressed bytes, brought up to date as browsers need them
    LastFrame last;       // the frame composed last
    std::unique_ptr<WebFrameComposer> composer;
};

// What the worker hands back for one frame.
struct WebFrameBroadcaster::Composed
{
    std::vector<WebFrameComposer::Recipient> browsers;
    std::vector<WebFrameComposer::Message> messages;
};

WebFrameBroadcaster::WebFrameBroadcaster(WebViewServer *webView, QObject *parent)
    : ImageHandler(parent)
    , m_webView(webView)
    , m_state(std::make_shared<EncoderState>())
{
    connect(webView, &WebViewServer::browserReady, this, &WebFrameBroadcaster::refreshBrowsers);
}

WebFrameBroadcaster::~WebFrameBroadcaster() = default;

void WebFrameBroadcaster::startHandling(const ConfigStructure *)
{
    m_capturing = true;
    if (m_webView)
        m_webView->setCapturing(true);
}

void WebFrameBroadcaster::handleFrame(const CapturedFrame &frame)
{
    handleCodedFrame(frame, nullptr);
}

void WebFrameBroadcaster::handleCodedFrame(const CapturedFrame &frame, std::shared_ptr<const JpegBands> coded)
{
    m_lastFrame = frame;
    if (StageTimeline::enabled()) {
        StageTimeline::stampAt(frame.grabTimeMs * 1000, "webgrab", frame.number, readCounterStrip(frame.image).value_or(-1));
        // Why a frame goes to no browser: 1 none is ready (each waits for its page's answer), 2 the
        // worker is full.
        if (m_webView && (!m_webView->wantsFrame() || !m_worker.hasRoom()))
            StageTimeline::stamp("webskip", frame.number, m_webView->wantsFrame() ? 2 : 1);
    }
    if (m_webView && m_webView->wantsFrame() && m_worker.hasRoom())
        post(frame, false, std::move(coded));
}

void WebFrameBroadcaster::stopHandling()
{
    finishPendingFrames();
    m_capturing = false;
    refreshBrowsers();
    if (m_webView)
        m_webView->setCapturing(false);
}

bool WebFrameBroadcaster::sendsJpeg() const
{
    return m_webView && !m_webView->isLossless();
}

bool WebFrameBroadcaster::isWatched() const
{
    return m_webView && m_webView->viewerCount() > 0;
}

void WebFrameBroadcaster::setLossyBandSource(WebFrameComposer::LossyCoder source)
{
    m_lossySource = std::move(source);
}

void WebFrameBroadcaster::finishPendingFrames()
{
    m_worker.drain();
}

void WebFrameBroadcaster::refreshBrowsers()
{
    if (m_capturing || !m_webView || m_lastFrame.image.isNull() || !m_webView->wantsFrame() || !m_worker.hasRoom())
        return;
    post(m_lastFrame, true, nullptr);
}

void WebFrameBroadcaster::post(const CapturedFrame &frame, bool refreshOnly, std::shared_ptr<const JpegBands> coded)
{
    std::vector<WebFrameComposer::Recipient> browsers = m_webView->reserveReadyBrowsers();
    std::vector<quint64> connected = m_webView->browserIds();
    const bool lossless = m_webView->isLossless();
    const std::shared_ptr<EncoderState> state = m_state;
    const bool posted = m_worker.tryPost(
        [state, frame, browsers, connected = std::move(connected), lossless, refreshOnly, source = m_lossySource,
         coded = std::move(coded)] {
            Composed composed;
            composed.browsers = browsers;
            const BandMap changes = state->last.advance(frame);
            if (!state->composer)
                state->composer = std::make_unique<WebFrameComposer>(lossless);
            state->composer->setLossyCoder(coded ? sharedCoder(coded, source) : source);
            composed.messages = state->composer->compose(frame.image, changes, state->png, browsers, connected,
                                                         refreshOnly, false);
            return composed;
        },
        [this, number = frame.number](const Composed &composed) {
            if (StageTimeline::enabled()) {
                for (const WebFrameComposer::Message &message : composed.messages)
                    StageTimeline::stamp("websent", number, message.bytes.size());
            }
            deliver(composed);
        });
    if (!posted) {
        for (const WebFrameComposer::Recipient &browser : browsers)
            m_webView->release(browser.id);
    }
}

void WebFrameBroadcaster::deliver(const Composed &composed)
{
    if (!m_webView)
        return;
    for (const WebFrameComposer::Message &message : composed.messages)
        m_webView->sendTo(message.id, message.bytes);
    // Browsers that got nothing (nothing to refresh) are ready again; the others are held by
    // their frame until the page answers (another frame may be under way for them too).
    for (const WebFrameComposer::Recipient &browser : composed.browsers) {
        const bool sent = std::any_of(composed.messages.begin(), composed.messages.end(),
                                      [&](const WebFrameComposer::Message &message) { return message.id == browser.id; });
        if (!sent)
            m_webView->release(browser.id);
    }
}
