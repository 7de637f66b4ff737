#include "FileWindow.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace lullwatch {

namespace {

// The window the thread is reading, for the handler, which runs on the
// thread that touched the page.
thread_local FileWindow *currentWindow __attribute__((tls_model("initial-exec"))) = nullptr;

struct sigaction previousAction { };
std::size_t cachedPageSize = 0;
// One page of quotes and line feeds, put in place of each page that a shrunk
// file no longer has: whatever searches the bytes (for the end of a line, of
// a name, of a string) stops within two of them, as it would not in zeros.
int stopperPage = -1;

// The address space a view of `length` bytes takes: its pages, and a stopper
// page after them.
std::size_t reservedLength(std::size_t length)
{
    return (length + cachedPageSize - 1) / cachedPageSize * cachedPageSize + cachedPageSize;
}

} // namespace

struct FileWindowGuard {
    static void onBusError(int signal, siginfo_t *info, void *context)
    {
        const int savedErrno = errno;
        FileWindow *const window = currentWindow;
        const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        const auto begin = window ? reinterpret_cast<std::uintptr_t>(window->m_data) : 0;
        if (window && info->si_code == BUS_ADRERR && address >= begin && address - begin < window->m_size) {
            // The page lies past the file's new end: the stopper in its
            // place, and the read goes on to an end its reader can tell.
            void *const page = reinterpret_cast<void *>(address & ~std::uintptr_t {cachedPageSize - 1});
            if (::mmap(page, cachedPageSize, PROT_READ, MAP_PRIVATE | MAP_FIXED, stopperPage, 0) != MAP_FAILED) {
                window->m_shrank = 1;
                errno = savedErrno;
                return;
            }
        }
        errno = savedErrno;
        // Not ours: what was there before takes it.
        if (previousAction.sa_flags & SA_SIGINFO) {
            previousAction.sa_sigaction(signal, info, context);
        } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
            previousAction.sa_handler(signal);
        } else if (info->si_code > 0 || previousAction.sa_handler == SIG_DFL) {
            // The default ends the process: a fault does when the access is
            // tried again, a signal sent by a process when sent again.
            struct sigaction fallback { };
            fallback.sa_handler = SIG_DFL;
            ::sigaction(SIGBUS, &fallback, nullptr);
            if (info->si_code <= 0)
                ::raise(signal);
        }
    }

    // Whether views can be guarded; the first call sets the guard up.
    static bool install()
    {
        static const bool installed = [] {
            cachedPageSize = FileWindow::pageSize();
            const int page = ::memfd_create("lullwatch-stopper", MFD_CLOEXEC);
            if (page < 0)
                return false;
            std::string stopper(cachedPageSize, '\n');
            for (std::size_t at = 0; at < stopper.size(); at += 2)
                stopper[at] = '"';
            if (::pwrite(page, stopper.data(), stopper.size(), 0) != static_cast<ssize_t>(stopper.size())) {
                ::close(page);
                return false;
            }
            stopperPage = page;
            struct sigaction action { };
            action.sa_sigaction = &FileWindowGuard::onBusError;
            action.sa_flags = SA_SIGINFO | SA_RESTART;
            sigemptyset(&action.sa_mask);
            return ::sigaction(SIGBUS, &action, &previousAction) == 0;
        }();
        return installed;
    }
};

std::size_t FileWindow::pageSize()
{
    static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

FileWindow::FileWindow(int fd, std::uint64_t offset, std::size_t length)
{
    if (length == 0 || currentWindow || !FileWindowGuard::install())
        return;
    // The stopper also follows the view's last page: a file cut inside that
    // page reads zeros to its end, with no fault, and a search through them
    // stops there instead of running off the view.
    const std::size_t span = reservedLength(length);
    auto *const reserved = static_cast<char *>(::mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (reserved == MAP_FAILED)
        return;
    char *const stopper = reserved + span - cachedPageSize;
    if (::mmap(reserved, length, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, static_cast<off_t>(offset)) == MAP_FAILED
        || ::mmap(stopper, cachedPageSize, PROT_READ, MAP_PRIVATE | MAP_FIXED, stopperPage, 0) == MAP_FAILED) {
        ::munmap(reserved, span);
        return;
    }
    ::madvise(reserved, length, MADV_SEQUENTIAL);
    m_data = reserved;
    m_size = length;
    currentWindow = this;
}

FileWindow::~FileWindow()
{
    if (!m_data)
        return;
    currentWindow = nullptr;
    ::munmap(m_data, reservedLength(m_size));
}

} // namespace lullwatch
