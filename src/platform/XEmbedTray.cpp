#include "XEmbedTray.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace lullwatch {

bool xembedTrayIsRunning()
{
    int screen = 0;
    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(xcb_connect(nullptr, &screen),
                                                                                  xcb_disconnect);
    if (xcb_connection_has_error(connection.get()))
        return false;
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    // Only an existing atom: no tray manager has ever run without one.
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(
            connection.get(),
            xcb_intern_atom(connection.get(), 1, static_cast<uint16_t>(selection.size()), selection.c_str()), nullptr),
        std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false;
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection.get(), xcb_get_selection_owner(connection.get(), atom->atom), nullptr),
        std::free);
    return owner && owner->owner != XCB_WINDOW_NONE;
}

} // namespace lullwatch
