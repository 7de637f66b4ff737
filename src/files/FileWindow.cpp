#include "FileWindow.h"

#include <cstdint>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace lullwatch {

namespace {

// The window the thread is reading, for the handler, which runs on the
// thread that touched the page.
thread_local FileWindow *currentWindow __attribute__((tls_model("initial-exec"))) = nullptr;

struct sigaction previousAction { };
std::size_t cachedPageSize = 0;

} // namespace

struct FileWindowGuard {
    static void onBusError(int signal, siginfo_t *info, void *context)
    {
        FileWindow *const window = currentWindow;
        const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        const auto begin = window ? reinterpret_cast<std::uintptr_t>(window->m_data) : 0;
        if (window && info->si_code == BUS_ADRERR && address >= begin && address - begin < window->m_size) {
            // The page lies past the file's new end: zeros in its place, and
            // the read goes on to an end its reader can tell.
            void *const page = reinterpret_cast<void *>(address & ~std::uintptr_t {cachedPageSize - 1});
            if (::mmap(page, cachedPageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
                window->m_shrank = 1;
                return;
            }
        }
        // Not ours: what was there before takes it, the default by ending the
        // process when the access is tried again.
        if (previousAction.sa_flags & SA_SIGINFO) {
            previousAction.sa_sigaction(signal, info, context);
        } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
            previousAction.sa_handler(signal);
        } else {
            struct sigaction fallback { };
            fallback.sa_handler = SIG_DFL;
            ::sigaction(SIGBUS, &fallback, nullptr);
        }
    }

    static void install()
    {
        static std::once_flag installed;
        std::call_once(installed, [] {
            cachedPageSize = FileWindow::pageSize();
            struct sigaction action { };
            action.sa_sigaction = &FileWindowGuard::onBusError;
            action.sa_flags = SA_SIGINFO | SA_RESTART;
            sigemptyset(&action.sa_mask);
            ::sigaction(SIGBUS, &action, &previousAction);
        });
    }
};

std::size_t FileWindow::pageSize()
{
    static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

FileWindow::FileWindow(int fd, std::uint64_t offset, std::size_t length)
{
    if (length == 0 || currentWindow)
        return;
    FileWindowGuard::install();
    void *const mapped = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(offset));
    if (mapped == MAP_FAILED)
        return;
    ::madvise(mapped, length, MADV_SEQUENTIAL);
    m_data = static_cast<char *>(mapped);
    m_size = length;
    currentWindow = this;
}

FileWindow::~FileWindow()
{
    if (!m_data)
        return;
    currentWindow = nullptr;
    ::munmap(m_data, m_size);
}

} // namespace lullwatch
