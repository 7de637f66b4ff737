#include "X11WindowActivation.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <memory>
#include <string_view>

namespace lullwatch {

namespace {

template<typename Reply> using ReplyPointer = std::unique_ptr<Reply, decltype(&std::free)>;

template<typename Reply> ReplyPointer<Reply> owned(Reply *reply)
{
    return ReplyPointer<Reply>(reply, std::free);
}

xcb_window_t rootOf(xcb_connection_t *connection, int screenNumber)
{
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int index = 0; screens.rem > 0 && index < screenNumber; ++index)
        xcb_screen_next(&screens);
    return screens.rem > 0 ? screens.data->root : xcb_window_t(XCB_WINDOW_NONE);
}

// The windows in a WINDOW-list property of the root, in the property's order.
std::vector<xcb_window_t> windowList(xcb_connection_t *connection, xcb_window_t root, xcb_atom_t property)
{
    // Far more windows than any desktop has.
    constexpr std::uint32_t maxWindows = 1 << 16;
    const auto reply = owned(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, root, property, XCB_ATOM_WINDOW, 0, maxWindows), nullptr));
    if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32)
        return {};
    const auto *windows = static_cast<const xcb_window_t *>(xcb_get_property_value(reply.get()));
    return {windows, windows + xcb_get_property_value_length(reply.get()) / 4};
}

} // namespace

bool activateWindowOfProcess(const std::string &display, const std::vector<std::int32_t> &lineage)
{
    if (display.empty() || lineage.empty())
        return false;
    int screenNumber = 0;
    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> owner(
        xcb_connect(display.c_str(), &screenNumber), xcb_disconnect);
    xcb_connection_t *connection = owner.get();
    if (xcb_connection_has_error(connection))
        return false;
    const xcb_window_t root = rootOf(connection, screenNumber);
    if (root == XCB_WINDOW_NONE)
        return false;

    constexpr std::array<std::string_view, 4> names
        = {"_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST", "_NET_WM_PID", "_NET_ACTIVE_WINDOW"};
    std::array<xcb_intern_atom_cookie_t, names.size()> atomCookies {};
    for (std::size_t index = 0; index < names.size(); ++index)
        atomCookies[index]
            = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(names[index].size()), names[index].data());
    std::array<xcb_atom_t, names.size()> atoms {};
    for (std::size_t index = 0; index < names.size(); ++index) {
        const auto reply = owned(xcb_intern_atom_reply(connection, atomCookies[index], nullptr));
        if (!reply)
            return false;
        atoms[index] = reply->atom;
    }
    const auto [stackingList, clientList, wmPid, activeWindow] = atoms;

    // Bottom to top where the window manager keeps the stacking order.
    auto windows = windowList(connection, root, stackingList);
    if (windows.empty())
        windows = windowList(connection, root, clientList);

    std::vector<xcb_get_property_cookie_t> pidCookies;
    pidCookies.reserve(windows.size());
    for (const xcb_window_t window : windows)
        pidCookies.push_back(xcb_get_property(connection, 0, window, wmPid, XCB_ATOM_CARDINAL, 0, 1));
    std::map<std::int32_t, xcb_window_t> windowOfPid; // the topmost of each process
    for (std::size_t index = 0; index < windows.size(); ++index) {
        const auto reply = owned(xcb_get_property_reply(connection, pidCookies[index], nullptr));
        if (reply && reply->type == XCB_ATOM_CARDINAL && reply->format == 32
            && xcb_get_property_value_length(reply.get()) == 4)
            windowOfPid[*static_cast<const std::int32_t *>(xcb_get_property_value(reply.get()))] = windows[index];
    }

    const auto found
        = std::find_if(lineage.begin(), lineage.end(), [&](std::int32_t pid) { return windowOfPid.contains(pid); });
    if (found == lineage.end())
        return false;

    xcb_client_message_event_t event {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = windowOfPid[*found];
    event.type = activeWindow;
    // The source is a pager: window managers follow the user's choice there,
    // where an application's request may be refused to prevent focus stealing.
    event.data.data32[0] = 2;
    event.data.data32[1] = XCB_CURRENT_TIME;
    event.data.data32[2] = XCB_WINDOW_NONE;
    xcb_send_event(connection, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&event));
    // A round trip, so that the request has reached the server before the connection closes.
    owned(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    return !xcb_connection_has_error(connection);
}

} // namespace lullwatch
