#pragma once

#include "SessionInfo.h"
#include "SessionRecord.h"
#include "TimePoint.h"
#include "TranscriptReader.h"
#include "files/XdgPaths.h"

#include <QFuture>
#include <QThreadPool>

#include <array>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lullwatch {

class Clock;
class ProcessProbe;

// Turns the sessions folder and the agents' transcripts into the list of
// sessions. Every scan runs on the scanner's own worker thread, one at a time;
// the cursors and buffers are touched only there.
class SessionScanner {
public:
    using Cursor = TranscriptCursor;

    static constexpr Seconds recordExpiry {86400};
    static constexpr Seconds staleAfter {600};
    static constexpr Seconds entryLeadThreshold {1};
    // Files that hooks killed halfway left behind; a running hook is done far sooner.
    static constexpr Seconds temporaryExpiry {600};

    // `clock` and `probe` must outlive the scanner and be callable from its
    // thread. `temporaryDirectory` is where the hooks keep their payload copies.
    SessionScanner(std::filesystem::path directory, const Clock &clock, const ProcessProbe &probe,
                   TranscriptReader::Limits limits = {},
                   std::filesystem::path temporaryDirectory = lullwatch::temporaryDirectory());
    ~SessionScanner();

    SessionScanner(const SessionScanner &) = delete;
    SessionScanner &operator=(const SessionScanner &) = delete;

    // The sessions, newest first. Never fails; the worst outcome is an empty list.
    QFuture<std::vector<SessionInfo>> scan();

    // The state to report for a live record, given what its transcript shows.
    static SessionState effectiveState(const SessionRecord &record, TimePoint updated,
                                       const TranscriptActivity &activity);

private:
    std::vector<SessionInfo> scanOnExecutor();
    bool ownerIsAlive(std::optional<std::int64_t> pid) const;
    void removeTemporaries(TimePoint now);

    const std::filesystem::path m_directory;
    const std::filesystem::path m_temporaryDirectory;
    const Clock &m_clock;
    const ProcessProbe &m_probe;

    std::unordered_map<std::string, Cursor> m_cursors; // keyed by the record's transcriptPath
    TranscriptReader m_reader;
    simdjson::dom::parser m_recordParser;
    std::string m_recordBytes;
    TimePoint m_nextTemporarySweep {};

    // A caller waiting on a scan that has not started runs it in its own
    // thread, maybe beside the one the pool is running.
    std::mutex m_scanning;
    QThreadPool m_executor; // last member: finishes a running scan before the rest goes
};

} // namespace lullwatch
