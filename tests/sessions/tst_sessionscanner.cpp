#include "sessions/SessionScanner.h"
#include "support/FakeClock.h"
#include "support/FakeProcessProbe.h"
#include "support/TestFiles.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

using namespace lullwatch;
using namespace lullwatch::test;
namespace fs = std::filesystem;

Q_DECLARE_METATYPE(SessionState)
Q_DECLARE_METATYPE(std::optional<double>)

namespace {

constexpr double now = 1'800'000'000.0;

void setModificationTime(const fs::path &path, double epochSeconds, int flags = 0)
{
    const timespec times[2] = {{static_cast<time_t>(epochSeconds), 0},
                               {static_cast<time_t>(epochSeconds),
                                static_cast<long>((epochSeconds - static_cast<time_t>(epochSeconds)) * 1e9)}};
    QCOMPARE(::utimensat(AT_FDCWD, path.c_str(), times, flags), 0);
}

std::string line(const char *json)
{
    return std::string(json) + '\n';
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
    FakeProcessProbe m_probe;

    std::vector<SessionInfo> scan(SessionScanner &scanner) { return scanner.scan().result(); }

    std::vector<SessionInfo> scanOnce()
    {
        SessionScanner scanner(m_sessions, m_clock, m_probe, {}, m_temporary);
        return scan(scanner);
    }

    fs::path writeRecord(const std::string &name, const std::string &json)
    {
        fs::create_directories(m_sessions);
        const auto path = m_sessions / name;
        writeFile(path, json);
        return path;
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
        m_clock.set(now);
    }

    void createsTheFolder()
    {
        SessionScanner scanner(m_sessions / "deeper", m_clock, m_probe, {}, m_temporary);
        QVERIFY(scan(scanner).empty());
        const auto mode = [&] { return fs::status(m_sessions / "deeper").permissions(); };
        QCOMPARE(mode(), fs::perms::owner_all);
        fs::permissions(m_sessions / "deeper", fs::perms::group_read | fs::perms::group_exec, fs::perm_options::add);
        scan(scanner);
        QCOMPARE(mode(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec); // the user's choice
    }

    void expiry_data()
    {
        QTest::addColumn<double>("age");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<QString>("content"); // a record, unless "oversize" or "undecodable"
        for (const auto &content : {QString(), QStringLiteral("oversize"), QStringLiteral("undecodable")}) {
            QTest::addRow("%s exactly one day old", qPrintable(content)) << 86400.0 << true << content;
            QTest::addRow("%s a day and half a second old", qPrintable(content)) << 86400.5 << false << content;
        }
        QTest::newRow("from the future") << -3600.0 << true << QString();
    }

    void expiry()
    {
        QFETCH(double, age);
        QFETCH(bool, kept);
        QFETCH(QString, content);
        // The owner is alive: age alone decides; an undecodable record's age is its file's.
        const std::string pid = R"(,"pid":77)";
        const auto path
            = writeRecord("s.json",
                          content == u"oversize"          ? oversizeRecord("working", now - age, pid)
                              : content == u"undecodable" ? std::string("{\"sessionId\":\"s\",\"state\":\"work")
                                                          : recordJson("s", "working", now - age, "", pid));
        setModificationTime(path, now - age);
        const auto sessions = scanOnce();
        QCOMPARE(sessions.size(), kept && content.isEmpty() ? 1u : 0u);
        QCOMPARE(fs::exists(path), kept);
        if (age < 0)
            QVERIFY(!sessions[0].isStale); // a future updatedAt has a negative age
    }

    void owner_data()
    {
        QTest::addColumn<QString>("pidKey");
        QTest::addColumn<int>("probeAnswer");
        QTest::addColumn<bool>("probed");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<bool>("oversize");
        QTest::newRow("no pid") << QString() << ESRCH << false << true << false;
        QTest::newRow("pid 0") << QStringLiteral(R"(,"pid":0)") << ESRCH << false << true << false;
        QTest::newRow("pid beyond 32 bits")
            << QStringLiteral(R"(,"pid":2147483648)") << ESRCH << false << true << false;
        QTest::newRow("largest pid, gone") << QStringLiteral(R"(,"pid":2147483647)") << ESRCH << true << false << false;
        QTest::newRow("alive") << QStringLiteral(R"(,"pid":4242)") << 0 << true << true << false;
        QTest::newRow("someone else's process") << QStringLiteral(R"(,"pid":4242)") << EPERM << true << true << false;
        QTest::newRow("gone") << QStringLiteral(R"(,"pid":4242)") << ESRCH << true << false << false;
        QTest::newRow("oversize, alive") << QStringLiteral(R"(,"pid":4242)") << 0 << true << true << true;
        QTest::newRow("oversize, gone") << QStringLiteral(R"(,"pid":4242)") << ESRCH << true << false << true;
    }

    void owner()
    {
        QFETCH(QString, pidKey);
        QFETCH(int, probeAnswer);
        QFETCH(bool, probed);
        QFETCH(bool, kept);
        QFETCH(bool, oversize);
        FakeProcessProbe probe;
        for (std::int32_t pid : {4242, 2147483647, 0, -1})
            probe.answer(pid, probeAnswer);
        const auto path = writeRecord("s.json",
                                      oversize ? oversizeRecord("working", now, pidKey.toStdString())
                                               : recordJson("s", "working", now, "", pidKey.toStdString()));
        writeRecord("other.json", recordJson("other", "idle", now - 5));

        SessionScanner scanner(m_sessions, m_clock, probe, {}, m_temporary);
        const auto sessions = scan(scanner);
        QCOMPARE(fs::exists(path), kept);
        QCOMPARE(sessions.size(), kept && !oversize ? 2u : 1u); // gone from the same scan that deletes it
        QCOMPARE(sessions.back().id, std::string("other"));
        QCOMPARE(probe.asked().empty(), !probed);
        // Only a pid that names one process is passed on.
        if (kept && !oversize)
            QCOMPARE(sessions.front().pid, probed ? std::optional(4242) : std::nullopt);
    }

    void recordReplacedWhileItsOwnerIsProbed()
    {
        const auto path = writeRecord("s.json", recordJson("s", "working", now, "", R"(,"pid":4242)"));
        FakeProcessProbe probe;
        probe.answer(4242, ESRCH);
        probe.whenProbed([&](std::int32_t pid) {
            if (pid != 4242)
                return;
            const auto temporary = writeRecord(".record.Xy7", recordJson("s", "waiting", now, "", R"(,"pid":4343)"));
            fs::rename(temporary, path);
        });
        SessionScanner scanner(m_sessions, m_clock, probe, {}, m_temporary);
        QVERIFY(scan(scanner).empty());
        QVERIFY(fs::exists(path));
        const auto sessions = scan(scanner);
        QCOMPARE(sessions.size(), 1u);
        QCOMPARE(sessions[0].state, SessionState::Waiting);
    }

    void effectiveState_data()
    {
        QTest::addColumn<SessionState>("recorded");
        QTest::addColumn<QString>("notification");
        QTest::addColumn<std::optional<double>>("entryLead");
        QTest::addColumn<bool>("interrupt");
        QTest::addColumn<SessionState>("expected");
        const std::optional<double> noEntry;
        using S = SessionState;

        QTest::newRow("idle ignores the transcript") << S::Idle << QString() << std::optional(30.0) << false << S::Idle;
        // Claude Code's kinds that ask nothing of the user.
        for (const char *kind : {"idle_prompt", "auth_success"}) {
            QTest::addRow("waiting for %s is idle", kind)
                << S::Waiting << QString::fromLatin1(kind) << std::optional(30.0) << false << S::Idle;
        }
        for (const char *kind : {"permission_prompt", "IDLE_PROMPT"}) {
            QTest::addRow("waiting for %s", kind)
                << S::Waiting << QString::fromLatin1(kind) << noEntry << false << S::Waiting;
        }
        QTest::newRow("waiting without kind") << S::Waiting << QString() << noEntry << false << S::Waiting;
        QTest::newRow("waiting, transcript moved on 5 s later")
            << S::Waiting << QStringLiteral("permission_prompt") << std::optional(5.0) << false << S::Working;
        QTest::newRow("working, entry exactly 1 s newer, interrupt")
            << S::Working << QString() << std::optional(1.0) << true << S::Working;
        QTest::newRow("working, entry 1.5 s newer, interrupt")
            << S::Working << QString() << std::optional(1.5) << true << S::Idle;
        QTest::newRow("working, entry 1.5 s newer, no interrupt")
            << S::Working << QString() << std::optional(1.5) << false << S::Working;
        QTest::newRow("working, entry older, interrupt")
            << S::Working << QString() << std::optional(-20.0) << true << S::Working;
        QTest::newRow("waiting, interrupt 2 s later")
            << S::Waiting << QString() << std::optional(2.0) << true << S::Idle;
    }

    void effectiveState()
    {
        QFETCH(SessionState, recorded);
        QFETCH(QString, notification);
        QFETCH(std::optional<double>, entryLead);
        QFETCH(bool, interrupt);
        QFETCH(SessionState, expected);

        SessionRecord record;
        record.state = recorded;
        if (!notification.isNull())
            record.notificationType = notification.toStdString();
        const TimePoint updated = timePointFromEpochSeconds(now);
        TranscriptActivity activity;
        activity.endedInInterrupt = interrupt;
        if (entryLead)
            activity.lastEntryAt = timePointFromEpochSeconds(now + *entryLead);
        QCOMPARE(SessionScanner::effectiveState(record, updated, activity), expected);
    }

    void staleness_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<double>("recordAge");
        QTest::addColumn<std::optional<double>>("transcriptAge");
        QTest::addColumn<bool>("stale");
        const std::optional<double> noTranscript;
        QTest::newRow("working, silent 601 s") << QStringLiteral("working") << 601.0 << std::optional(601.0) << true;
        QTest::newRow("working, silent exactly 600 s")
            << QStringLiteral("working") << 600.0 << std::optional(600.0) << false;
        QTest::newRow("working, no transcript, 601 s") << QStringLiteral("working") << 601.0 << noTranscript << true;
        QTest::newRow("old record, transcript written 10 s ago")
            << QStringLiteral("working") << 80000.0 << std::optional(10.0) << false;
        QTest::newRow("old transcript, fresh record")
            << QStringLiteral("working") << 5.0 << std::optional(5000.0) << false;
        QTest::newRow("waiting is never stale")
            << QStringLiteral("waiting") << 5000.0 << std::optional(5000.0) << false;
    }

    void staleness()
    {
        QFETCH(QString, state);
        QFETCH(double, recordAge);
        QFETCH(std::optional<double>, transcriptAge);
        QFETCH(bool, stale);
        std::string transcriptPath;
        if (transcriptAge) {
            const auto path = transcript("quiet.jsonl", "");
            setModificationTime(path, now - *transcriptAge);
            transcriptPath = path.string();
        }
        writeRecord("s.json",
                    recordJson("s", state.toStdString(), now - recordAge, transcriptPath,
                               R"(,"notification_type":"permission_prompt")"));
        const auto sessions = scanOnce();
        QCOMPARE(sessions.size(), 1u);
        QCOMPARE(sessions[0].isStale, stale);
    }

    void sessionFields()
    {
        writeRecord("a.json",
                    recordJson("a", "working", now - 1, "/nowhere/a.jsonl", R"(,"source":"copilot")", "/home/dev/api"));
        const auto sessions = scanOnce();
        QCOMPARE(sessions.size(), 1u);
        SessionInfo expected;
        expected.id = "a";
        expected.source = SessionSource::Copilot;
        expected.state = SessionState::Working;
        expected.event = "UserPromptSubmit";
        expected.cwd = "/home/dev/api";
        expected.transcriptPath = "/nowhere/a.jsonl";
        expected.updatedAt = timePointFromEpochSeconds(now - 1);
        QVERIFY(sessions[0] == expected);

        writeRecord("a.json", recordJson("a", "working", now - 1, "/nowhere/a.jsonl"));
        QCOMPARE(scanOnce()[0].source, SessionSource::Claude);
    }

    void newestFirst()
    {
        writeRecord("p.json", recordJson("p", "idle", now - 100));
        writeRecord("newest.json", recordJson("newest", "idle", now - 1));
        writeRecord("oldest.json", recordJson("oldest", "idle", now - 1000));

        const auto sessions = scanOnce();
        QCOMPARE(sessions.size(), 3u);
        QCOMPARE(sessions.front().id, std::string("newest"));
        QCOMPARE(sessions.back().id, std::string("oldest"));
    }

    void badFilesAreSkippedAndKept()
    {
        writeRecord("good.json", recordJson("good", "idle", now));
        writeRecord(".hidden.json", recordJson("hidden", "idle", now - 1));
        fs::create_directories(m_sessions / "folder.json");
        const auto broken = writeRecord("broken.json", "{\"sessionId\":\"x\",\"state\":\"work");
        const auto foreign = writeRecord("startup.json", recordJson("y", "idle", now, "", ",\"source\":\"startup\""));
        const auto binary = writeRecord("binary.json", std::string("\0\x01\xff\xfe", 4));
        QCOMPARE(::mkfifo((m_sessions / "pipe.json").c_str(), 0600), 0);
        QCOMPARE(::symlink("/dev/zero", (m_sessions / "zero.json").c_str()), 0);
        const auto huge = writeRecord("huge.json", oversizeRecord("idle", now));
        const auto temporary = writeRecord("a.json.tmp", recordJson("t", "idle", now));
        const auto script = writeRecord(".record.Ab3dEf7h", recordJson("r", "idle", now));
        for (const auto &path : {broken, foreign, binary, huge, temporary, script})
            setModificationTime(path, now);

        SessionScanner scanner(m_sessions, m_clock, m_probe, {}, m_temporary);
        for (int round = 0; round < 2; ++round) {
            const auto sessions = scan(scanner);
            QCOMPARE(sessions.size(), 2u);
            QCOMPARE(sessions[0].id + sessions[1].id, std::string("goodhidden"));
        }
        for (const auto &path :
             {broken, foreign, binary, huge, temporary, script, m_sessions / "folder.json", m_sessions / "pipe.json"})
            QVERIFY(fs::exists(fs::symlink_status(path)));
    }

    void temporaries_data()
    {
        QTest::addColumn<bool>("inSessions"); // else in the temporary folder
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("age");
        QTest::addColumn<QString>("kind"); // "file", "foreign", "link" or "folder"
        QTest::addColumn<bool>("removed");
        const QString record = QStringLiteral(".record.Ab3dEf7h");
        const QString hook = QStringLiteral("lullwatch-hook.Ab3dEf7h");
        const QString file = QStringLiteral("file");
        QTest::newRow("record being written") << true << record << 600.0 << file << false;
        QTest::newRow("record left behind") << true << record << 600.5 << file << true;
        QTest::newRow("record's rewrite left behind")
            << true << QStringLiteral("..record.Ab3dEf7h.x1Y2z3") << 600.5 << file << true;
        QTest::newRow("payload being copied") << false << hook << 600.0 << file << false;
        QTest::newRow("payload left behind") << false << hook << 600.5 << file << true;
        QTest::newRow("someone else's payload") << false << hook << 600.5 << QStringLiteral("foreign") << false;
        QTest::newRow("link named like a payload") << false << hook << 600.5 << QStringLiteral("link") << false;
        QTest::newRow("payload in the sessions folder") << true << hook << 600.5 << file << false;
    }

    void temporaries()
    {
        QFETCH(bool, inSessions);
        QFETCH(QString, name);
        QFETCH(double, age);
        QFETCH(QString, kind);
        QFETCH(bool, removed);
        fs::create_directories(m_sessions);
        const auto path = (inSessions ? m_sessions : m_temporary) / name.toStdString();
        const auto target = m_temporary / "target";
        writeFile(target, "x");
        setModificationTime(target, now - age);
        if (kind == u"link") {
            fs::create_symlink(target, path);
        } else if (kind == u"folder") {
            fs::create_directory(path);
        } else {
            writeFile(path, "{}");
            if (kind == u"foreign" && ::chown(path.c_str(), 65534, 65534) != 0)
                QSKIP("Handing a file to another user takes root");
        }
        setModificationTime(path, now - age, AT_SYMLINK_NOFOLLOW);

        QVERIFY(scanOnce().empty());
        QCOMPARE(fs::exists(fs::symlink_status(path)), !removed);
        QVERIFY(fs::exists(target));
    }

    void listingFailureGivesNoSessions()
    {
        fs::create_directories(m_sessions.parent_path());
        writeFile(m_sessions, "not a folder");
        QVERIFY(scanOnce().empty());
        SessionScanner under(m_sessions / "sessions", m_clock, m_probe, {}, m_temporary);
        QVERIFY(scan(under).empty());
    }

    void cursorIsDroppedWithItsLastSession()
    {
        const auto path = transcript("shared.jsonl",
                                     line(R"({"type":"assistant","message":{"id":"a","usage":{"input_tokens":111}}})"));
        const auto record = recordJson("s", "working", now, path.string());
        writeRecord("s.json", record);
        writeRecord("twin.json", recordJson("twin", "working", now - 1, path.string()));
        SessionScanner scanner(m_sessions, m_clock, m_probe, {}, m_temporary);
        QCOMPARE(scan(scanner)[0].usage.tokens.input, 111);

        writeFile(path, line(R"({"type":"assistant","message":{"id":"a","usage":{"input_tokens":222}}})"));
        fs::remove(m_sessions / "s.json");
        QCOMPARE(scan(scanner)[0].usage.tokens.input, 111); // the twin keeps the shared cursor
        fs::remove(m_sessions / "twin.json");
        QVERIFY(scan(scanner).empty());

        writeRecord("s.json", record);
        const auto sessions = scan(scanner);
        QCOMPARE(sessions[0].usage.tokens.input, 222);
        QCOMPARE(sessions[0].usage.turns, 1);
    }

    // Sessions that share a transcript share its one bounded read per scan.
    void sharedTranscriptIsReadOncePerScan()
    {
        std::string lines;
        for (int i = 0; i < 20; ++i)
            lines += line(R"({"type":"assistant","message":{"usage":{"input_tokens":1}}})");
        const auto path = transcript("bounded.jsonl", lines);
        const TranscriptReader::Limits limits {.chunkSize = 64, .maxLineLength = 128, .maxBytesPerRead = 1};
        writeRecord("s.json", recordJson("s", "working", now, path.string()));
        SessionScanner alone(m_sessions, m_clock, m_probe, limits, m_temporary);
        const auto once = scan(alone)[0].usage.tokens.input;
        QVERIFY(once > 0 && once < 10);
        writeRecord("twin.json", recordJson("twin", "working", now - 1, path.string()));
        SessionScanner shared(m_sessions, m_clock, m_probe, limits, m_temporary);
        for (const auto &session : scan(shared))
            QCOMPARE(session.usage.tokens.input, once);
    }

    // An agent appends its transcript in arbitrary pieces while scans run; at
    // the end the totals equal those of one full read.
    void writerAppendsWhileScanning()
    {
        const std::string source
            = readFile(testData("transcripts/local-claude-code-2.1.332/permission-then-interrupt.jsonl"));
        const auto path = transcript("growing.jsonl", "");
        writeRecord("s.json", recordJson("s", "working", now, path.string()));
        SessionScanner scanner(m_sessions, m_clock, m_probe, {.chunkSize = 509, .maxLineLength = 64u << 20},
                               m_temporary);

        std::atomic<bool> done = false;
        std::atomic<int> scans = 0;
        std::thread writer([&] {
            QRandomGenerator random(20261206);
            std::size_t written = 0;
            for (int piece = 1; written < source.size(); ++piece) {
                const std::size_t size = std::min<std::size_t>(random.bounded(1, 2000), source.size() - written);
                appendFile(path, std::string_view(source).substr(written, size));
                written += size;
                if (piece % 4 == 0) {
                    const int seen = scans.load();
                    while (scans.load() == seen)
                        std::this_thread::yield();
                }
            }
            done = true;
        });
        while (!done) {
            scan(scanner);
            ++scans;
        }
        writer.join();
        const auto sessions = scan(scanner);
        QVERIFY(scans > 1);

        // From tests/tools/transcript_totals.py.
        QVERIFY(sessions[0].usage == (TranscriptUsage {{3006, 84, 600, 15006}, 6307, "claude-opus-5-5", 3}));
    }

    void scansQueueInOrder()
    {
        writeRecord("s.json", recordJson("s", "idle", now));
        SessionScanner scanner(m_sessions, m_clock, m_probe, {}, m_temporary);
        QList<QFuture<std::vector<SessionInfo>>> futures;
        for (int i = 0; i < 20; ++i)
            futures.append(scanner.scan());
        for (auto &future : futures)
            QCOMPARE(future.result().size(), 1u);
    }
};

QTEST_GUILESS_MAIN(TestSessionScanner)
#include "tst_sessionscanner.moc"
