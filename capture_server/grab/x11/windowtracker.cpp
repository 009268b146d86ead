#include "windowtracker.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct FreeDeleter
{
    void operator()(void *pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Where a reply's error goes: freed at the end of the statement. A window gone in the meantime
// gives a null reply here, not an error report in Qt's event queue.
class DropError
{
public:
    DropError() = default;
    ~DropError() { std::free(m_error); }
    DropError(const DropError &) = delete;
    DropError &operator=(const DropError &) = delete;
    operator xcb_generic_error_t **() { return &m_error; }

private:
    xcb_generic_error_t *m_error = nullptr;
};

xcb_connection_t *connection()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootWindow(xcb_connection_t *c)
{
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

// The lookups below ask many small questions once; the tracker's per-frame question is area().
class XDisplayQueries
{
public:
    explicit XDisplayQueries(xcb_connection_t *c)
        : m_c(c)
        , m_root(rootWindow(c))
    {
        xcb_intern_atom_cookie_t *cookies = xcb_ewmh_init_atoms(c, &m_ewmh);
        m_hasEwmh = xcb_ewmh_init_atoms_replies(&m_ewmh, cookies, DropError()) != 0;
        const char name[] = "WM_STATE";
        Reply<xcb_intern_atom_reply_t> atom(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof name - 1, name), DropError()));
        m_wmState = atom ? xcb_atom_t(atom->atom) : xcb_atom_t(XCB_ATOM_NONE);
    }
    ~XDisplayQueries()
    {
        if (m_hasEwmh)
            xcb_ewmh_connection_wipe(&m_ewmh);
    }
    XDisplayQueries(const XDisplayQueries &) = delete;
    XDisplayQueries &operator=(const XDisplayQueries &) = delete;

    // Top-level windows, topmost first: the window manager's list of clients where there is
    // one, else the root window's children (without a window manager they are the clients).
    std::vector<xcb_window_t> topLevels()
    {
        if (m_hasEwmh) {
            xcb_ewmh_get_windows_reply_t list;
            if (xcb_ewmh_get_windows_reply(&m_ewmh, xcb_ewmh_get_client_list_stacking(&m_ewmh, 0), &list, DropError())) {
                // Listed bottom to top.
                std::vector<xcb_window_t> windows;
                for (uint32_t i = list.windows_len; i > 0; --i)
                    windows.push_back(list.windows[i - 1]);
                xcb_ewmh_get_windows_reply_wipe(&list);
                if (!windows.empty())
                    return windows;
            }
        }
        std::vector<xcb_window_t> windows = children(m_root);
        std::reverse(windows.begin(), windows.end());
        return windows;
    }

    // Children bottom to top, as the server stacks them.
    std::vector<xcb_window_t> children(xcb_window_t window)
    {
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(m_c, xcb_query_tree(m_c, window), DropError()));
        if (!tree)
            return {};
        const xcb_window_t *first = xcb_query_tree_children(tree.get());
        return std::vector<xcb_window_t>(first, first + xcb_query_tree_children_length(tree.get()));
    }

    // The client a window manager's frame holds: the window with WM_STATE at or below
    // `window`; the window itself when there is none (no window manager).
    xcb_window_t client(xcb_window_t window)
    {
        const std::optional<xcb_window_t> found = clientBelow(window, 3);
        return found ? *found : window;
    }

    bool isViewable(xcb_window_t window)
    {
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(m_c, xcb_get_window_attributes(m_c, window), DropError()));
        return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    // Its contents on the root window; nothing when it does not exist.
    std::optional<QRect> area(xcb_window_t window)
    {
        const auto geometryCookie = xcb_get_geometry(m_c, window);
        const auto placeCookie = xcb_translate_coordinates(m_c, window, m_root, 0, 0);
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(m_c, geometryCookie, DropError()));
        Reply<xcb_translate_coordinates_reply_t> place(xcb_translate_coordinates_reply(m_c, placeCookie, DropError()));
        if (!geometry || !place)
            return std::nullopt;
        return QRect(place->dst_x, place->dst_y, geometry->width, geometry->height);
    }

    // _NET_WM_NAME (UTF-8) where the program set it, else WM_NAME.
    QString name(xcb_window_t window)
    {
        if (m_hasEwmh) {
            xcb_ewmh_get_utf8_strings_reply_t utf8;
            if (xcb_ewmh_get_wm_name_reply(&m_ewmh, xcb_ewmh_get_wm_name(&m_ewmh, window), &utf8, DropError())) {
                const QString name = QString::fromUtf8(utf8.strings, qsizetype(utf8.strings_len));
                xcb_ewmh_get_utf8_strings_reply_wipe(&utf8);
                return name;
            }
        }
        xcb_icccm_get_text_property_reply_t text;
        if (!xcb_icccm_get_wm_name_reply(m_c, xcb_icccm_get_wm_name(m_c, window), &text, DropError()))
            return {};
        const QString name = QString::fromLocal8Bit(text.name, qsizetype(text.name_len));
        xcb_icccm_get_text_property_reply_wipe(&text);
        return name;
    }

    std::optional<FoundWindow> found(xcb_window_t window)
    {
        const std::optional<QRect> where = area(window);
        if (!where)
            return std::nullopt;
        return FoundWindow{window, name(window), *where};
    }

private:
    bool hasWmState(xcb_window_t window)
    {
        if (m_wmState == XCB_ATOM_NONE)
            return false;
        Reply<xcb_get_property_reply_t> property(xcb_get_property_reply(
            m_c, xcb_get_property(m_c, 0, window, m_wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 0), DropError()));
        return property && property->type != XCB_ATOM_NONE;
    }

    std::optional<xcb_window_t> clientBelow(xcb_window_t window, int depth)
    {
        if (hasWmState(window))
            return window;
        if (depth == 0)
            return std::nullopt;
        std::vector<xcb_window_t> below = children(window);
        for (auto it = below.rbegin(); it != below.rend(); ++it) {
            if (const std::optional<xcb_window_t> found = clientBelow(*it, depth - 1))
                return found;
        }
        return std::nullopt;
    }

    xcb_connection_t *m_c;
    xcb_window_t m_root;
    xcb_ewmh_connection_t m_ewmh{};
    bool m_hasEwmh = false;
    xcb_atom_t m_wmState = XCB_ATOM_NONE;
};

QString notOnX11()
{
    return QStringLiteral("following a window needs an X11 display");
}

} // namespace

WindowTracker::WindowTracker(const FoundWindow &window, QObject *parent)
    : QObject(parent)
    , m_window(window)
{
}

std::optional<QRect> WindowTracker::area()
{
    xcb_connection_t *c = connection();
    if (m_closed || !c)
        return std::nullopt;
    // Three questions, one round trip: the replies come in the order asked.
    const auto geometryCookie = xcb_get_geometry(c, m_window.id);
    const auto placeCookie = xcb_translate_coordinates(c, m_window.id, rootWindow(c), 0, 0);
    const auto attributesCookie = xcb_get_window_attributes(c, m_window.id);
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, DropError()));
    Reply<xcb_translate_coordinates_reply_t> place(xcb_translate_coordinates_reply(c, placeCookie, DropError()));
    Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(c, attributesCookie, DropError()));
    if (!geometry || !place || !attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
        m_closed = true;
        Q_EMIT closed();
        return std::nullopt;
    }
    m_window.area = QRect(place->dst_x, place->dst_y, geometry->width, geometry->height);
    return m_window.area;
}

bool windowFollowingAvailable()
{
    return connection() != nullptr;
}

std::optional<FoundWindow> findWindow(quint32 id, QString &error)
{
    xcb_connection_t *c = connection();
    if (!c) {
        error = notOnX11();
        return std::nullopt;
    }
    XDisplayQueries display(c);
    if (!display.area(id)) {
        error = QStringLiteral("there is no window 0x%1 on this display").arg(id, 0, 16);
        return std::nullopt;
    }
    const xcb_window_t client = display.client(id);
    if (!display.isViewable(client)) {
        error = QStringLiteral("window 0x%1 is not shown on the screen").arg(client, 0, 16);
        return std::nullopt;
    }
    return display.found(client);
}

std::optional<FoundWindow> findWindowByName(const QString &text, QString &error)
{
    xcb_connection_t *c = connection();
    if (!c) {
        error = notOnX11();
        return std::nullopt;
    }
    XDisplayQueries display(c);
    for (const xcb_window_t top : display.topLevels()) {
        const xcb_window_t client = display.client(top);
        if (display.isViewable(client) && display.name(client).contains(text)) {
            if (std::optional<FoundWindow> found = display.found(client))
                return found;
        }
    }
    error = QStringLiteral("no window on the screen has a name containing '%1'").arg(text);
    return std::nullopt;
}

std::optional<FoundWindow> windowAt(const QPoint &rootPoint, const QList<quint32> &ignored)
{
    xcb_connection_t *c = connection();
    if (!c)
        return std::nullopt;
    XDisplayQueries display(c);
    std::vector<xcb_window_t> stack = display.children(rootWindow(c));
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        if (ignored.contains(*it) || !display.isViewable(*it))
            continue;
        const std::optional<QRect> outer = display.area(*it);
        if (!outer || !outer->contains(rootPoint))
            continue;
        const xcb_window_t client = display.client(*it);
        if (ignored.contains(client))
            continue;
        return display.found(client);
    }
    return std::nullopt;
}

QString describeWindow(const FoundWindow &window)
{
    return QStringLiteral("window 0x%1 \"%2\", %3x%4 at %5,%6")
        .arg(window.id, 0, 16)
        .arg(window.name)
        .arg(window.area.width())
        .arg(window.area.height())
        .arg(window.area.x())
        .arg(window.area.y());
}
