#include "SessionScanner.h"

#include "Clock.h"
#include "ProcessProbe.h"
#include "agents/Agents.h"
#include "files/Files.h"
#include "files/XdgPaths.h"

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

// Larger records are not read whole: only their age and owner are looked for,
// in this many bytes at most.
constexpr off_t maxLifetimeSearch = 256 << 20;
constexpr std::size_t lifetimeSearchChunk = 64 << 10;

TimePoint modificationTimeOf(const struct stat &status)
{
    return timePointFromEpochSeconds(static_cast<double>(status.st_mtim.tv_sec)
                                     + static_cast<double>(status.st_mtim.tv_nsec) / 1e9);
}

// One record file as the scan read it. The file stays open until the scan is
// done with it, so that its inode cannot be reused by a newer file meanwhile.
struct RecordFile {
    enum class Content { None, Whole, Oversize };

    FileDescriptor descriptor;
    struct stat status { };
    Content content = Content::None;
    std::optional<RecordLifetime> oversizeLifetime;
};

std::optional<RecordLifetime> searchLifetime(int fd)
{
    RecordLifetimeReader reader;
    std::vector<char> chunk(lifetimeSearchChunk);
    off_t offset = 0;
    while (offset < maxLifetimeSearch) {
        const ssize_t got = ::pread(fd, chunk.data(), chunk.size(), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0 || !reader.feed(std::string_view(chunk.data(), static_cast<std::size_t>(got))))
            return reader.finish();
        offset += got;
    }
    return std::nullopt;
}

// Reads one record file: a regular file of sensible size whole into `bytes`,
// a larger one only for its lifetime. Never blocks on a FIFO.
void readRecordFile(const std::filesystem::path &path, std::string &bytes, RecordFile &file)
{
    file.descriptor = openForReading(path);
    const int fd = file.descriptor.get();
    if (fd < 0 || ::fstat(fd, &file.status) != 0 || !S_ISREG(file.status.st_mode))
        return;
    if (file.status.st_size <= maxRecordSize) {
        if (readFully(fd, static_cast<std::size_t>(file.status.st_size), bytes))
            file.content = RecordFile::Content::Whole;
    } else {
        file.oversizeLifetime = searchLifetime(fd);
        file.content = RecordFile::Content::Oversize;
    }
}

// Deletes the record only while its name still leads to the file that was
// read: a hook may have renamed a newer record onto it since.
void removeUnlessReplaced(const std::filesystem::path &path, const RecordFile &file)
{
    struct stat current { };
    if (::lstat(path.c_str(), &current) == 0 && current.st_dev == file.status.st_dev
        && current.st_ino == file.status.st_ino)
        ::unlink(path.c_str());
}

// Deletes the user's own regular files in `directory` whose names start with
// one of `prefixes` and that were last modified before `cutoff`. Names are
// looked up and deleted relative to the opened folder, never through a link.
void removeOldFiles(const std::filesystem::path &directory, std::initializer_list<std::string_view> prefixes,
                    TimePoint cutoff)
{
    const int folder = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = folder >= 0 ? ::fdopendir(folder) : nullptr;
    if (!dir) {
        if (folder >= 0)
            ::close(folder);
        return;
    }
    const uid_t user = ::geteuid();
    while (const dirent *entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (std::none_of(prefixes.begin(), prefixes.end(),
                         [&](std::string_view prefix) { return name.starts_with(prefix); }))
            continue;
        struct stat status { };
        if (::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)
            && status.st_uid == user && modificationTimeOf(status) < cutoff)
            ::unlinkat(folder, entry->d_name, 0);
    }
    ::closedir(dir); // closes the folder too
}

std::optional<TimePoint> modificationTime(const std::string &path)
{
    struct stat status { };
    if (path.empty() || ::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return modificationTimeOf(status);
}

bool needsNoUser(const SessionRecord &record)
{
    const auto &quiet = agentFor(record.source.value_or(SessionSource::Claude)).notificationKindsNotNeedingUser;
    return record.notificationType && std::find(quiet.begin(), quiet.end(), *record.notificationType) != quiet.end();
}

// A pid that names one process: 0 and negatives address process groups.
bool isProcessId(std::optional<std::int64_t> pid)
{
    return pid && *pid >= 1 && *pid <= 2147483647;
}

} // namespace

SessionScanner::SessionScanner(std::filesystem::path directory, const Clock &clock, const ProcessProbe &probe,
                               TranscriptReader::Limits limits, std::filesystem::path temporaryDirectory)
    : m_directory(std::move(directory))
    , m_temporaryDirectory(std::move(temporaryDirectory))
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
        if (needsNoUser(record))
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

bool SessionScanner::ownerIsAlive(std::optional<std::int64_t> pid) const
{
    // Out-of-range pids are never probed.
    if (!isProcessId(pid))
        return true;
    const int error = m_probe.probe(static_cast<std::int32_t>(*pid));
    return error == 0 || error == EPERM;
}

void SessionScanner::removeTemporaries(TimePoint now)
{
    // Looking through the temporary folder once a minute is often enough.
    if (now < m_nextTemporarySweep)
        return;
    m_nextTemporarySweep = now + std::chrono::duration_cast<Seconds>(std::chrono::minutes(1));
    const TimePoint cutoff = now - temporaryExpiry;
    // A record being written, and the JSON tool's rewrite of one.
    removeOldFiles(m_directory, {".record.", "..record."}, cutoff);
    removeOldFiles(m_temporaryDirectory, {"lullwatch-hook.", "lullwatch-copilot-hook."}, cutoff);
}

std::vector<SessionInfo> SessionScanner::scanOnExecutor()
{
    const std::lock_guard lock(m_scanning);
    ensurePrivateDirectory(m_directory);
    const auto names = listEntries(m_directory);
    const TimePoint now = m_clock.now();

    std::vector<SessionInfo> sessions;
    std::unordered_set<std::string> seenTranscriptPaths;

    for (const auto &name : names) {
        if (!hasJsonExtension(name))
            continue;
        const auto path = m_directory / name;
        RecordFile file;
        readRecordFile(path, m_recordBytes, file);
        if (file.content == RecordFile::Content::None)
            continue; // not a file the hooks write: never deleted

        std::optional<SessionRecord> record;
        std::optional<RecordLifetime> lifetime = file.oversizeLifetime;
        if (file.content == RecordFile::Content::Whole) {
            record = decodeSessionRecord(m_recordBytes, m_recordParser);
            if (record)
                lifetime = RecordLifetime {record->updatedAt, record->pid};
        }
        if (!lifetime) {
            // Tried again at every scan while someone may still be writing it.
            if (now - modificationTimeOf(file.status) > recordExpiry)
                removeUnlessReplaced(path, file);
            continue;
        }

        const TimePoint updated = timePointFromEpochSeconds(lifetime->updatedAt);
        if (now - updated > recordExpiry || !ownerIsAlive(lifetime->pid)) {
            removeUnlessReplaced(path, file);
            if (record)
                m_cursors.erase(record->transcriptPath);
            continue;
        }
        if (!record)
            continue; // too large to be a record worth showing

        // Sessions that share a transcript share its cursor and its one read
        // per scan, so the bound on a read holds per transcript. An agent
        // without a transcript reader has no usage to show.
        static const Cursor noTranscript;
        const Cursor *cursor = &noTranscript;
        const auto source = record->source.value_or(SessionSource::Claude);
        if (const auto format = agentFor(source).transcript; format != TranscriptFormat::None) {
            Cursor &shared = m_cursors[record->transcriptPath];
            if (seenTranscriptPaths.insert(record->transcriptPath).second)
                m_reader.read(record->transcriptPath, shared, format);
            cursor = &shared;
        }

        const TimePoint lastActivity = std::max(modificationTime(record->transcriptPath).value_or(updated), updated);
        const SessionState state = effectiveState(*record, updated, cursor->activity);

        sessions.push_back(SessionInfo {
            .id = std::move(record->sessionId),
            .source = source,
            .state = state,
            .event = std::move(record->event),
            .cwd = std::move(record->cwd),
            .transcriptPath = std::move(record->transcriptPath),
            .updatedAt = updated,
            .usage = cursor->usage,
            .isStale = state == SessionState::Working && now - lastActivity > staleAfter,
            .pid = isProcessId(record->pid) ? std::optional(static_cast<std::int32_t>(*record->pid)) : std::nullopt,
        });
    }

    removeTemporaries(now);

    std::erase_if(m_cursors, [&](const auto &entry) { return !seenTranscriptPaths.contains(entry.first); });

    std::stable_sort(sessions.begin(), sessions.end(),
                     [](const SessionInfo &a, const SessionInfo &b) { return a.updatedAt > b.updatedAt; });
    return sessions;
}

} // namespace lullwatch
