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
        QTest::newRow("source from a SessionStart payload") << withRequired(R"(,"source":"startup")") << failure;
        QTest::newRow("source not a string") << withRequired(R"(,"source":1)") << failure;
        QTest::newRow("notification not a string is none")
            << withRequired(R"(,"notification_type":3)") << std::optional(required());
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
        QTest::newRow("pid fraction") << withRequired(R"(,"pid":42.5)") << failure;
        QTest::newRow("pid beyond 64 bits") << withRequired(R"(,"pid":18446744073709551615)") << failure;
        QTest::newRow("unknown state") << QByteArray(
            R"({"sessionId":"s1","state":"busy","event":"e","cwd":"","transcriptPath":"","updatedAt":1})")
                                       << failure;
        QTest::newRow("missing cwd") << QByteArray(
            R"({"sessionId":"s1","state":"idle","event":"e","transcriptPath":"","updatedAt":1})")
                                     << failure;
        QTest::newRow("truncated") << withRequired("").chopped(5) << failure;
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe{\"", 5) << failure;
        QTest::newRow("invalid UTF-8 in a string")
            << QByteArray("{\"sessionId\":\"s\xff\",\"state\":\"idle\",\"event\":\"e\",\"cwd\":\"\",\"transcriptPath\":"
                          "\"\",\"updatedAt\":1}")
            << failure;
        QTest::newRow("deep nesting in an unknown key")
            << withRequired(QByteArray(",\"x\":" + QByteArray(100000, '[') + QByteArray(100000, ']')).constData())
            << failure;
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

    // A record cut short, or deeper than records go, tells no lifetime.
    void lifetimeOfBrokenRecords_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("cut in a number") << withRequired("").chopped(5);
        QTest::newRow("cut in a string") << QByteArray("{\"updatedAt\":1,\"cwd\":\"/ho");
        QTest::newRow("cut in a list") << QByteArray("{\"updatedAt\":1,\"x\":[[1");
        QTest::newRow("nested 513 levels")
            << withRequired(QByteArray(",\"x\":" + QByteArray(512, '[') + '1' + QByteArray(512, ']')).constData());
    }

    void lifetimeOfBrokenRecords()
    {
        QFETCH(QByteArray, json);
        RecordLifetimeReader reader;
        reader.feed(std::string_view(json.constData(), json.size()));
        QVERIFY(!reader.finish());
    }

    void formatTokenCount_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::addColumn<QString>("text");
        QTest::newRow("negative") << qint64(-5) << QStringLiteral("-5");
        QTest::newRow("999") << qint64(999) << QStringLiteral("999");
        QTest::newRow("1000") << qint64(1000) << QStringLiteral("1k");
        QTest::newRow("999999") << qint64(999999) << QStringLiteral("999k");
        QTest::newRow("one million") << qint64(1000000) << QStringLiteral("1.0M");
        QTest::newRow("15.6 million") << qint64(15600000) << QStringLiteral("15.6M");
        QTest::newRow("largest") << std::numeric_limits<qint64>::max() << QStringLiteral("9223372036854.8M");
        QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << QStringLiteral("-9223372036854775808");
    }

    void formatTokenCount()
    {
        QFETCH(qint64, count);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(lullwatch::formatTokenCount(count)), text);
    }
};

QTEST_GUILESS_MAIN(TestSessionRecord)
#include "tst_sessionrecord.moc"
