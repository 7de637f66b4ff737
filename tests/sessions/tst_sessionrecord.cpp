#include "sessions/SessionInfo.h"
#include "sessions/SessionRecord.h"
#include "sessions/TokenCount.h"

#include <QTest>

using namespace lullwatch;

Q_DECLARE_METATYPE(std::optional<SessionRecord>)

namespace {

const QByteArray valid
    = R"({"sessionId":"s1","state":"working","event":"UserPromptSubmit","cwd":"/home/dev/site","transcriptPath":"/tmp/t.jsonl","updatedAt":1733500000})";

// The valid record with one piece of text replaced.
QByteArray changed(const QByteArray &from, const QByteArray &to)
{
    return QByteArray(valid).replace(from, to);
}

// The valid record with `brackets` nested lists in an unknown key.
QByteArray nested(int brackets)
{
    return changed("}", ",\"x\":" + QByteArray(brackets, '[') + '1' + QByteArray(brackets, ']') + '}');
}

std::optional<SessionRecord> decoded(std::optional<SessionSource> source = {},
                                     std::optional<std::string> notification = {}, std::optional<std::int64_t> pid = {},
                                     double updatedAt = 1733500000, SessionState state = SessionState::Working)
{
    return SessionRecord {"s1",         state, "UserPromptSubmit", "/home/dev/site", "/tmp/t.jsonl", updatedAt, source,
                          notification, pid};
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
        QTest::newRow("required keys only") << valid << decoded();
        QTest::newRow("all nine keys, pid written as 4242.0")
            << changed("}", R"(,"source":"copilot","notification_type":"permission_prompt","pid":4242.0})")
            << decoded(SessionSource::Copilot, "permission_prompt", 4242);
        QTest::newRow("null source is none") << changed("}", R"(,"source":null})") << decoded();
        QTest::newRow("source from a SessionStart payload") << changed("}", R"(,"source":"startup"})") << failure;
        QTest::newRow("ended, negative pid, fractional updatedAt")
            << changed("working\"", "ended\",\"pid\":-7").replace("1733500000", "1733500000.25")
            << decoded({}, {}, -7, 1733500000.25, SessionState::Ended);
        QTest::newRow("pid fraction") << changed("}", R"(,"pid":42.5})") << failure;
        QTest::newRow("unknown state") << changed("working", "busy") << failure;
        QTest::newRow("missing cwd") << changed(R"("cwd":"/home/dev/site",)", "") << failure;
        // The record's own object is the first level.
        QTest::newRow("nested 512 levels") << nested(511) << decoded();
        QTest::newRow("nested 513 levels") << nested(512) << failure;
    }

    void decode()
    {
        QFETCH(QByteArray, json);
        QFETCH(std::optional<SessionRecord>, expected);
        const std::string_view text(json.constData(), json.size());
        QVERIFY(decodeSessionRecord(text) == expected);
        if (!expected)
            return;
        // Read in pieces for its lifetime alone, as a record too large to decode is: the same age and owner.
        RecordLifetimeReader reader;
        for (std::size_t start = 0; start < text.size() && reader.feed(text.substr(start, 3)); start += 3) { }
        QVERIFY(reader.finish() == (RecordLifetime {expected->updatedAt, expected->pid}));
    }

    // A record cut short, or deeper than records go, tells no lifetime.
    void lifetimeOfBrokenRecords()
    {
        for (const QByteArray &json : {valid.chopped(5), QByteArray("{\"updatedAt\":1,\"cwd\":\"/ho"),
                                       QByteArray(R"({"updatedAt":1,"x":[[1)"), nested(512)}) {
            RecordLifetimeReader reader;
            reader.feed(std::string_view(json.constData(), json.size()));
            QVERIFY2(!reader.finish(), json.left(40).constData());
        }
    }

    void formatTokenCount()
    {
        const std::pair<qint64, const char *> cases[] = {{999, "999"}, {999999, "999k"}, {15600000, "15.6M"}};
        for (const auto &[count, text] : cases)
            QCOMPARE(lullwatch::formatTokenCount(count), std::string(text));
    }
};

QTEST_GUILESS_MAIN(TestSessionRecord)
#include "tst_sessionrecord.moc"
