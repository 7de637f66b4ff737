#include "sessions/SessionScanner.h"
#include "support/FakeClock.h"
#include "support/FakeProcessProbe.h"
#include "support/TestFiles.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <thread>

using namespace lullwatch;
using namespace lullwatch::test;
namespace fs = std::filesystem;

namespace {

constexpr double now = 1'800'000'000.0;

void setModificationTime(const fs::path &path, double epochSeconds, int flags = 0)
{
    const timespec times[2] = {{static_cast<time_t>(epochSeconds), 0},
                               {static_cast<time_t>(epochSeconds),
                                static_cast<long>((epochSeconds - static_cast<time_t>(epochSeconds)) * 1e9)}};
    QCOMPARE(::utimensat(AT_FDCWD, path.c_str(), times, flags), 0);
}

std::string assistantLine(int input)
{
    return "{\"type\":\"assistant\",\"message\":{\"usage\":{\"input_tokens\":" + std::to_string(input) + "}}}\n";
}

// A record larger than any the scanner reads whole; `extra` follows the padding.
std::string oversizeRecord(const std::string &state, double updatedAt, const std::string &extra = "")
{
    return recordJson("huge", state, updatedAt, "", ",\"pad\":\"" + std::string(17 << 20, 'x') + '"' + extra);
}

} // namespace

class TestSessionScanner : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    fs::path m_sessions;
    fs::path m_temporary;
    FakeClock m_clock {now};
    std::unique_ptr<FakeProcessProbe> m_probe;

    SessionScanner scanner(TranscriptReader::Limits limits = {})
    {
        return SessionScanner(m_sessions, m_clock, *m_probe, limits, m_temporary);
    }

    std::vector<SessionInfo> scanOnce() { return scanner().scan().result(); }

    fs::path writeRecord(const std::string &name, const std::string &json)
    {
        fs::create_directories(m_sessions);
        writeFile(m_sessions / name, json);
        return m_sessions / name;
    }

    fs::path transcript(const std::string &name, const std::string &content)
    {
        const auto path = fs::path(m_root.path().toStdString()) / name;
        writeFile(path, content);
        return path;
    }

private Q_SLOTS:
    void init()
    {
        static int round = 0;
        m_sessions = fs::path(m_root.path().toStdString()) / ("sessions-" + std::to_string(++round));
        m_temporary = fs::path(m_root.path().toStdString()) / ("temporary-" + std::to_string(round));
        fs::create_directories(m_temporary);
        m_probe = std::make_unique<FakeProcessProbe>();
    }

    // A record goes when over a day old or when its owner is gone; an oversize record's
    // age and owner are read from its first bytes, an undecodable one's age is its file's.
    void recordLifetime()
    {
        m_probe->answer(4343, EPERM); // someone else's process
        for (std::int32_t pid : {4444, 2147483647, 0, -1, std::numeric_limits<std::int32_t>::min()})
            m_probe->answer(pid, ESRCH);
        const struct {
            const char *content;
            double age;
            const char *pid;
            bool kept;
        } cases[] = {
            {"record", 86400, "4242", true},   {"record", 86400.5, "4242", false},
            {"oversize", 86400, "4242", true}, {"oversize", 86400.5, "4242", false},
            {"undecodable", 86400, "", true},  {"undecodable", 86400.5, "", false},
            {"record", 0, "4343", true},       {"record", 0, "4444", false},
            {"oversize", 0, "4444", false},    {"record", 0, "0", true},
            {"record", 0, "2147483648", true}, {"record", 0, "", true},
        };
        std::vector<fs::path> paths;
        for (const auto &c : cases) {
            const std::string id = std::to_string(paths.size()), content = c.content;
            const std::string pid = *c.pid ? std::string(",\"pid\":") + c.pid : "";
            paths.push_back(writeRecord(id + ".json",
                                        content == "oversize"     ? oversizeRecord("working", now - c.age, pid)
                                            : content == "record" ? recordJson(id, "working", now - c.age, "", pid)
                                                                  : "{\"sessionId\":\"s\",\"state\":\"work"));
            setModificationTime(paths.back(), now - c.age);
        }
        // Gone from the same scan that deletes it; only a pid that names one process is passed on.
        std::set<std::string> listed;
        for (const auto &session : scanOnce())
            listed.insert(session.id + ':' + (session.pid ? std::to_string(*session.pid) : "-"));
        QCOMPARE(listed, (std::set<std::string> {"0:4242", "6:4343", "9:-", "10:-", "11:-"}));
        for (std::size_t i = 0; i < paths.size(); ++i)
            QVERIFY2(fs::exists(paths[i]) == cases[i].kept, paths[i].c_str());
    }

    void recordReplacedWhileItsOwnerIsProbed()
    {
        const auto path = writeRecord("s.json", recordJson("s", "working", now, "", R"(,"pid":4242)"));
        m_probe->answer(4242, ESRCH);
        m_probe->whenProbed([&](std::int32_t pid) {
            if (pid == 4242)
                fs::rename(writeRecord(".record.Xy7", recordJson("s", "waiting", now, "", R"(,"pid":4343)")), path);
        });
        auto scanner = this->scanner();
        QVERIFY(scanner.scan().result().empty());
        const auto sessions = scanner.scan().result();
        QCOMPARE(sessions.size(), 1u);
        QCOMPARE(sessions[0].state, SessionState::Waiting);
    }

    void effectiveState()
    {
        using S = SessionState;
        const std::optional<double> noEntry;
        const struct {
            S recorded;
            const char *notification;
            std::optional<double> entryLead; // the transcript's last entry, in seconds after the record
            bool interrupt;
            S expected;
        } cases[] = {
            {S::Waiting, "auth_success", 30.0, false, S::Idle}, // a kind that asks nothing of the user
            {S::Waiting, "permission_prompt", noEntry, false, S::Waiting},
            {S::Waiting, "permission_prompt", 5.0, false, S::Working},
            {S::Working, nullptr, 1.0, true, S::Working},
            {S::Working, nullptr, 1.5, true, S::Idle},
            {S::Working, nullptr, 1.5, false, S::Working},
            {S::Working, nullptr, -20.0, true, S::Working},
            {S::Waiting, nullptr, 2.0, true, S::Idle},
        };
        for (const auto &c : cases) {
            SessionRecord record;
            record.state = c.recorded;
            if (c.notification)
                record.notificationType = c.notification;
            TranscriptActivity activity;
            activity.endedInInterrupt = c.interrupt;
            if (c.entryLead)
                activity.lastEntryAt = timePointFromEpochSeconds(now + *c.entryLead);
            QVERIFY2(SessionScanner::effectiveState(record, timePointFromEpochSeconds(now), activity) == c.expected,
                     qPrintable(QString::number(&c - cases)));
        }
    }

    void staleness()
    {
        const std::optional<double> noTranscript;
        const struct {
            const char *state;
            double recordAge;
            std::optional<double> transcriptAge;
            bool stale;
        } cases[] = {
            {"working", 601, 601.0, true},   {"working", 600, 600.0, false}, {"working", 601, noTranscript, true},
            {"working", 80000, 10.0, false}, {"working", 5, 5000.0, false},  {"waiting", 5000, 5000.0, false},
        };
        for (const auto &c : cases) {
            const auto id = std::to_string(&c - cases);
            std::string transcriptPath;
            if (c.transcriptAge) {
                transcriptPath = transcript(id + ".jsonl", "").string();
                setModificationTime(transcriptPath, now - *c.transcriptAge);
            }
            writeRecord(id + ".json",
                        recordJson(id, c.state, now - c.recordAge, transcriptPath,
                                   R"(,"notification_type":"permission_prompt")"));
        }
        const auto sessions = scanOnce();
        QCOMPARE(sessions.size(), std::size(cases));
        for (const auto &session : sessions)
            QVERIFY2(session.isStale == cases[std::stoi(session.id)].stale, session.id.c_str());
    }

    // Files that are no records are skipped and kept; the rest come newest first.
    void badFilesAreSkippedAndKept()
    {
        writeRecord("good.json", recordJson("good", "idle", now));
        writeRecord(".hidden.json", recordJson("hidden", "idle", now - 1));
        fs::create_directories(m_sessions / "folder.json");
        QCOMPARE(::mkfifo((m_sessions / "pipe.json").c_str(), 0600), 0);
        QCOMPARE(::symlink("/dev/zero", (m_sessions / "zero.json").c_str()), 0);
        const fs::path kept[] = {writeRecord("broken.json", "{\"sessionId\":\"x\",\"state\":\"work"),
                                 writeRecord("huge.json", oversizeRecord("idle", now)),
                                 writeRecord("a.json.tmp", recordJson("t", "idle", now)),
                                 writeRecord(".record.Ab3dEf7h", recordJson("r", "idle", now)),
                                 m_sessions / "folder.json",
                                 m_sessions / "pipe.json"};
        for (const auto &path : kept)
            setModificationTime(path, now);
        auto scanner = this->scanner();
        for (int round = 0; round < 2; ++round) {
            const auto sessions = scanner.scan().result();
            QCOMPARE(sessions.size(), 2u);
            QCOMPARE(sessions[0].id + sessions[1].id, std::string("goodhidden"));
        }
        for (const auto &path : kept)
            QVERIFY(fs::exists(fs::symlink_status(path)));
    }

    // What killed hooks left behind goes after ten minutes; nothing else does.
    void temporaries()
    {
        fs::create_directories(m_sessions);
        const auto target = m_temporary / "target";
        writeFile(target, "x");
        setModificationTime(target, now - 700);
        const struct {
            fs::path folder;
            const char *name;
            double age;
            const char *kind;
            bool removed;
        } cases[] = {
            {m_sessions, ".record.Ab3dEf7h", 600.0, "file", false}, // a record being written
            {m_sessions, ".record.Bb3dEf7h", 600.5, "file", true},
            {m_sessions, "..record.Ab3dEf7h.x1Y2z3", 600.5, "file", true}, // the rewrite of one
            {m_temporary, "lullwatch-hook.Ab3dEf7h", 600.0, "file", false}, // a payload being copied
            {m_temporary, "lullwatch-hook.Bb3dEf7h", 600.5, "file", true},
            {m_temporary, "lullwatch-copilot-hook.Ab3dEf7h", 600.5, "file", true},
            {m_temporary, "lullwatch-hook.Cb3dEf7h", 600.5, "foreign", false},
            {m_temporary, "lullwatch-hook.Db3dEf7h", 600.5, "link", false},
        };
        bool handedOver = false; // to another user, which takes root
        for (const auto &c : cases) {
            const auto path = c.folder / c.name;
            if (c.kind == std::string_view("link"))
                fs::create_symlink(target, path);
            else
                writeFile(path, "{}");
            if (c.kind == std::string_view("foreign"))
                handedOver = ::chown(path.c_str(), 65534, 65534) == 0;
            setModificationTime(path, now - c.age, AT_SYMLINK_NOFOLLOW);
        }
        QVERIFY(scanOnce().empty());
        for (const auto &c : cases) {
            if (c.kind != std::string_view("foreign") || handedOver)
                QVERIFY2(fs::exists(fs::symlink_status(c.folder / c.name)) != c.removed, c.name);
        }
        QVERIFY(fs::exists(target));
    }

    void cursorIsDroppedWithItsSession()
    {
        const auto path = transcript("shared.jsonl", assistantLine(111));
        writeRecord("s.json", recordJson("s", "working", now, path.string()));
        auto scanner = this->scanner();
        QCOMPARE(scanner.scan().result()[0].usage.tokens.input, 111);

        writeFile(path, assistantLine(222));
        fs::remove(m_sessions / "s.json");
        QVERIFY(scanner.scan().result().empty());
        writeRecord("s.json", recordJson("s", "working", now, path.string()));
        QCOMPARE(scanner.scan().result()[0].usage, (TranscriptUsage {{222, 0, 0, 0}, 222, {}, 1}));
    }

    // Sessions that share a transcript share its one bounded read per scan.
    void sharedTranscriptIsReadOncePerScan()
    {
        std::string lines;
        for (int i = 0; i < 20; ++i)
            lines += assistantLine(1);
        const auto path = transcript("bounded.jsonl", lines);
        const TranscriptReader::Limits limits {.chunkSize = 64, .maxLineLength = 128, .maxBytesPerRead = 1};
        writeRecord("s.json", recordJson("s", "working", now, path.string()));
        const auto once = scanner(limits).scan().result()[0].usage.tokens.input;
        QVERIFY(once > 0 && once < 10);
        writeRecord("twin.json", recordJson("twin", "working", now - 1, path.string()));
        for (const auto &session : scanner(limits).scan().result())
            QCOMPARE(session.usage.tokens.input, once);
    }

    // An agent appends its transcript in arbitrary pieces while scans run, a
    // second one waited on while the first runs; the session never drops out,
    // and at the end the totals equal those of one full read.
    void writerAppendsWhileScanning()
    {
        const std::string source
            = readFile(testData("transcripts/local-claude-code-2.1.332/permission-then-interrupt.jsonl"));
        const auto path = transcript("growing.jsonl", "");
        writeRecord("s.json", recordJson("s", "working", now, path.string()));
        auto scanner = this->scanner({.chunkSize = 509, .maxLineLength = 64u << 20});
        std::atomic<bool> done = false;
        std::atomic<int> scans = 0;
        std::thread writer([&] {
            QRandomGenerator random(20261206);
            for (std::size_t written = 0, piece = 1; written < source.size(); ++piece) {
                const std::size_t size = std::min<std::size_t>(random.bounded(1, 2000), source.size() - written);
                appendFile(path, std::string_view(source).substr(written, size));
                written += size;
                for (const int seen = scans.load(); piece % 4 == 0 && scans.load() == seen;)
                    std::this_thread::yield();
            }
            done = true;
        });
        int misses = 0;
        while (!done) {
            auto running = scanner.scan();
            misses += (scanner.scan().result().size() != 1) + (running.result().size() != 1);
            ++scans;
        }
        writer.join();
        QVERIFY(scans > 1);
        QCOMPARE(misses, 0);
        // From tests/tools/transcript_totals.py.
        QCOMPARE(scanner.scan().result()[0].usage,
                 (TranscriptUsage {{3006, 84, 600, 15006}, 6307, "claude-opus-5-5", 3}));
    }
};

QTEST_GUILESS_MAIN(TestSessionScanner)
#include "tst_sessionscanner.moc"
