// Memory taken by one whole read of a transcript:
//
//   bench_memory TRANSCRIPT
//
// Prints the resident size before the read, the peak resident size during it
// and the difference. The peak is reset just before the read, so whatever the
// process touched while starting up does not count.

#include "sessions/TranscriptReader.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace {

// A "Vm...:  1234 kB" line of /proc/self/status, in KiB.
std::optional<std::int64_t> statusKiB(const char *key)
{
    std::FILE *file = std::fopen("/proc/self/status", "re");
    if (!file)
        return std::nullopt;
    char line[256];
    const std::size_t keyLength = std::strlen(key);
    std::optional<std::int64_t> value;
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            std::int64_t kib = 0;
            if (std::sscanf(line + keyLength + 1, "%" SCNd64, &kib) == 1)
                value = kib;
            break;
        }
    }
    std::fclose(file);
    return value;
}

// Writing 5 to clear_refs sets the peak resident size back to the current one.
bool resetPeak()
{
    std::FILE *file = std::fopen("/proc/self/clear_refs", "we");
    if (!file)
        return false;
    const bool ok = std::fputs("5", file) >= 0;
    return std::fclose(file) == 0 && ok;
}

double mib(std::int64_t kib)
{
    return static_cast<double>(kib) / 1024.0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s TRANSCRIPT\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    struct stat status { };
    if (::stat(path.c_str(), &status) != 0) {
        std::fprintf(stderr, "bench_memory: cannot stat %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }

    lullwatch::TranscriptReader reader;
    lullwatch::TranscriptCursor cursor;

    const auto before = statusKiB("VmRSS");
    const bool peakReset = resetPeak();
    if (!peakReset)
        std::fprintf(stderr, "bench_memory: cannot reset the peak; it includes the start-up\n");

    reader.read(path, cursor);

    const auto peak = statusKiB("VmHWM");
    const auto after = statusKiB("VmRSS");
    if (!before || !peak || !after) {
        std::fprintf(stderr, "bench_memory: /proc/self/status has no VmRSS or VmHWM\n");
        return 1;
    }
    if (cursor.offset != static_cast<std::uint64_t>(status.st_size)) {
        std::fprintf(stderr, "bench_memory: read %" PRIu64 " of %lld bytes\n", cursor.offset,
                     static_cast<long long>(status.st_size));
        return 1;
    }

    std::printf("transcript:             %s (%.1f MB, %" PRId64 " turns)\n", path.c_str(),
                static_cast<double>(status.st_size) / 1e6, cursor.usage.turns);
    std::printf("resident before read:   %.2f MiB\n", mib(*before));
    std::printf("peak during read:       %.2f MiB%s\n", mib(*peak), peakReset ? "" : " (peak not reset)");
    std::printf("resident after read:    %.2f MiB\n", mib(*after));
    std::printf("peak above idle:        %.2f MiB\n", mib(*peak - *before));
    return 0;
}
