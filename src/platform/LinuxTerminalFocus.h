#pragma once

#include "sessions/TerminalFocus.h"

#include <QThreadPool>

#include <string>

namespace lullwatch {

// Finds the terminal of a process through /proc: in a tmux pane (the
// process's TMUX and TMUX_PANE), that pane is selected and the terminal of
// a client attached to its session is raised; otherwise the terminal window
// of the nearest ancestor that owns one on the X display. Requests run one
// at a time on a worker thread of the focus's own.
class LinuxTerminalFocus final : public TerminalFocus {
public:
    // `display`: the X display (DISPLAY) whose window manager raises
    // windows; empty where there is none.
    explicit LinuxTerminalFocus(std::string display);
    ~LinuxTerminalFocus() override;
    LinuxTerminalFocus(const LinuxTerminalFocus &) = delete;
    LinuxTerminalFocus &operator=(const LinuxTerminalFocus &) = delete;

    QFuture<bool> focus(std::int32_t pid) override;

private:
    bool focusOnExecutor(std::int32_t pid) const;

    const std::string m_display;
    QThreadPool m_executor; // last member: finishes a running request before the rest goes
};

} // namespace lullwatch
