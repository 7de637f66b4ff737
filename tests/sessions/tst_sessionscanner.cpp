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
    const auto whole = static_cast<time_t>(epochSeconds);
    const timespec times[2] = {{whole, 0}, {whole, static_cast<long>((epochSeconds - whole) * 1e9)}};
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
    fs::path m_files;
    fs::path m_sessions;
    fs::path m_temporary;
    FakeClock m_clock {now};
    std::unique_ptr<FakeProcessProbe> m_probe;

    SessionScanner scanner(TranscriptReader::Limits limits = {})
    {
        return SessionScanner(m_sessions, m_clock, *m_probe, limits, m_temporary);
    }

    std::vector<SessionInfo> scanOnce() { return scanner().scan().result(); }

    fs::path writeRecord(const std::string &name, const std::string &json) { return write(m_sessions / name, json); }

    fs::path transcript(const std::string &name, const std::string &content) { return write(m_files / name, content); }

    static fs::path write(const fs::path &path, const std::string &content)
    {
        writeFile(path, content);
        return path;
    }

private Q_SLOTS:
    void init()
    {
        static int round = 0;
        m_files = fs::path(m_root.path().toStdString()) / std::to_string(++round);
        fs::create_directories(m_sessions = m_files / "sessions");
        fs::create_directories(m_temporary = m_files / "temporary");
        m_probe = std::make_unique<FakeProcessProbe>();
    }

    // A record goes when over a day old or its owner is gone (an oversize one's is read from its first bytes);
    // an undecodable one's age is its file's.
    void recordLifetime()
    {
        m_probe->answer(4343, EPERM); // someone else's process
        for (std::int32_t pid : {4444, 0, std::numeric_limits<std::int32_t>::min()})
            m_probe->answer(pid, ESRCH);
        const std::tuple<std::string_view, double, std::string_view, bool> cases[] = {
            {"record", 86400, "4242", true},     {"record", 86400.5, "4242", false}, {"undecodable", 86400, "", true},
            {"undecodable", 86400.5, "", false}, {"record", 0, "4343", true},        {"record", 0, "4444", false},
            {"oversize", 0, "4444", false},      {"record", 0, "0", true},           {"record", 0, "2147483648", true},
        };
        std::vector<fs::path> paths;
        for (const auto &[content, age, pid, kept] : cases) {
            const std::string id = std::to_string(paths.size());
            const std::string owner = pid.empty() ? "" : ",\"pid\":" + std::string(pid);
            paths.push_back(writeRecord(id + ".json",
                                        content == "oversize"     ? oversizeRecord("working", now - age, owner)
                                            : content == "record" ? recordJson(id, "working", now - age, "", owner)
                                                                  : "{\"sessionId\":\"s\",\"state\":\"work"));
            setModificationTime(paths.back(), now - age);
        }
        // Gone from the same scan that deletes it; only a pid that names one process is passed on.
        std::set<std::string> listed;
        for (const auto &session : scanOnce())
            listed.insert(session.id + ':' + (session.pid ? std::to_string(*session.pid) : "-"));
        QCOMPARE(listed, (std::set<std::string> {"0:4242", "4:4343", "7:-", "8:-"}));
        for (std::size_t i = 0; i < paths.size(); ++i)
            QVERIFY2(fs::exists(paths[i]) == std::get<3>(cases[i]), paths[i].c_str());
    }

    void recordReplacedWhileItsOwnerIsProbed()
    {
        const auto path = writeRecord("s.json", recordJson("s", "working", now, "", R"(,"pid":4242)"));
        m_probe->answer(4242, ESRCH);
        m_probe->whenProbed([&](std::int32_t pid) {
            if (pid == 4242)
                fs::rename(writeRecord(".record.Xy7", recordJson("s", "waiting", now, "", R"(,"pid":4343)")), path);
        });
        QVERIFY(scanOnce().empty());
        const auto sessions = scanOnce();
        QCOMPARE(sessions.size(), 1u);
        QCOMPARE(sessions[0].state, SessionState::Waiting);
    }

    void effectiveState()
    {
        using S = SessionState;
        // Recorded state and notification, the transcript's last entry in seconds after the record and
        // whether it was an interrupt, the state shown.
        const std::tuple<S, std::optional<std::string>, double, bool, S> cases[] = {
            {S::Waiting, "auth_success", 30.0, false, S::Idle}, // a kind that asks nothing of the user
            {S::Waiting, "permission_prompt", -20.0, false, S::Waiting},
            {S::Waiting, "permission_prompt", 5.0, false, S::Working},
            {S::Working, {}, 1.5, true, S::Idle},
            {S::Working, {}, -20.0, true, S::Working},
        };
        for (const auto &[recorded, notification, entryLead, interrupt, expected] : cases) {
            const SessionRecord record {"", recorded, "", "", "", 0, {}, notification, {}};
            const TranscriptActivity activity {timePointFromEpochSeconds(now + entryLead), interrupt};
            QVERIFY2(SessionScanner::effectiveState(record, timePointFromEpochSeconds(now), activity) == expected,
                     notification.value_or("-").c_str());
        }
    }

    void staleness()
    {
        // State, record's age, transcript's age, stale.
        const std::tuple<const char *, double, std::optional<double>, bool> cases[] = {
            {"working", 601, 601.0, true},   {"working", 600, 600.0, false}, {"working", 601, {}, true},
            {"working", 80000, 10.0, false}, {"working", 5, 5000.0, false},  {"waiting", 5000, 5000.0, false},
        };
        for (const auto &c : cases) {
            const auto &[state, recordAge, transcriptAge, stale] = c;
            const auto id = std::to_string(&c - cases);
            std::string transcriptPath;
            if (transcriptAge) {
                transcriptPath = transcript(id + ".jsonl", "").string();
                setModificationTime(transcriptPath, now - *transcriptAge);
            }
            writeRecord(
                id + ".json",
                recordJson(id, state, now - recordAge, transcriptPath, R"(,"notification_type":"permission_prompt")"));
        }
        const auto sessions = scanOnce();
        QCOMPARE(sessions.size(), std::size(cases));
        for (const auto &session : sessions)
            QVERIFY2(session.isStale == std::get<3>(cases[std::stoi(session.id)]), session.id.c_str());
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
        const auto sessions = scanOnce();
        QCOMPARE(sessions.size(), 2u);
        QCOMPARE(sessions[0].id + sessions[1].id, std::string("goodhidden"));
        for (const auto &path : kept)
            QVERIFY(fs::exists(fs::symlink_status(path)));
    }

    // What killed hooks left behind goes after ten minutes: the user's own plain files (folder, name, kind), no others.
    void temporaries()
    {
        const auto target = m_temporary / "target";
        writeFile(target, "x");
        setModificationTime(target, now - 700);
        const std::tuple<fs::path, const char *, std::string_view> cases[] = {
            {m_sessions, ".record.Bb3dEf7h", "file"}, // from a hook killed while it wrote
            {m_temporary, "lullwatch-hook.Bb3dEf7h", "file"},
            {m_temporary, "lullwatch-copilot-hook.Ab3dEf7h", "file"},
            {m_temporary, "lullwatch-hook.Cb3dEf7h", "foreign"},
            {m_temporary, "lullwatch-hook.Db3dEf7h", "link"},
        };
        bool handedOver = false; // to another user, which takes root
        for (const auto &[folder, name, kind] : cases) {
            if (kind == "link")
                fs::create_symlink(target, folder / name);
            else
                writeFile(folder / name, "{}");
            if (kind == "foreign")
                handedOver = ::chown((folder / name).c_str(), 65534, 65534) == 0;
            setModificationTime(folder / name, now - 600.5, AT_SYMLINK_NOFOLLOW);
        }
        QVERIFY(scanOnce().empty());
        for (const auto &[folder, name, kind] : cases) {
            if (kind != "foreign" || handedOver)
                QVERIFY2(fs::exists(fs::symlink_status(folder / name)) == (kind != "file"), name);
        }
        QVERIFY(fs::exists(target));
    }

    // Sessions that share a transcript share its one bounded read per scan; its cursor goes with the last of them.
    void transcriptCursors()
    {
        const auto lines
            = [](int input) { return QByteArray::fromStdString(assistantLine(input)).repeated(20).toStdString(); };
        const auto path = transcript("shared.jsonl", lines(1));
        writeRecord("s.json", recordJson("s", "working", now, path.string()));
        writeRecord("twin.json", recordJson("twin", "working", now - 1, path.string()));
        auto scanner = this->scanner({.chunkSize = 64, .maxLineLength = 128, .maxBytesPerRead = 1});
        const auto shared = scanner.scan().result();
        QVERIFY(shared[0].usage.tokens.input > 0 && shared[0].usage.tokens.input < 20);
        QCOMPARE(shared[0].usage, shared[1].usage);

        writeFile(path, lines(2));
        fs::remove(m_sessions / "s.json");
        fs::remove(m_sessions / "twin.json");
        scanner.scan().waitForFinished();
        writeRecord("s.json", recordJson("s", "working", now, path.string()));
        QCOMPARE(scanner.scan().result()[0].usage.tokens.input, 2 * shared[0].usage.tokens.input);
    }

    // Scans, one asked for while another runs, while the agent appends in arbitrary pieces.
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
