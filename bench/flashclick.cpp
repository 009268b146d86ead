// The sound benchmark's scene: once a period a square on the X root window turns white and a
// click is played into the default output at the same instant, on CLOCK_MONOTONIC.
//
// The flash is put at the event's time (an absolute sleep, then a round trip, so the X server
// has drawn it when the time is logged); the click is placed in the playback stream at the
// sample that the sound server will present at that time, as the stream's own timing says
// (the graph's time at the last cycle, plus the delay to the device and what is queued).
//
//   --x, --y, --size   where the square is (default 1400, 400, 200)
//   --period-ms N      time between events (default 1000)
//   --sound click      a 20 ms 2 kHz burst at each event (default)
//   --sound tone       a steady 1 kHz tone at half scale instead, for continuity; no clicks
//   --rate N           the playback stream's rate (default 48000)
//   --log FILE         per event, in monotonic nanoseconds: "flash K SENT SHOWN" (the square
//                      was drawn between the two), "click K NS" (when the click was meant to
//                      come out) and, with clicks, "heard K NS DELAY FRAMES" (when it came out of
//                      the output's monitor, by the sound server's timing); with the tone,
//                      "dropout NS" for each millisecond the monitor gave less than half of it
//
// Prints "flashclick ready" once the stream plays; runs until SIGTERM or SIGINT.
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr int Channels = 2;
constexpr double Pi = 3.14159265358979323846;

std::atomic<bool> stopRequested{false};

int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Sleeps until `ns`, or until a stop is asked for when `stoppable`.
void sleepUntil(int64_t ns, bool stoppable = true)
{
    timespec until{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR && !(stoppable && stopRequested)) {
    }
}

struct Player {
    pw_thread_loop *loop = nullptr;
    pw_stream *stream = nullptr;
    pw_stream *listener = nullptr; // the monitor's, on this loop too
    int rate = 48000;
    bool tone = false;
    std::atomic<int64_t> firstEventNs{0}; // 0 until the events are scheduled
    int64_t periodNs = 1000000000;
    std::atomic<bool> playing{false};
    FILE *log = nullptr;
    int64_t nextClick = 0;  // index of the next click to place
    int64_t clickSample = -1; // samples of the current click played so far, -1 when none
    double tonePhase = 0;

    static void onProcess(void *data)
    {
        auto *self = static_cast<Player *>(data);
        pw_buffer *buffer = pw_stream_dequeue_buffer(self->stream);
        if (buffer == nullptr)
            return;
        spa_data &out = buffer->buffer->datas[0];
        auto *samples = static_cast<float *>(out.data);
        if (samples == nullptr) {
            pw_stream_queue_buffer(self->stream, buffer);
            return;
        }
        const uint32_t stride = sizeof(float) * Channels;
        uint32_t frames = out.maxsize / stride;
        if (buffer->requested > 0 && buffer->requested < frames)
            frames = uint32_t(buffer->requested);

        // When the first sample written now will be heard.
        pw_time time{};
        int64_t firstNs = 0;
        if (pw_stream_get_time_n(self->stream, &time, sizeof time) == 0 && time.now > 0 && time.rate.denom > 0) {
            const int64_t aheadTicks = time.delay;
            firstNs = time.now + aheadTicks * 1000000000LL * time.rate.num / time.rate.denom
                      + int64_t(time.queued / stride + time.buffered) * 1000000000LL / self->rate;
            self->playing = true;
        }
        const int64_t first = self->firstEventNs;
        for (uint32_t i = 0; i < frames; ++i) {
            float value = 0;
            if (self->tone) {
                value = float(0.5 * std::sin(self->tonePhase));
                self->tonePhase = std::fmod(self->tonePhase + 2 * Pi * 1000.0 / self->rate, 2 * Pi);
            } else if (first != 0 && firstNs != 0) {
                const int64_t sampleNs = firstNs + int64_t(i) * 1000000000LL / self->rate;
                const int64_t dueNs = first + self->nextClick * self->periodNs;
                if (self->clickSample < 0 && sampleNs >= dueNs) {
                    if (self->log != nullptr)
                        std::fprintf(self->log, "click %lld %lld\n", static_cast<long long>(self->nextClick),
                                     static_cast<long long>(sampleNs));
                    ++self->nextClick;
                    self->clickSample = 0;
                }
                if (self->clickSample >= 0) {
                    value = float(0.8 * std::sin(2 * Pi * 2000.0 * double(self->clickSample) / self->rate));
                    if (++self->clickSample >= self->rate / 50)
                        self->clickSample = -1;
                }
            }
            samples[i * Channels] = value;
            samples[i * Channels + 1] = value;
        }
        out.chunk->offset = 0;
        out.chunk->stride = int32_t(stride);
        out.chunk->size = frames * stride;
        pw_stream_queue_buffer(self->stream, buffer);
    }

    bool start()
    {
        loop = pw_thread_loop_new("flashclick", nullptr);
        if (loop == nullptr)
            return false;
        pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                 PW_KEY_MEDIA_ROLE, "Music", nullptr);
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = &Player::onProcess;
            return e;
        }();
        stream = pw_stream_new_simple(pw_thread_loop_get_loop(loop), "flashclick", props, &events, this);
        if (stream == nullptr)
            return false;
        uint8_t podBuffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = uint32_t(rate);
        info.channels = Channels;
        const spa_pod *params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        if (pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                              pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                              | PW_STREAM_FLAG_RT_PROCESS),
                              params, 1)
            < 0)
            return false;
        return pw_thread_loop_start(loop) == 0;
    }

    void stop()
    {
        if (loop != nullptr)
            pw_thread_loop_stop(loop);
        if (listener != nullptr)
            pw_stream_destroy(listener);
        if (stream != nullptr)
            pw_stream_destroy(stream);
        if (loop != nullptr)
            pw_thread_loop_destroy(loop);
    }
};

// Listens to the output's monitor and logs when each click came out of it, by the same reckoning
// (the cycle's time less the delay from the device), so that the bench can tell the scene's own
// error from a capturer's.
struct Listener {
    pw_thread_loop *loop = nullptr;
    pw_stream *stream = nullptr;
    int rate = 48000;
    FILE *log = nullptr;
    bool tone = false;
    int64_t heard = 0;
    int64_t quietFrames = 0;
    bool toneHeard = false;

    static void onProcess(void *data)
    {
        auto *self = static_cast<Listener *>(data);
        pw_buffer *buffer = pw_stream_dequeue_buffer(self->stream);
        if (buffer == nullptr)
            return;
        const spa_data &in = buffer->buffer->datas[0];
        pw_time time{};
        if (in.data != nullptr && in.chunk != nullptr && pw_stream_get_time_n(self->stream, &time, sizeof time) == 0
            && time.rate.denom > 0) {
            const auto *samples = reinterpret_cast<const float *>(static_cast<const uint8_t *>(in.data) + in.chunk->offset);
            const uint32_t frames = in.chunk->size / (sizeof(float) * Channels);
            const int64_t startNs = time.now - time.delay * 1000000000LL * time.rate.num / time.rate.denom;
            // With the tone: every millisecond the output's monitor gave under half the tone's
            // level (the scene's own underrun, which any capturer records).
            const uint32_t block = uint32_t(self->rate / 1000);
            for (uint32_t b = 0; self->tone && b + block <= frames; b += block) {
                float peak = 0;
                for (uint32_t i = b; i < b + block; ++i)
                    peak = std::max(peak, std::fabs(samples[i * Channels]));
                if (peak >= 0.25f)
                    self->toneHeard = true;
                else if (self->toneHeard && self->log != nullptr)
                    std::fprintf(self->log, "dropout %lld\n",
                                 static_cast<long long>(startNs + int64_t(b) * 1000000000LL / self->rate));
            }
            for (uint32_t i = 0; !self->tone && i < frames; ++i) {
                if (std::fabs(samples[i * Channels]) > 0.1f) {
                    if (self->quietFrames > self->rate / 4 && self->log != nullptr)
                        std::fprintf(self->log, "heard %lld %lld %lld %lld\n", static_cast<long long>(self->heard++),
                                     static_cast<long long>(startNs + int64_t(i) * 1000000000LL / self->rate),
                                     static_cast<long long>(time.delay), static_cast<long long>(frames));
                    self->quietFrames = 0;
                } else {
                    ++self->quietFrames;
                }
            }
        }
        pw_stream_queue_buffer(self->stream, buffer);
    }

    bool start(pw_thread_loop *sharedLoop)
    {
        loop = sharedLoop;
        pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_STREAM_CAPTURE_SINK, "true", nullptr);
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = &Listener::onProcess;
            return e;
        }();
        pw_thread_loop_lock(loop);
        stream = pw_stream_new_simple(pw_thread_loop_get_loop(loop), "flashclick-listener", props, &events, this);
        uint8_t podBuffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = uint32_t(rate);
        info.channels = Channels;
        const spa_pod *params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        const bool ok = stream != nullptr
                        && pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                                             pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                             | PW_STREAM_FLAG_RT_PROCESS),
                                             params, 1)
                               >= 0;
        pw_thread_loop_unlock(loop);
        return ok;
    }
};

struct Square {
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    xcb_gcontext_t black = 0;
    xcb_gcontext_t white = 0;
    xcb_rectangle_t rect{};

    bool open(int x, int y, int size)
    {
        int screenNumber = 0;
        connection = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(connection))
            return false;
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
        for (int i = 0; i < screenNumber; ++i)
            xcb_screen_next(&it);
        root = it.data->root;
        black = xcb_generate_id(connection);
        const uint32_t blackPixel = it.data->black_pixel;
        const uint32_t whitePixel = it.data->white_pixel;
        xcb_create_gc(connection, black, root, XCB_GC_FOREGROUND, &blackPixel);
        white = xcb_generate_id(connection);
        xcb_create_gc(connection, white, root, XCB_GC_FOREGROUND, &whitePixel);
        rect = {int16_t(x), int16_t(y), uint16_t(size), uint16_t(size)};
        show(false);
        return true;
    }

    // Draws the square and returns once the X server has done it.
    void show(bool lit)
    {
        xcb_poly_fill_rectangle(connection, root, lit ? white : black, 1, &rect);
        free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }
};

int intOption(int argc, char **argv, const char *name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    }
    return fallback;
}

const char *textOption(int argc, char **argv, const char *name, const char *fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    }
    return fallback;
}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGTERM, [](int) { stopRequested = true; });
    std::signal(SIGINT, [](int) { stopRequested = true; });
    const std::string sound = textOption(argc, argv, "--sound", "click");
    const char *logPath = textOption(argc, argv, "--log", nullptr);
    FILE *log = logPath != nullptr ? std::fopen(logPath, "w") : nullptr;
    if (logPath != nullptr && log == nullptr) {
        std::fprintf(stderr, "flashclick: cannot write %s\n", logPath);
        return 1;
    }
    if (log != nullptr)
        setvbuf(log, nullptr, _IOLBF, 0);

    Square square;
    if (!square.open(intOption(argc, argv, "--x", 1400), intOption(argc, argv, "--y", 400),
                     intOption(argc, argv, "--size", 200))) {
        std::fprintf(stderr, "flashclick: no X display\n");
        return 1;
    }
    pw_init(&argc, &argv);
    Player player;
    player.rate = intOption(argc, argv, "--rate", 48000);
    player.tone = sound == "tone";
    player.periodNs = int64_t(intOption(argc, argv, "--period-ms", 1000)) * 1000000;
    player.log = log;
    if (!player.start()) {
        std::fprintf(stderr, "flashclick: cannot play into the sound server\n");
        return 1;
    }
    Listener listener;
    listener.log = log;
    listener.tone = player.tone;
    if (log != nullptr && !listener.start(player.loop)) {
        std::fprintf(stderr, "flashclick: cannot listen to the output\n");
        player.stop();
        return 1;
    }
    player.listener = listener.stream;
    for (int i = 0; i < 500 && !player.playing && !stopRequested; ++i)
        sleepUntil(monotonicNs() + 10000000);
    if (!player.playing) {
        std::fprintf(stderr, "flashclick: the stream did not start playing\n");
        player.stop();
        return 1;
    }
    // The events start a second from now, well after the stream has settled.
    const int64_t first = monotonicNs() + 1000000000;
    if (!player.tone)
        player.firstEventNs = first;
    std::printf("flashclick ready\n");
    std::fflush(stdout);

    for (int64_t k = 0; !stopRequested; ++k) {
        const int64_t due = first + k * player.periodNs;
        sleepUntil(due);
        if (stopRequested)
            break;
        const int64_t sent = monotonicNs();
        square.show(true);
        const int64_t shown = monotonicNs();
        if (log != nullptr)
            std::fprintf(log, "flash %lld %lld %lld\n", static_cast<long long>(k), static_cast<long long>(sent),
                         static_cast<long long>(shown));
        // An event ends whole: the square goes dark and its click is heard before a stop.
        sleepUntil(due + player.periodNs * 3 / 10, false);
        square.show(false);
    }
    player.stop();
    xcb_disconnect(square.connection);
    pw_deinit();
    if (log != nullptr)
        std::fclose(log);
    return 0;
}
