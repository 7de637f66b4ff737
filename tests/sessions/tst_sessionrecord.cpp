#include "sessions/SessionInfo.h"
#include "sessions/SessionRecord.h"
#include "sessions/TokenCount.h"

#include <QTest>

using namespace lullwatch;

Q_DECLARE_METATYPE(std::optional<SessionRecord>)

namespace {

SessionRecord required()
{
    SessionRecord record;
    record.sessionId = "s1";
    record.state = SessionState::Working;
    record.event = "UserPromptSubmit";
    record.cwd = "/home/dev/site";
    record.transcriptPath = "/tmp/t.jsonl";
    record.updatedAt = 1733500000;
    return record;
}

template<typename Change> std::optional<SessionRecord> requiredWith(Change change)
{
    SessionRecord record = required();
    change(record);
    return record;
}

const QByteArray requiredKeys
    = R"("sessionId":"s1","state":"working","event":"UserPromptSubmit","cwd":"/home/dev/site","transcriptPath":"/tmp/t.jsonl","updatedAt":1733500000)";

QByteArray withRequired(const char *extra)
{
    return '{' + requiredKeys + extra + '}';
}

} // namespace

class TestSessionRecord : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<std::optional<SessionRecord>>("expected");

        const std::optional<SessionRecord> failure;

        QTest::newRow("required keys only") << withRequired("") << std::optional(required());
        QTest::newRow("all nine keys") << withRequired(
            R"(,"source":"copilot","notification_type":"permission_prompt","pid":4242)")
                                       << requiredWith([](SessionRecord &r) {
                                              r.source = SessionSource::Copilot;
                                              r.notificationType = "permission_prompt";
                                              r.pid = 4242;
                                          });
        QTest::newRow("keys in another order, payload keys ignored") << QByteArray(
            R"({"hook_event_name":"Stop","updatedAt":1733500000,"transcript_path":"x","cwd":"/home/dev/site",)"
            R"("session_id":"zz","transcriptPath":"/tmp/t.jsonl","event":"UserPromptSubmit","state":"working","sessionId":"s1"})")
                                                                     << std::optional(required());
        QTest::newRow("null source is none") << withRequired(R"(,"source":null)") << std::optional(required());
        QTest::newRow("claude source") << withRequired(R"(,"source":"claude")")
                                       << requiredWith([](SessionRecord &r) { r.source = SessionSource::Claude; });
        QTest::newRow("source from a SessionStart payload") << withRequired(R"(,"source":"startup")") << failure;
        QTest::newRow("source in capitals") << withRequired(R"(,"source":"Claude")") << failure;
        QTest::newRow("source not a string") << withRequired(R"(,"source":1)") << failure;
        QTest::newRow("camel-case notification key ignored")
            << withRequired(R"(,"notificationType":"idle_prompt")") << std::optional(required());
        QTest::newRow("notification null") << withRequired(R"(,"notification_type":null)") << std::optional(required());
        QTest::newRow("notification not a string is none")
            << withRequired(R"(,"notification_type":3)") << std::optional(required());
        QTest::newRow("notification an object is none")
            << withRequired(R"(,"notification_type":{"kind":"idle_prompt"})") << std::optional(required());
        QTest::newRow("fractional updatedAt") << QByteArray(
            R"({"sessionId":"s1","state":"working","event":"UserPromptSubmit","cwd":"/home/dev/site","transcriptPath":"/tmp/t.jsonl","updatedAt":1733500000.25})")
                                              << requiredWith([](SessionRecord &r) { r.updatedAt = 1733500000.25; });
        QTest::newRow("updatedAt as string") << QByteArray(
            R"({"sessionId":"s1","state":"working","event":"e","cwd":"","transcriptPath":"","updatedAt":"1"})")
                                             << failure;
        QTest::newRow("empty strings, negative pid, future time decode as they stand") << QByteArray(
            R"({"sessionId":"","state":"ended","event":"","cwd":"","transcriptPath":"","updatedAt":4102444800,"pid":-7})")
                                                                                       << std::optional(SessionRecord {
                                                                                              "",
                                                                                              SessionState::Ended,
                                                                                              "",
                                                                                              "",
                                                                                              "",
                                                                                              4102444800.0,
                                                                                              {},
                                                                                              {},
                                                                                              -7});
        QTest::newRow("pid written as 42.0")
            << withRequired(R"(,"pid":42.0)") << requiredWith([](SessionRecord &r) { r.pid = 42; });
        QTest::newRow("pid null") << withRequired(R"(,"pid":null)") << std::optional(required());
        QTest::newRow("pid fraction") << withRequired(R"(,"pid":42.5)") << failure;
        QTest::newRow("pid string") << withRequired(R"(,"pid":"42")") << failure;
        QTest::newRow("pid beyond 64 bits") << withRequired(R"(,"pid":18446744073709551615)") << failure;
        QTest::newRow("state in capitals") << QByteArray(
            R"({"sessionId":"s1","state":"Working","event":"e","cwd":"","transcriptPath":"","updatedAt":1})")
                                           << failure;
        QTest::newRow("unknown state") << QByteArray(
            R"({"sessionId":"s1","state":"busy","event":"e","cwd":"","transcriptPath":"","updatedAt":1})")
                                       << failure;
        QTest::newRow("missing cwd") << QByteArray(
            R"({"sessionId":"s1","state":"idle","event":"e","transcriptPath":"","updatedAt":1})")
                                     << failure;
        QTest::newRow("null transcript path") << QByteArray(
            R"({"sessionId":"s1","state":"idle","event":"e","cwd":"","transcriptPath":null,"updatedAt":1})")
                                              << failure;
        QTest::newRow("session id a number")
            << QByteArray(R"({"sessionId":1,"state":"idle","event":"e","cwd":"","transcriptPath":"","updatedAt":1})")
            << failure;
        QTest::newRow("top level array") << QByteArray("[" + withRequired("") + "]") << failure;
        QTest::newRow("truncated") << withRequired("").chopped(5) << failure;
        QTest::newRow("empty file") << QByteArray() << failure;
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe{\"", 5) << failure;
        QTest::newRow("invalid UTF-8 in a string")
            << QByteArray("{\"sessionId\":\"s\xff\",\"state\":\"idle\",\"event\":\"e\",\"cwd\":\"\",\"transcriptPath\":"
                          "\"\",\"updatedAt\":1}")
            << failure;
        QTest::newRow("deep nesting in an unknown key")
            << withRequired(QByteArray(",\"x\":" + QByteArray(100000, '[') + QByteArray(100000, ']')).constData())
            << failure;
        QTest::newRow("number out of range") << withRequired(R"(,"x":1e999)") << failure;
        // The record's own object is the first level.
        QTest::newRow("nested 512 levels")
            << withRequired(QByteArray(",\"x\":" + QByteArray(511, '[') + '1' + QByteArray(511, ']')).constData())
            << std::optional(required());
        QTest::newRow("nested 513 levels")
            << withRequired(QByteArray(",\"x\":" + QByteArray(512, '[') + '1' + QByteArray(512, ']')).constData())
            << failure;
    }

    void decode()
    {
        QFETCH(QByteArray, json);
        QFETCH(std::optional<SessionRecord>, expected);
        const auto decoded = decodeSessionRecord(std::string_view(json.constData(), json.size()));
        QCOMPARE(decoded.has_value(), expected.has_value());
        if (!expected)
            return;
        QVERIFY(*decoded == *expected);

        // Read in pieces for its lifetime alone, as a record too large to
        // decode is, it gives the same age and owner.
        RecordLifetimeReader reader;
        for (qsizetype start = 0; start < json.size()
             && reader.feed(std::string_view(json.constData() + start, std::min<qsizetype>(3, json.size() - start)));
             start += 3) { }
        QVERIFY(reader.finish() == (RecordLifetime {expected->updatedAt, expected->pid}));
    }

    void formatTokenCount_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << QStringLiteral("0");
        QTest::newRow("negative") << qint64(-5) << QStringLiteral("-5");
        QTest::newRow("999") << qint64(999) << QStringLiteral("999");
        QTest::newRow("1000") << qint64(1000) << QStringLiteral("1k");
        QTest::newRow("1999") << qint64(1999) << QStringLiteral("1k");
        QTest::newRow("12345") << qint64(12345) << QStringLiteral("12k");
        QTest::newRow("999999") << qint64(999999) << QStringLiteral("999k");
        QTest::newRow("one million") << qint64(1000000) << QStringLiteral("1.0M");
        QTest::newRow("1.3 million") << qint64(1300000) << QStringLiteral("1.3M");
        QTest::newRow("15.6 million") << qint64(15600000) << QStringLiteral("15.6M");
        QTest::newRow("1234.57 million") << qint64(1234570000) << QStringLiteral("1234.6M");
        QTest::newRow("largest") << std::numeric_limits<qint64>::max() << QStringLiteral("9223372036854.8M");
        QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << QStringLiteral("-9223372036854775808");
    }

    void formatTokenCount()
    {
        QFETCH(qint64, count);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(lullwatch::formatTokenCount(count)), text);
    }

    void sessionEquality()
    {
        SessionInfo a;
        a.id = "s";
        a.updatedAt = timePointFromEpochSeconds(10);
        SessionInfo b = a;
        QVERIFY(a == b);

        b.usage.model = "claude-opus-4-6";
        QVERIFY(!(a == b)); // absent against present model

        b = a;
        b.isStale = true;
        QVERIFY(!(a == b));

        b = a;
        b.updatedAt = timePointFromEpochSeconds(10.000001);
        QVERIFY(!(a == b)); // time points compare exactly
    }
};

QTEST_GUILESS_MAIN(TestSessionRecord)
#include "tst_sessionrecord.moc"
