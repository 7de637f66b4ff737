#include "X11ScreenSaver.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include <cstdlib>

namespace lullwatch {

struct X11ScreenSaver::Connection {
    Display *display = nullptr;
    ~Connection()
    {
        if (display)
            XCloseDisplay(display); // ends what is still suspended
    }
};

X11ScreenSaver::X11ScreenSaver() = default;
X11ScreenSaver::~X11ScreenSaver() = default;

bool X11ScreenSaver::suspend()
{
    if (!m_connection && !m_unavailable) {
        const char *display = std::getenv("DISPLAY");
        auto connection = std::make_unique<Connection>();
        if (display && *display)
            connection->display = XOpenDisplay(nullptr);
        int eventBase = 0;
        int errorBase = 0;
        int major = 0;
        int minor = 0;
        // Suspending came with version 1.1 of the extension.
        if (connection->display && XScreenSaverQueryExtension(connection->display, &eventBase, &errorBase)
            && XScreenSaverQueryVersion(connection->display, &major, &minor) && (major > 1 || minor >= 1))
            m_connection = std::move(connection);
        else
            m_unavailable = true;
    }
    if (!m_connection)
        return false;
    XScreenSaverSuspend(m_connection->display, True);
    XFlush(m_connection->display);
    return true;
}

void X11ScreenSaver::resume()
{
    if (!m_connection)
        return;
    XScreenSaverSuspend(m_connection->display, False);
    XFlush(m_connection->display);
}

} // namespace lullwatch
