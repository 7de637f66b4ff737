#pragma once

#include <QFuture>

#include <cstdint>
#include <string_view>

namespace lullwatch {

// The action that brings a session's terminal to the front, as the waiting
// notification and the session's row name it.
inline constexpr std::string_view showSessionLabel = "Show";

// Brings the terminal that a process runs in to the front: the tmux pane it
// runs in, and the window of the terminal showing it. Called on the main
// thread; the work runs elsewhere, so that the main thread never waits for
// the processes and the display server it asks.
class TerminalFocus {
public:
    virtual ~TerminalFocus() = default;
    // True once a terminal window was activated; false when none was found
    // that could be (no pid's terminal window, no display, a Wayland-native
    // terminal).
    virtual QFuture<bool> focus(std::int32_t pid) = 0;
};

} // namespace lullwatch
