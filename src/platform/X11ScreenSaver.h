#pragma once

#include <memory>

namespace lullwatch {

// The X server's own screen saver, held off through its extension (XSS) for
// as long as a suspension is held: the display's keep-awake where no screen
// saver service runs on the bus. Suspensions nest, and all end with the
// connection, which opens at the first suspension. Main thread only.
class X11ScreenSaver {
public:
    X11ScreenSaver();
    ~X11ScreenSaver();
    X11ScreenSaver(const X11ScreenSaver &) = delete;
    X11ScreenSaver &operator=(const X11ScreenSaver &) = delete;

    // False where no X display with the extension answers.
    bool suspend();
    void resume();

private:
    struct Connection;
    std::unique_ptr<Connection> m_connection;
    bool m_unavailable = false;
};

} // namespace lullwatch
