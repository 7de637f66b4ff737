#include "SessionScanner.h"

#include "Clock.h"
#include "Locations.h"
#include "ProcessProbe.h"

#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace lullwatch {

namespace {

// Records hold a copy of one hook payload; anything larger is not a record.
constexpr off_t maxRecordSize = 16 << 20;

bool hasJsonExtension(std::string_view name)
{
    const auto dot = name.rfind('.');
    return dot != std::string_view::npos && name.substr(dot + 1) == "json";
}

std::vector<std::string> listEntries(const std::filesystem::path &directory)
{
    std::vector<std::string> names;
    DIR *dir = ::opendir(directory.c_str());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
}

// Reads a whole record file into `bytes`; false for anything that is not a
// readable regular file of sensible size. Never blocks on a FIFO.
bool readRecordFile(const std::filesystem::path &path, std::string &bytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat status { };
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= maxRecordSize;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(status.st_size));
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                ok = false;
                break;
            }
            if (got == 0)
                break; // shrank since fstat: decode what is there
            filled += static_cast<std::size_t>(got);
        }
        bytes.resize(filled);
    }
    ::close(fd);
    return ok;
}

std::optional<TimePoint> modificationTime(const std::string &path)
{
    struct stat status { };
    if (path.empty() || ::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return timePointFromEpochSeconds(static_cast<double>(status.st_mtim.tv_sec)
                                     + static_cast<double>(status.st_mtim.tv_nsec) / 1e9);
}

bool needsNoUser(const std::optional<std::string> &notificationType)
{
    return notificationType
        && std::find(notificationKindsNotNeedingUser.begin(), notificationKindsNotNeedingUser.end(), *notificationType)
        != notificationKindsNotNeedingUser.end();
}

} // namespace

SessionScanner::SessionScanner(std::filesystem::path directory, const Clock &clock, const ProcessProbe &probe,
                               TranscriptReader::Limits limits)
    : m_directory(std::move(directory))
    , m_clock(clock)
    , m_probe(probe)
    , m_reader(limits)
{
    m_executor.setMaxThreadCount(1);
    m_executor.setExpiryTimeout(-1);
}

SessionScanner::~SessionScanner()
{
    m_executor.waitForDone();
}

QFuture<std::vector<SessionInfo>> SessionScanner::scan()
{
    return QtConcurrent::run(&m_executor, [this] { return scanOnExecutor(); });
}

SessionState SessionScanner::effectiveState(const SessionRecord &record, TimePoint updated,
                                            const TranscriptActivity &activity)
{
    switch (record.state) {
    case SessionState::Idle:
    case SessionState::Ended:
        return record.state;
    case SessionState::Waiting:
        if (needsNoUser(record.notificationType))
            return SessionState::Idle;
        break;
    case SessionState::Working:
        break;
    }
    // The transcript moved on after the hook last wrote the record.
    if (activity.lastEntryAt && *activity.lastEntryAt - updated > entryLeadThreshold)
        return activity.endedInInterrupt ? SessionState::Idle : SessionState::Working;
    return record.state;
}

bool SessionScanner::ownerIsAlive(const SessionRecord &record) const
{
    // Out-of-range pids are never probed: 0 and negatives would address process groups.
    if (!record.pid || *record.pid < 1 || *record.pid > 2147483647)
        return true;
    const int error = m_probe.probe(static_cast<std::int32_t>(*record.pid));
    return error == 0 || error == EPERM;
}

std::vector<SessionInfo> SessionScanner::scanOnExecutor()
{
    ensureSessionsDirectory(m_directory);
    const auto names = listEntries(m_directory);
    const TimePoint now = m_clock.now();

    std::vector<SessionInfo> sessions;
    std::unordered_set<std::string> seenTranscriptPaths;

    for (const auto &name : names) {
        if (!hasJsonExtension(name))
            continue;
        const auto path = m_directory / name;
        if (!readRecordFile(path, m_recordBytes))
            continue;
        auto record = decodeSessionRecord(m_recordBytes, m_recordParser);
        if (!record)
            continue; // left on disk and tried again next time

        const TimePoint updated = timePointFromEpochSeconds(record->updatedAt);
        if (now - updated > recordExpiry || !ownerIsAlive(*record)) {
            ::unlink(path.c_str());
            m_cursors.erase(record->transcriptPath);
            continue;
        }

        seenTranscriptPaths.insert(record->transcriptPath);
        Cursor &cursor = m_cursors[record->transcriptPath];
        m_reader.read(record->transcriptPath, cursor);

        const TimePoint lastActivity = std::max(modificationTime(record->transcriptPath).value_or(updated), updated);
        const SessionState state = effectiveState(*record, updated, cursor.activity);

        sessions.push_back(SessionInfo {
            .id = std::move(record->sessionId),
            .source = record->source.value_or(SessionSource::Claude),
            .state = state,
            .event = std::move(record->event),
            .cwd = std::move(record->cwd),
            .transcriptPath = std::move(record->transcriptPath),
            .updatedAt = updated,
            .usage = cursor.usage,
            .isStale = state == SessionState::Working && now - lastActivity > staleAfter,
        });
    }

    std::erase_if(m_cursors, [&](const auto &entry) { return !seenTranscriptPaths.contains(entry.first); });

    std::stable_sort(sessions.begin(), sessions.end(),
                     [](const SessionInfo &a, const SessionInfo &b) { return a.updatedAt > b.updatedAt; });
    return sessions;
}

} // namespace lullwatch
