#include "clickwatcher.h"

#include "frameconsole.h"
#include "monotonicclock.h"

#include <QImage>
#include <QSocketNotifier>

#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <cstdlib>

struct ClickWatcher::State
{
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    std::uint8_t opcode = 0; // the input extension's, on its generic events

    ~State()
    {
        if (connection)
            xcb_disconnect(connection);
    }
};

namespace {

void unavailable(const QString &why)
{
    FrameConsole::instance().report(
        StageEvent::failed(QStringLiteral("Clicks are not shown: %1").arg(why)));
}

} // namespace

ClickWatcher::ClickWatcher(QObject *parent)
    : QObject(parent)
{
    auto state = std::make_unique<State>();
    int screenNumber = 0;
    state->connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(state->connection)) {
        unavailable(QStringLiteral("the X display could not be opened"));
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(state->connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    state->root = screens.data->root;

    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(state->connection, &xcb_input_id);
    if (!extension || !extension->present) {
        unavailable(QStringLiteral("the X server has no input extension (XInputExtension)"));
        return;
    }
    state->opcode = extension->major_opcode;
    // Raw events on the root window need version 2.1 or later, announced first.
    xcb_input_xi_query_version_reply_t *version = xcb_input_xi_query_version_reply(
        state->connection, xcb_input_xi_query_version(state->connection, 2, 2), nullptr);
    const bool recent = version && (version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 1));
    std::free(version);
    if (!recent) {
        unavailable(QStringLiteral("the X server's input extension is older than 2.1"));
        return;
    }
    struct
    {
        xcb_input_event_mask_t header;
        std::uint32_t mask;
    } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
    xcb_void_cookie_t cookie = xcb_input_xi_select_events_checked(state->connection, state->root, 1, &selection.header);
    if (xcb_generic_error_t *error = xcb_request_check(state->connection, cookie)) {
        unavailable(QStringLiteral("the X server refused to report button presses (error %1)").arg(error->error_code));
        std::free(error);
        return;
    }
    m_state = std::move(state);
    m_notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(m_state->connection), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &ClickWatcher::readEvents);
}

ClickWatcher::~ClickWatcher() = default;

void ClickWatcher::readEvents()
{
    if (!m_state)
        return;
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_state->connection)) {
        const auto *generic = reinterpret_cast<const xcb_ge_generic_event_t *>(event);
        if ((event->response_type & 0x7f) == XCB_GE_GENERIC && generic->extension == m_state->opcode
            && generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS) {
            const auto *press = reinterpret_cast<const xcb_input_raw_button_press_event_t *>(event);
            Click click;
            click.button = int(press->detail);
            click.timeMs = monotonicMs();
            xcb_query_pointer_reply_t *pointer =
                xcb_query_pointer_reply(m_state->connection, xcb_query_pointer(m_state->connection, m_state->root), nullptr);
            if (pointer && isShownClick(click.button)) {
                click.position = QPoint(pointer->root_x, pointer->root_y);
                m_clicks.push_back(click);
                Q_EMIT clicked(click);
            }
            std::free(pointer);
        }
        std::free(event);
    }
    // Presses while nothing is recorded are let go as they end.
    const qint64 now = monotonicMs();
    while (!m_clicks.empty() && now - m_clicks.front().timeMs >= clickRingMs)
        m_clicks.pop_front();
    if (xcb_connection_has_error(m_state->connection)) {
        m_notifier.reset();
        m_state.reset();
        unavailable(QStringLiteral("the connection to the X server was lost"));
    }
}

void ClickWatcher::drawInto(QImage &frame, const QPoint &frameOrigin, qint64 nowMs)
{
    readEvents();
    while (!m_clicks.empty() && nowMs - m_clicks.front().timeMs >= clickRingMs)
        m_clicks.pop_front();
    if (!m_clicks.empty())
        drawClickRings(frame, frameOrigin, m_clicks, nowMs);
}
