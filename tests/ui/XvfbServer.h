#pragma once

#include <QByteArray>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace lullwatch::test {

// An X server of the test's own, on a display number that the server picks
// itself among the free ones (-displayfd), so parallel tests never collide.
// Started before QApplication, which needs the display to exist.
class XvfbServer {
public:
    XvfbServer() = default;
    ~XvfbServer()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    XvfbServer(const XvfbServer &) = delete;
    XvfbServer &operator=(const XvfbServer &) = delete;

    // Starts the server and waits until it reports its display.
    bool start()
    {
        int pipe[2];
        if (::pipe(pipe) != 0)
            return false;
        const QByteArray fd = QByteArray::number(pipe[1]);
        const char *arguments[]
            = {"Xvfb", "-displayfd", fd.constData(), "-screen", "0", "1280x800x24", "-nolisten", "tcp", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, pipe[0]);
        // The server's complaints about missing fonts and keymaps are noise here.
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawnp(&m_pid, "Xvfb", &actions, nullptr, const_cast<char **>(arguments), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe[1]);
        if (spawned != 0) {
            m_pid = -1;
            ::close(pipe[0]);
            return false;
        }
        QByteArray number;
        char byte = 0;
        while (::read(pipe[0], &byte, 1) == 1 && byte != '\n')
            number += byte;
        ::close(pipe[0]);
        if (number.isEmpty())
            return false;
        m_display = QByteArray(":").append(number);
        return true;
    }

    const QByteArray &display() const { return m_display; }

private:
    pid_t m_pid = -1;
    QByteArray m_display;
};

} // namespace lullwatch::test
