#include "sessions/Timestamp.h"
#include "sessions/TranscriptReader.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace lullwatch;
using namespace lullwatch::test;

Q_DECLARE_METATYPE(TranscriptUsage)
Q_DECLARE_METATYPE(std::optional<double>)
Q_DECLARE_METATYPE(TranscriptFormat)

namespace {

QByteArray assistant(const char *id, qint64 input, qint64 output, qint64 creation, qint64 read,
                     const char *model = nullptr, const char *extra = "")
{
    QByteArray message = "{";
    if (id)
        message += QByteArray(R"("id":")") + id + R"(",)";
    if (model)
        message += QByteArray(R"("model":")") + model + R"(",)";
    message += QByteArray(R"("usage":{"input_tokens":)") + QByteArray::number(input) + R"(,"output_tokens":)"
        + QByteArray::number(output) + R"(,"cache_creation_input_tokens":)" + QByteArray::number(creation)
        + R"(,"cache_read_input_tokens":)" + QByteArray::number(read) + "}}";
    return QByteArray(R"({"type":"assistant")") + extra + R"(,"message":)" + message + "}";
}

// A Gemini CLI message line as the agent writes it, for a message made
// `second` seconds after 2026-12-07T00:00:00Z (its copies keep that time);
// its "total" (input, output, thoughts and tool together) is not what is counted.
QByteArray geminiMessage(const char *id, int second, qint64 input, qint64 output, qint64 cached, qint64 thoughts,
                         qint64 tool, const char *model = nullptr, const char *type = "gemini")
{
    const QByteArray made
        = QDateTime::fromSecsSinceEpoch(1796601600 + second, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1();
    QByteArray line = "{";
    if (id)
        line += QByteArray(R"("id":")") + id + R"(",)";
    line += R"("timestamp":")" + made + R"(","type":")" + type
        + R"(","content":"Done.","thoughts":[],"tokens":{"input":)" + QByteArray::number(input) + R"(,"output":)"
        + QByteArray::number(output) + R"(,"cached":)" + QByteArray::number(cached) + R"(,"thoughts":)"
        + QByteArray::number(thoughts) + R"(,"tool":)" + QByteArray::number(tool) + R"(,"total":)"
        + QByteArray::number(input + output + thoughts + tool) + "}";
    if (model)
        line += QByteArray(R"(,"model":")") + model + '"';
    return line + "}";
}

// A Gemini CLI line that sets the conversation's messages.
QByteArray geminiSet(const QList<QByteArray> &messages)
{
    return R"({"$set":{"messages":[)" + messages.join(',') + R"(],"lastUpdated":"2026-12-07T00:22:53.000Z"}})";
}

// A Codex usage object; its total_tokens (input and output) is not what is counted.
QByteArray codexUsage(qint64 input, qint64 cached, qint64 written, qint64 output, qint64 reasoning)
{
    return R"({"input_tokens":)" + QByteArray::number(input) + R"(,"cached_input_tokens":)" + QByteArray::number(cached)
        + R"(,"cache_write_input_tokens":)" + QByteArray::number(written) + R"(,"output_tokens":)"
        + QByteArray::number(output) + R"(,"reasoning_output_tokens":)" + QByteArray::number(reasoning)
        + R"(,"total_tokens":)" + QByteArray::number(input + output) + "}";
}

// A Codex token_count event: the session's cumulative usage and the latest request's.
QByteArray codexTokenCount(const QByteArray &total, const QByteArray &last)
{
    return R"({"timestamp":"2026-12-07T00:23:05.691Z","type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":)"
        + total + R"(,"last_token_usage":)" + last
        + R"(,"last_usage_includes_reasoning":false,"model_context_window":258400},"rate_limits":{"primary":null}}})";
}

// A Codex usage record of one reply: the session's cumulative usage and the reply's.
QByteArray codexUsageRecord(const QByteArray &total, const QByteArray &reply)
{
    return R"({"timestamp":"2026-12-07T00:23:05.690Z","type":"token_usage_record","payload":{"thread_id":"t1","turn_id":"u1","response_id":"resp_1","usage":)"
        + reply + R"(,"turn_token_usage":)" + reply + R"(,"thread_token_usage":)" + total + "}}";
}

// A Codex event without details.
QByteArray codexEvent(const char *type, const char *timestamp)
{
    return QByteArray(R"({"timestamp":")") + timestamp + R"(","type":"event_msg","payload":{"type":")" + type
        + R"("}})";
}

TranscriptUsage usage(qint64 input, qint64 output, qint64 creation, qint64 read, qint64 context, qint64 turns,
                      std::optional<std::string> model = {})
{
    return TranscriptUsage {input, output, creation, read, context, std::move(model), turns};
}

TranscriptCursor ingestAll(const QList<QByteArray> &lines, TranscriptFormat format)
{
    TranscriptReader reader;
    TranscriptCursor cursor;
    for (const auto &line : lines)
        reader.ingestEntry(std::string_view(line.constData(), line.size()), cursor, format);
    return cursor;
}

constexpr auto claudeCode = TranscriptFormat::ClaudeCode;
constexpr auto geminiCli = TranscriptFormat::GeminiCli;
constexpr auto codexRollout = TranscriptFormat::CodexRollout;

struct ExpectedTotals {
    const char *file;
    TranscriptUsage usage;
    std::optional<double> lastEntryAt;
    bool endedInInterrupt;
    TranscriptFormat format = TranscriptFormat::ClaudeCode;
};

// Worked out with tests/tools/transcript_totals.py, a separate implementation.
const ExpectedTotals fixtureTotals[] = {
    {"claude-code-viewer/1af7fc5e-8455-4414-9ccd-011d40f70b2a.jsonl",
     usage(93, 953, 12698, 103219, 17509, 7, "claude-sonnet-4-20250514"), 1756860472.264, false},
    {"claude-code-viewer/fe5e1c67-53e7-4862-81ae-d0e013e3270b.jsonl",
     usage(818, 51933, 137976, 3647854, 21562, 170, "claude-sonnet-4-20250514"), 1756861323.665, false},
    {"local-claude-code-2.1.197/permission-then-interrupt.jsonl",
     usage(4500, 187, 600, 9000, 4777, 3, "claude-opus-4-8"), 1796579481.358, false},
    {"local-claude-code-2.1.197/print-mode-tool-use.jsonl", usage(3000, 110, 400, 6000, 4733, 2, "claude-opus-4-8"),
     1796579279.966, false},
    {"local-claude-code-2.1.332/permission-then-interrupt.jsonl",
     usage(3006, 84, 600, 15006, 6307, 3, "claude-opus-5-5"), 1796580539.475, true},
    {"spotter/agent-a2898e3.jsonl", usage(53, 136, 71257, 604156, 71258, 12, "claude-sonnet-4-5-20250929"),
     std::nullopt, false},
    {"spotter/short.jsonl", usage(3, 13, 13835, 11515, 25366, 1, "claude-opus-4-6"), 1770757922.48, true},
    {"spotter/subagent.jsonl", usage(1576, 1586, 25842, 427286, 43862, 12, "claude-opus-4-6"), 1770761031.679, false},
    {"spotter/tool_heavy.jsonl", usage(54, 212, 17696, 88231, 27839, 4, "claude-opus-4-6"), 1770764386.748, true},
    // transcript_totals.py --qwen
    {"local-qwen-code-0.24.4/print-mode.jsonl", usage(977, 31, 0, 1024, 2032, 1, "stand-in-model"), 1796603007.357,
     false, TranscriptFormat::QwenCode},
    {"local-qwen-code-0.24.4/interactive.jsonl", usage(978, 32, 0, 1024, 2034, 1, "stand-in-model"), 1796603017.974,
     false, TranscriptFormat::QwenCode},
    // Thoughts already inside the candidates (an OpenAI-compatible provider).
    {"local-qwen-code-0.24.4/print-mode-reasoning.jsonl", usage(700, 90, 0, 1300, 2090, 1, "stand-in-model"),
     1796608287.025, false, TranscriptFormat::QwenCode},
    // transcript_totals.py --gemini
    {"local-gemini-cli-0.61.0/print-mode.jsonl", usage(929, 86, 0, 3072, 4087, 1, "gemini-2.5-flash"), 1796602964.518,
     false, TranscriptFormat::GeminiCli},
    {"local-gemini-cli-0.61.0/interactive.jsonl", usage(930, 87, 0, 3072, 4089, 1, "gemini-2.5-flash"), 1796602972.998,
     false, TranscriptFormat::GeminiCli},
    // transcript_totals.py --codex; a turn that completed ends in task_complete.
    {"local-codex-cli-0.171.0/print-mode.jsonl", usage(954, 52, 0, 2048, 3054, 1, "stand-in-model"), 1796602985.786,
     true, TranscriptFormat::CodexRollout},
    {"local-codex-cli-0.171.0/interactive.jsonl", usage(955, 53, 0, 2048, 3056, 1, "stand-in-model"), 1796602993.253,
     true, TranscriptFormat::CodexRollout},
};

void verifyTotals(const TranscriptCursor &cursor, const ExpectedTotals &expected)
{
    QCOMPARE(cursor.usage, expected.usage);
    QCOMPARE(cursor.activity.endedInInterrupt, expected.endedInInterrupt);
    QCOMPARE(cursor.activity.lastEntryAt.has_value(), expected.lastEntryAt.has_value());
    if (expected.lastEntryAt)
        QCOMPARE(epochSeconds(*cursor.activity.lastEntryAt), *expected.lastEntryAt);
}

} // namespace

namespace QTest {
template<> char *toString(const TranscriptUsage &u)
{
    return qstrdup(QStringLiteral("in %1 out %2 creation %3 read %4 context %5 turns %6 model %7")
                       .arg(u.tokens.input)
                       .arg(u.tokens.output)
                       .arg(u.tokens.cacheCreation)
                       .arg(u.tokens.cacheRead)
                       .arg(u.contextTokens)
                       .arg(u.turns)
                       .arg(u.model ? QString::fromStdString(*u.model) : QStringLiteral("none"))
                       .toUtf8()
                       .constData());
}
} // namespace QTest

class TestTranscriptReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void counting_data()
    {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<TranscriptUsage>("expected");
        QTest::addColumn<TranscriptFormat>("format");

        QTest::newRow("one message") << QList<QByteArray> {assistant("m1", 10, 40, 20, 30, "opus")}
                                     << usage(10, 40, 20, 30, 100, 1, "opus") << claudeCode;
        QTest::newRow("identical copies count once")
            << QList<QByteArray> {assistant("A", 1, 2, 3, 4), assistant("A", 1, 2, 3, 4), assistant("A", 1, 2, 3, 4)}
            << usage(1, 2, 3, 4, 10, 1) << claudeCode;
        QTest::newRow("growing copies count the latest, other lines between")
            << QList<QByteArray> {assistant("A", 3, 10, 100, 1000), R"({"type":"progress"})",
                                  assistant("A", 3, 10, 100, 1000),
                                  "{\"type\":\"user\",\"message\":{\"content\":[{\"type\":\"tool_result\"}]}}",
                                  assistant("A", 3, 299, 100, 1000, "opus")}
            << usage(3, 299, 100, 1000, 1402, 1, "opus") << claudeCode;
        QTest::newRow("an id that comes back is a new message")
            << QList<QByteArray> {assistant("A", 1, 1, 0, 0), assistant("B", 2, 2, 0, 0), assistant("A", 1, 1, 0, 0)}
            << usage(4, 4, 0, 0, 2, 3) << claudeCode;
        QTest::newRow("growth after a message without id still replaces")
            << QList<QByteArray> {assistant("A", 1, 10, 0, 0), assistant(nullptr, 5, 5, 0, 0),
                                  assistant("A", 1, 50, 0, 0)}
            << usage(6, 55, 0, 0, 51, 2) << claudeCode;
        QTest::newRow("messages without id always count")
            << QList<QByteArray> {assistant(nullptr, 1, 1, 1, 1), assistant(nullptr, 1, 1, 1, 1)}
            << usage(2, 2, 2, 2, 4, 2) << claudeCode;
        QTest::newRow("empty usage counts a turn")
            << QList<QByteArray> {assistant("A", 5, 5, 5, 5), R"({"type":"assistant","message":{"id":"B","usage":{}}})"}
            << usage(5, 5, 5, 5, 0, 2) << claudeCode;
        QTest::newRow("side conversation counts")
            << QList<QByteArray> {assistant("A", 1, 1, 1, 1, nullptr, R"(,"isSidechain":true)")}
            << usage(1, 1, 1, 1, 4, 1) << claudeCode;
        QTest::newRow("only exact integers count") << QList<
            QByteArray> {R"({"type":"assistant","message":{"usage":{"input_tokens":12.5,"output_tokens":"7","cache_creation_input_tokens":12.0,"cache_read_input_tokens":true}}})"}
                                                   << usage(0, 0, 12, 0, 12, 1) << claudeCode;
        QTest::newRow("model is kept until another is named")
            << QList<QByteArray> {assistant("A", 0, 0, 0, 0, "opus"), assistant("B", 0, 0, 0, 0),
                                  R"({"type":"assistant","message":{"id":"C","model":7,"usage":{}}})"}
            << usage(0, 0, 0, 0, 0, 3, "opus") << claudeCode;
        QTest::newRow("unusable entries contribute nothing")
            << QList<QByteArray> {R"({"type":"assistant"})",
                                  R"({"type":"assistant","message":{}})",
                                  "{\"type\":\"assistant\",\"message\":{\"id\":\"X\",\"usage\":[]}}",
                                  R"({"type":"assistant","message":"text"})",
                                  R"({"message":{"usage":{"input_tokens":1}}})",
                                  R"({"type":7,"message":{"usage":{"input_tokens":1}}})",
                                  "not json",
                                  "[1,2]",
                                  assistant("A", 1, 0, 0, 0).chopped(1),
                                  assistant("B", 1, 0, 0, 0) + " x",
                                  assistant("C", 1, 0, 0, 0) + "}",
                                  assistant("D", 1, 0, 0, 0).chopped(1) + ",}",
                                  R"({"type":"assistant","message":{"usage":{"input_tokens":1e999}}})",
                                  R"({"type":"assistant","message":{"usage":{"input_tokens":99999999999999999999}}})"}
            << usage(0, 0, 0, 0, 0, 0) << claudeCode;
        QTest::newRow("escaped key names are still names")
            << QList<QByteArray> {R"({"typ\u0065":"assistant","message":{"\u0075sage":{"input_tokens":4}}})"}
            << usage(4, 0, 0, 0, 4, 1) << claudeCode;
        QTest::newRow("qwen: escaped key names are still names") << QList<
            QByteArray> {R"({"type":"assistant","usage\u004Detadata":{"promptTokenCount":10,"candidatesTokenCount":5}})"}
                                                                 << usage(10, 5, 0, 0, 15, 1)
                                                                 << TranscriptFormat::QwenCode;
        QTest::newRow("user entries never count")
            << QList<QByteArray> {R"({"type":"user","message":{"id":"A","usage":{"input_tokens":9}}})"}
            << usage(0, 0, 0, 0, 0, 0) << claudeCode;
        QTest::newRow("counters stop at the 64-bit limit")
            << QList<QByteArray> {assistant("A", 9223372036854775807, 0, 0, 0), assistant("B", 1, 0, 0, 0),
                                  assistant("C", 5, 0, 0, 0)}
            << usage(9223372036854775807, 0, 0, 0, 5, 3) << claudeCode;
        QTest::newRow("saturated totals recover when a copy replaces its message")
            << QList<QByteArray> {assistant("A", 9223372036854775807, 0, 0, 0), assistant("B", 9, 0, 0, 0),
                                  assistant("B", 9, 0, 0, 0)}
            << usage(9223372036854775807, 0, 0, 0, 9, 2) << claudeCode;
        QTest::newRow("negative counts are taken as written")
            << QList<QByteArray> {assistant("A", -5, 2, 0, 0)} << usage(-5, 2, 0, 0, -3, 1) << claudeCode;

        // Gemini CLI: the latest copy of each message counts, wherever it comes.
        using Lines = QList<QByteArray>;
        QTest::newRow("gemini: cached part of the input, thoughts as output")
            << Lines {geminiMessage("A", 1, 4002, 62, 3072, 25, 0, "gemini-2.5-flash")}
            << usage(930, 87, 0, 3072, 4089, 1, "gemini-2.5-flash") << geminiCli;
        QTest::newRow("gemini: tool prompt counts as input")
            << Lines {geminiMessage("A", 1, 100, 10, 0, 0, 40)} << usage(140, 10, 0, 0, 150, 1) << geminiCli;
        QTest::newRow("gemini: more cached than input")
            << Lines {geminiMessage("A", 1, 10, 5, 30, 0, 7)} << usage(7, 5, 0, 30, 42, 1) << geminiCli;
        QTest::newRow("gemini: copies apart, the latest counts once")
            << Lines {geminiMessage("A", 1, 10, 1, 0, 0, 0), geminiMessage("B", 2, 20, 2, 0, 0, 0),
                      geminiMessage("A", 1, 10, 5, 0, 0, 0)}
            << usage(30, 7, 0, 0, 15, 2) << geminiCli;
        QTest::newRow("gemini: escaped key names are still names")
            << Lines {R"({"id":"A","type":"gemini","t\u006Fkens":{"input":10,"output":1}})"}
            << usage(10, 1, 0, 0, 11, 1) << geminiCli;
        QTest::newRow("gemini: messages without id always count")
            << Lines {geminiMessage(nullptr, 1, 3, 1, 0, 0, 0), geminiMessage(nullptr, 2, 3, 1, 0, 0, 0)}
            << usage(6, 2, 0, 0, 4, 2) << geminiCli;
        // A copy still replaces its message after 255 others. After 256 the
        // message is settled: a copy of it changes nothing, a new message
        // still counts.
        const auto afterOthers = [](int others) {
            Lines lines {geminiMessage("A", 0, 1000, 0, 0, 0, 0)};
            for (int i = 1; i <= others; ++i)
                lines << geminiMessage(QByteArray("M" + QByteArray::number(i)).constData(), i, 1, 0, 0, 0, 0);
            return lines << geminiMessage("A", 0, 2000, 0, 0, 0, 0);
        };
        QTest::newRow("gemini: a copy after 255 other messages replaces")
            << afterOthers(255) << usage(2255, 0, 0, 0, 2000, 256) << geminiCli;
        QTest::newRow("gemini: a copy after 256 other messages is settled")
            << (afterOthers(256) << geminiMessage("N", 1000, 5, 0, 0, 0, 0)) << usage(1261, 0, 0, 0, 5, 258)
            << geminiCli;
        Lines atMaximum {geminiMessage("A", 0, 1000, 0, 0, 0, 0),
                         geminiMessage("B", 1, 0, std::numeric_limits<qint64>::max(), 0, 0, 0)};
        for (int i = 2; i <= 256; ++i)
            atMaximum << geminiMessage(QByteArray("M" + QByteArray::number(i)).constData(), i, 1, 0, 0, 0, 0);
        QTest::newRow("gemini: a message settled while a count is at its maximum")
            << atMaximum << usage(1255, std::numeric_limits<qint64>::max(), 0, 0, 1, 257) << geminiCli;
        QTest::newRow("gemini: set messages replace and add")
            << Lines {geminiMessage("A", 1, 10, 1, 0, 0, 0),
                      geminiSet({geminiMessage("A", 1, 10, 4, 0, 0, 0), geminiMessage("B", 2, 20, 2, 0, 0, 0)})}
            << usage(30, 6, 0, 0, 22, 2) << geminiCli;
        const QByteArray grownSet
            = geminiSet({geminiMessage("A", 1, 10, 9, 0, 0, 0), geminiMessage("B", 2, 5, 5, 0, 0, 0)});
        QTest::newRow("gemini: broken lines count nothing")
            << Lines {geminiMessage("A", 1, 10, 1, 0, 0, 0),
                      grownSet.chopped(1),
                      grownSet + " x",
                      grownSet + "}",
                      grownSet + grownSet,
                      R"({"$set":{"messages":[)" + geminiMessage("C", 3, 7, 7, 0, 0, 0) + ",",
                      geminiMessage("D", 4, 8, 8, 0, 0, 0) + geminiMessage("E", 5, 8, 8, 0, 0, 0)}
            << usage(10, 1, 0, 0, 11, 1) << geminiCli;
        // The agent skips such a line too, whichever part of it is not JSON.
        QTest::newRow("gemini: a set line with a bad value after its messages counts nothing")
            << Lines {geminiMessage("A", 1, 10, 1, 0, 0, 0), grownSet.chopped(1) + R"(,"x":tru})"}
            << usage(10, 1, 0, 0, 11, 1) << geminiCli;
        QTest::newRow("gemini: rewinding keeps what was spent")
            << Lines {geminiMessage("A", 1, 10, 1, 0, 0, 0), geminiMessage("B", 2, 20, 2, 0, 0, 0),
                      R"({"$rewindTo":"A"})", geminiMessage("C", 3, 5, 0, 0, 0, 0)}
            << usage(35, 3, 0, 0, 5, 3) << geminiCli;
        QTest::newRow("gemini: only the model's messages count")
            << Lines {geminiMessage("U", 1, 50, 5, 0, 0, 0, "gemini-2.5-pro", "user"),
                      geminiMessage("E", 2, 50, 5, 0, 0, 0, nullptr, "error"),
                      R"({"id":"G","type":"gemini","content":"Working"})",
                      R"({"id":"N","type":"gemini","tokens":null})", assistant("C", 1, 1, 1, 1)}
            << usage(0, 0, 0, 0, 0, 0) << geminiCli;
        QTest::newRow("gemini: bookkeeping lines change nothing")
            << Lines {geminiMessage("A", 1, 10, 1, 0, 0, 0, "gemini-2.5-pro"),
                      R"({"sessionId":"s","projectHash":"h","startTime":"2026-12-07T00:22:50.890Z","kind":"main"})",
                      R"({"$set":{"lastUpdated":"2026-12-07T00:22:53.000Z"}})",
                      R"({"$set":{"summary":"{}","memoryScratchpad":{"version":1}}})",
                      R"({"$set":{"messages":{"id":"A"}}})"}
            << usage(10, 1, 0, 0, 11, 1, "gemini-2.5-pro") << geminiCli;
        // The agent sets the whole conversation again when it resumes one or
        // rolls back a cancelled turn: messages counted long ago are not new.
        Lines relisted;
        for (int i = 0; i < 300; ++i)
            relisted << geminiMessage(QByteArray("M" + QByteArray::number(i)).constData(), i, 1, 0, 0, 0, 0);
        QTest::newRow("gemini: a long conversation set again counts nothing again")
            << (Lines(relisted) << geminiSet(relisted)) << usage(300, 0, 0, 0, 1, 300) << geminiCli;

        // Codex: cumulative totals, replaced by each token count.
        const QByteArray first = codexUsage(100, 40, 0, 10, 3);
        const QByteArray noInfo
            = R"({"timestamp":"2026-12-07T00:23:04.500Z","type":"event_msg","payload":{"type":"token_count","info":null,"rate_limits":{"primary":null}}})";
        QTest::newRow("codex: totals are replaced, not added")
            << Lines {codexTokenCount(first, first),
                      codexTokenCount(codexUsage(250, 140, 0, 25, 5), codexUsage(150, 100, 0, 15, 2))}
            << usage(110, 25, 0, 140, 165, 2) << codexRollout;
        QTest::newRow("codex: no usage before the first reply")
            << Lines {noInfo, codexTokenCount(first, first), noInfo} << usage(60, 10, 0, 40, 110, 1) << codexRollout;
        QTest::newRow("codex: a repeated count is no new turn")
            << Lines {codexTokenCount(first, first), codexTokenCount(first, first), codexTokenCount(first, first)}
            << usage(60, 10, 0, 40, 110, 1) << codexRollout;
        QTest::newRow("codex: cache writes are taken out of the input")
            << Lines {codexTokenCount(codexUsage(1000, 300, 200, 50, 0), codexUsage(1000, 300, 200, 50, 0))}
            << usage(500, 50, 200, 300, 1050, 1) << codexRollout;
        QTest::newRow("codex: more cached than input")
            << Lines {codexTokenCount(codexUsage(100, 80, 50, 5, 0), codexUsage(100, 80, 50, 5, 0))}
            << usage(0, 5, 50, 80, 135, 1) << codexRollout;
        QTest::newRow("codex: reasoning is inside the output")
            << Lines {codexTokenCount(codexUsage(100, 0, 0, 30, 20), codexUsage(100, 0, 0, 30, 20))}
            << usage(100, 30, 0, 0, 130, 1) << codexRollout;
        QTest::newRow("codex: the model comes from the turn context")
            << Lines {R"({"type":"session_meta","payload":{"model":"meta-model","model_provider":"openai"}})",
                      R"({"type":"turn_context","payload":{"collaboration_mode":{"model":"mode-model"},"model":"gpt-5.1-codex"}})",
                      R"({"type":"event_msg","payload":{"type":"thread_settings_applied","model":"event-model"}})",
                      codexTokenCount(first, first), R"({"type":"turn_context","payload":{"cwd":"/home/dev/work"}})"}
            << usage(60, 10, 0, 40, 110, 1, "gpt-5.1-codex") << codexRollout;
        // The text of a reply that quotes a token count, as a JSON string.
        const QByteArray quoted = '"' + codexTokenCount(first, first).replace('"', "\\\"") + '"';
        QTest::newRow("codex: response items and other events do not count") << Lines {
            R"({"type":"response_item","payload":{"type":"token_count","info":{"total_token_usage":)" + first + "}}}",
            R"({"type":"response_item","payload":{"type":"message","role":"assistant","content":[{"type":"output_text","text":)"
                + quoted + "}]}}",
            R"({"type":"response_item","payload":{"usage":)" + first + R"(,"thread_token_usage":)" + first + "}}",
            R"({"type":"event_msg","payload":{"type":"token_usage","info":{"total_token_usage":)" + first
                + "}}}"} << usage(0, 0, 0, 0, 0, 0) << codexRollout;
        // A usage record comes with each reply; the token count event after
        // it repeats its totals, and waits while a command awaits approval.
        const QByteArray second = codexUsage(250, 140, 0, 25, 5);
        const QByteArray secondRequest = codexUsage(150, 100, 0, 15, 2);
        QTest::newRow("codex: usage records count, the event after one repeats it")
            << Lines {codexUsageRecord(first, first), codexTokenCount(first, first),
                      codexUsageRecord(second, secondRequest)}
            << usage(110, 25, 0, 140, 165, 2) << codexRollout;
        QTest::newRow("codex: payload before type")
            << Lines {R"({"payload":{"type":"token_count","info":{"total_token_usage":)" + first
                          + R"(,"last_token_usage":)" + first + R"(}},"type":"event_msg"})",
                      R"({"payload":{"type":"token_count","info":{"total_token_usage":)"
                          + codexUsage(9000, 0, 0, 9000, 0) + R"(}},"type":"response_item"})",
                      R"({"payload":{"model":"gpt-5-codex"},"type":"turn_context"})",
                      R"({"payload":{"model":"item-model"},"type":"response_item"})"}
            << usage(60, 10, 0, 40, 110, 1, "gpt-5-codex") << codexRollout;
        QTest::newRow("codex: the first type counts, however it is written") << Lines {
            R"({"timestamp":"2026-12-07T00:23:05.690Z","ordinal":4,"typ\u0065":"token_usage_record","type":"response_item","payload":{"usage":)"
            + first + R"(,"thread_token_usage":)" + first
            + "}}"} << usage(60, 10, 0, 40, 110, 1) << codexRollout;
    }

    void counting()
    {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(TranscriptUsage, expected);
        QFETCH(TranscriptFormat, format);
        QCOMPARE(ingestAll(lines, format).usage, expected);
    }

    void activity_data()
    {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<std::optional<double>>("lastEntryAt");
        QTest::addColumn<bool>("endedInInterrupt");
        QTest::addColumn<TranscriptFormat>("format");

        const QByteArray interrupt
            = "{\"type\":\"user\",\"timestamp\":\"2025-01-02T03:04:05Z\",\"message\":{\"content\":[{\"type\":\"text\","
              "\"text\":\"[Request interrupted by user for tool use]\"}]}}";
        using Lines = QList<QByteArray>;
        const std::optional<double> none;

        QTest::newRow("Z with fraction") << Lines {R"({"type":"user","timestamp":"2025-01-02T03:04:05.678Z"})"}
                                         << std::optional(1735787045.678) << false << claudeCode;
        QTest::newRow("Z without fraction") << Lines {R"({"type":"assistant","timestamp":"2025-01-02T03:04:05Z"})"}
                                            << std::optional(1735787045.0) << false << claudeCode;
        QTest::newRow("offset is converted") << Lines {R"({"type":"user","timestamp":"2025-01-02T03:04:05+02:00"})"}
                                             << std::optional(1735779845.0) << false << claudeCode;
        QTest::newRow("unparsable stamp keeps the earlier one")
            << Lines {R"({"type":"user","timestamp":"2025-01-02T03:04:05Z"})",
                      R"({"type":"user","timestamp":"2025-01-02 03:04:06"})"}
            << std::optional(1735787045.0) << false << claudeCode;
        QTest::newRow("earlier stamp still replaces")
            << Lines {R"({"type":"user","timestamp":"2025-01-02T03:04:05Z"})",
                      R"({"type":"assistant","timestamp":"2025-01-02T01:04:05Z"})"}
            << std::optional(1735779845.0) << false << claudeCode;
        QTest::newRow("interrupt in content array")
            << Lines {interrupt} << std::optional(1735787045.0) << true << claudeCode;
        QTest::newRow("interrupt in content string")
            << Lines {"{\"type\":\"user\",\"message\":{\"content\":\"[Request interrupted by user] and more words\"}}"}
            << none << true << claudeCode;
        QTest::newRow("interruptedMessageId null")
            << Lines {R"({"type":"user","interruptedMessageId":null})"} << none << true << claudeCode;
        QTest::newRow("marker said by the assistant")
            << Lines {interrupt, "{\"type\":\"assistant\",\"message\":{\"content\":\"[Request interrupted by user\"}}"}
            << std::optional(1735787045.0) << false << claudeCode;
        QTest::newRow("marker said by the assistant, type last")
            << Lines {interrupt, R"({"message":{"content":"[Request interrupted by user]"},"type":"assistant"})"}
            << std::optional(1735787045.0) << false << claudeCode;
        QTest::newRow("array with a plain string element")
            << Lines {"{\"type\":\"user\",\"message\":{\"content\":[\"x\",{\"text\":\"[Request interrupted by "
                      "user\"}]}}"}
            << none << false << claudeCode;
        QTest::newRow("marker split over two text parts")
            << Lines {"{\"type\":\"user\",\"message\":{\"content\":[{\"text\":\"[Request "
                      "interrupted\"},{\"type\":\"image\"},{\"text\":\"by user]\"}]}}"}
            << none << true << claudeCode;
        QTest::newRow("other letter case")
            << Lines {"{\"type\":\"user\",\"message\":{\"content\":\"[request interrupted by user]\"}}"} << none
            << false << claudeCode;
        QTest::newRow("user entry after interrupt ends it")
            << Lines {interrupt, R"({"type":"user","message":{"content":"go on"}})"} << std::optional(1735787045.0)
            << false << claudeCode;
        QTest::newRow("bookkeeping lines after interrupt leave it")
            << Lines {interrupt,
                      R"({"type":"last-prompt","timestamp":"2025-01-02T05:00:00Z"})",
                      R"({"type":"file-history-snapshot","snapshot":{}})",
                      R"({"type":"system","timestamp":"2025-01-02T05:00:00Z"})",
                      R"({"type":"progress"})",
                      R"({"type":"summary"})",
                      R"({"type":"queue-operation"})"}
            << std::optional(1735787045.0) << true << claudeCode;
        QTest::newRow("meta entries after interrupt leave both")
            << Lines {interrupt,
                      "{\"type\":\"user\",\"isMeta\":true,\"timestamp\":\"2025-01-02T09:00:00Z\","
                      "\"message\":{\"content\":\"Session renamed\"}}"}
            << std::optional(1735787045.0) << true << claudeCode;
        QTest::newRow("isMeta false is the conversation")
            << Lines {interrupt, "{\"type\":\"user\",\"isMeta\":false,\"timestamp\":\"2025-01-02T09:00:00Z\"}"}
            << std::optional(1735808400.0) << false << claudeCode;
        QTest::newRow("side conversation leaves both")
            << Lines {R"({"type":"assistant","timestamp":"2025-01-02T03:04:05Z"})",
                      "{\"type\":\"user\",\"isSidechain\":true,\"timestamp\":\"2025-01-02T09:00:00Z\",\"message\":{"
                      "\"content\":\"[Request interrupted by user\"}}"}
            << std::optional(1735787045.0) << false << claudeCode;
        QTest::newRow("entry without type leaves both")
            << Lines {interrupt, R"({"timestamp":"2025-01-02T09:00:00Z","message":{"content":"x"}})"}
            << std::optional(1735787045.0) << true << claudeCode;

        const QByteArray geminiUser
            = R"({"id":"u1","timestamp":"2026-12-07T00:22:51.467Z","type":"user","content":[{"text":"hi"}]})";
        QTest::newRow("gemini: the user's and the model's messages")
            << Lines {geminiUser, geminiMessage("g1", 1373, 1, 1, 0, 0, 0)} << std::optional(1796602973.0) << false
            << geminiCli;
        QTest::newRow("gemini: other lines leave the time")
            << Lines {geminiUser,
                      R"({"id":"i1","timestamp":"2026-12-07T00:30:00Z","type":"info","content":"Retrying"})",
                      R"({"$set":{"lastUpdated":"2026-12-07T00:30:00Z"}})",
                      R"({"sessionId":"s","projectHash":"h","startTime":"2026-12-07T00:30:00Z","kind":"main"})",
                      R"({"$rewindTo":"u1"})"}
            << std::optional(1796602971.467) << false << geminiCli;

        QTest::newRow("codex: a completed task ends the turn")
            << Lines {codexEvent("user_message", "2026-12-07T00:23:04.638Z"),
                      codexEvent("agent_message", "2026-12-07T00:23:05.685Z"),
                      codexEvent("task_complete", "2026-12-07T00:23:05.786Z")}
            << std::optional(1796602985.786) << true << codexRollout;
        QTest::newRow("codex: an aborted turn ends it")
            << Lines {codexEvent("user_message", "2026-12-07T00:23:04.638Z"),
                      codexEvent("turn_aborted", "2026-12-07T00:23:05.685Z")}
            << std::optional(1796602985.685) << true << codexRollout;
        QTest::newRow("codex: a started task begins a turn")
            << Lines {codexEvent("task_complete", "2026-12-07T00:23:04.638Z"),
                      codexEvent("task_started", "2026-12-07T00:23:05.685Z")}
            << std::optional(1796602985.685) << false << codexRollout;
        QTest::newRow("codex: an event without time still tells")
            << Lines {codexEvent("task_complete", "2026-12-07T00:23:04.638Z"),
                      R"({"type":"event_msg","payload":{"type":"user_message","message":"go on"}})"}
            << std::optional(1796602984.638) << false << codexRollout;
        QTest::newRow("codex: a message after the end")
            << Lines {codexEvent("task_complete", "2026-12-07T00:23:04.638Z"),
                      codexEvent("agent_message", "2026-12-07T00:23:05.685Z")}
            << std::optional(1796602985.685) << false << codexRollout;
        QTest::newRow("codex: other lines leave the end")
            << Lines {codexEvent("task_complete", "2026-12-07T00:23:05.786Z"),
                      codexEvent("token_count", "2026-12-07T00:24:00Z"),
                      R"({"timestamp":"2026-12-07T00:24:00Z","type":"response_item","payload":{"type":"user_message"}})",
                      R"({"timestamp":"2026-12-07T00:24:00Z","type":"turn_context","payload":{"type":"user_message"}})"}
            << std::optional(1796602985.786) << true << codexRollout;
        QTest::newRow("codex: payload before type")
            << Lines {R"({"payload":{"type":"task_complete"},"type":"event_msg","timestamp":"2026-12-07T00:23:05.786Z"})",
                      R"({"payload":{"type":"user_message"},"timestamp":"2026-12-07T00:24:00Z","type":"response_item"})"}
            << std::optional(1796602985.786) << true << codexRollout;
    }

    void activity()
    {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(std::optional<double>, lastEntryAt);
        QFETCH(bool, endedInInterrupt);
        QFETCH(TranscriptFormat, format);
        const auto cursor = ingestAll(lines, format);
        QCOMPARE(cursor.activity.endedInInterrupt, endedInInterrupt);
        QCOMPARE(cursor.activity.lastEntryAt.has_value(), lastEntryAt.has_value());
        if (lastEntryAt)
            QCOMPARE(epochSeconds(*cursor.activity.lastEntryAt), *lastEntryAt);
    }

    void parseTimestamp_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::optional<double>>("seconds");
        const std::optional<double> rejected;
        QTest::newRow("epoch") << QByteArray("1970-01-01T00:00:00Z") << std::optional(0.0);
        QTest::newRow("nanoseconds") << QByteArray("1970-01-01T00:00:01.123456789Z") << std::optional(1.123456789);
        QTest::newRow("negative offset") << QByteArray("2025-01-01T22:04:05-05:30") << std::optional(1735788845.0);
        QTest::newRow("leap day") << QByteArray("2024-02-29T12:00:00Z") << std::optional(1709208000.0);
        QTest::newRow("space for T") << QByteArray("2025-01-02 03:04:05Z") << rejected;
        QTest::newRow("no zone") << QByteArray("2025-01-02T03:04:05") << rejected;
        QTest::newRow("no zone with fraction") << QByteArray("2025-01-02T03:04:05.5") << rejected;
        QTest::newRow("offset without colon") << QByteArray("2025-01-02T03:04:05+0200") << rejected;
        QTest::newRow("lower-case z") << QByteArray("2025-01-02T03:04:05z") << rejected;
        QTest::newRow("empty fraction") << QByteArray("2025-01-02T03:04:05.Z") << rejected;
        QTest::newRow("ten fraction digits") << QByteArray("2025-01-02T03:04:05.1234567890Z") << rejected;
        QTest::newRow("not a leap year") << QByteArray("2025-02-29T00:00:00Z") << rejected;
        QTest::newRow("month 13") << QByteArray("2025-13-01T00:00:00Z") << rejected;
        QTest::newRow("hour 24") << QByteArray("2025-01-01T24:00:00Z") << rejected;
        QTest::newRow("trailing text") << QByteArray("2025-01-02T03:04:05Zjunk") << rejected;
        QTest::newRow("date only") << QByteArray("2025-01-02") << rejected;
        QTest::newRow("empty") << QByteArray() << rejected;
    }

    void parseTimestamp()
    {
        QFETCH(QByteArray, text);
        QFETCH(std::optional<double>, seconds);
        const auto parsed = lullwatch::parseTimestamp(std::string_view(text.constData(), text.size()));
        QCOMPARE(parsed.has_value(), seconds.has_value());
        if (seconds)
            QCOMPARE(epochSeconds(*parsed), *seconds);
    }

    void recordedTranscripts_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < int(std::size(fixtureTotals)); ++i)
            QTest::newRow(fixtureTotals[i].file) << i;
    }

    // One full read, then the same file read again through tiny chunks: the
    // results must not depend on where the chunks end.
    void recordedTranscripts()
    {
        QFETCH(int, index);
        const auto &expected = fixtureTotals[index];
        const auto path = testData(std::string("transcripts/") + expected.file);

        TranscriptReader reader;
        TranscriptCursor cursor;
        reader.read(path, cursor, expected.format);
        verifyTotals(cursor, expected);
        QCOMPARE(cursor.offset, std::filesystem::file_size(path));
        QVERIFY(cursor.remainder.empty());

        for (std::size_t chunk : {1u, 7u, 4096u}) {
            TranscriptReader chunked({.chunkSize = chunk, .maxLineLength = 64u << 20});
            TranscriptCursor chunkedCursor;
            chunked.read(path, chunkedCursor, expected.format);
            QCOMPARE(chunkedCursor, cursor);
        }

        // The same through reads of about 256 KiB that keep no unfinished
        // line: the line a read stops in is read again from its start.
        TranscriptReader bounded(
            {.chunkSize = 7, .maxLineLength = 1 << 17, .maxBytesPerRead = 1, .maxKeptRemainder = 0});
        TranscriptCursor boundedCursor;
        int reads = 0;
        for (; boundedCursor.offset < cursor.offset && reads < 100; ++reads)
            bounded.read(path, boundedCursor, expected.format);
        QCOMPARE(boundedCursor, cursor);
        QVERIFY(reads > int(cursor.offset >> 18));
    }

    void partialLinesWaitForTheirEnd()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("t.jsonl")).toStdString();
        const QByteArray first = assistant("A", 1, 2, 3, 4) + '\n';
        const QByteArray second = assistant("B", 10, 20, 30, 40);

        TranscriptReader reader({.maxKeptRemainder = 20});
        TranscriptCursor cursor;
        writeFile(path, (first + second.left(15)));
        reader.read(path, cursor);
        QCOMPARE(cursor.usage.turns, 1);
        QCOMPARE(cursor.remainder, second.left(15).toStdString());

        // No line feed at all in what arrived: the piece waits, now too long
        // to keep, to be read again from its start.
        appendFile(path, second.mid(15, 20));
        reader.read(path, cursor);
        QCOMPARE(cursor.usage.turns, 1);
        QVERIFY(cursor.remainder.empty());
        QCOMPARE(cursor.offset, std::uint64_t(first.size()));

        appendFile(path, (second.mid(35) + "\r\n\n\n"));
        reader.read(path, cursor);
        QCOMPARE(cursor.usage, usage(11, 22, 33, 44, 100, 2));
        QVERIFY(cursor.remainder.empty());
    }

    void shrunkFileIsReadAgain()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("t.jsonl")).toStdString();
        TranscriptReader reader;
        TranscriptCursor cursor;
        writeFile(path, (assistant("A", 1, 1, 1, 1) + '\n' + assistant("B", 1, 1, 1, 1) + '\n'));
        reader.read(path, cursor);
        QCOMPARE(cursor.usage.turns, 2);

        writeFile(path, (assistant("C", 5, 0, 0, 0) + '\n'));
        reader.read(path, cursor);
        QCOMPARE(cursor.usage, usage(5, 0, 0, 0, 5, 1));

        writeFile(path, "");
        reader.read(path, cursor);
        QCOMPARE(cursor, TranscriptCursor {});

        // A replacement at least as long as what was read is not noticed.
        const QByteArray longer = assistant("D", 7, 0, 0, 0) + '\n';
        writeFile(path, (QByteArray(30, ' ') + '\n' + longer));
        reader.read(path, cursor);
        const auto offset = cursor.offset;
        writeFile(path, (assistant("E", 100, 0, 0, 0) + '\n' + longer));
        appendFile(path, (assistant("F", 1, 0, 0, 0) + '\n'));
        reader.read(path, cursor);
        QVERIFY(cursor.offset > offset);
        QCOMPARE(cursor.usage.tokens.input, 7 + 1);
    }

    void unreadablePathsLeaveTheCursor_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << QStringLiteral("missing");
        QTest::newRow("empty path") << QStringLiteral("empty");
        QTest::newRow("directory") << QStringLiteral("directory");
        QTest::newRow("path under a file") << QStringLiteral("under-file");
        QTest::newRow("fifo") << QStringLiteral("fifo");
        QTest::newRow("character device") << QStringLiteral("device");
    }

    void unreadablePathsLeaveTheCursor()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        std::string path;
        if (kind == u"missing") {
            path = dir.filePath(QStringLiteral("nothing.jsonl")).toStdString();
        } else if (kind == u"directory") {
            path = dir.path().toStdString();
        } else if (kind == u"under-file") {
            writeFile(dir.filePath(QStringLiteral("file")).toStdString(), "x");
            path = dir.filePath(QStringLiteral("file/t.jsonl")).toStdString();
        } else if (kind == u"fifo") {
            path = dir.filePath(QStringLiteral("pipe")).toStdString();
            QCOMPARE(::mkfifo(path.c_str(), 0600), 0);
        } else if (kind == u"device") {
            path = "/dev/zero";
        }

        TranscriptReader reader;
        TranscriptCursor cursor;
        cursor.offset = 3;
        cursor.usage.turns = 4;
        const TranscriptCursor before = cursor;
        reader.read(path, cursor); // must return, not block on the FIFO or read /dev/zero forever
        QCOMPARE(cursor, before);
    }

    void overlongLineIsSkipped()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("t.jsonl")).toStdString();
        TranscriptReader reader({.chunkSize = 16, .maxLineLength = 200});

        const QByteArray huge = "{\"type\":\"assistant\",\"message\":{\"usage\":{\"input_tokens\":1000},\"pad\":\""
            + QByteArray(400, 'x');
        writeFile(path, (assistant("A", 1, 0, 0, 0) + '\n' + huge));
        TranscriptCursor cursor;
        reader.read(path, cursor);
        QVERIFY(cursor.discardingLine);
        QVERIFY(cursor.remainder.empty());

        // The rest of the broken line arrives, then good lines again.
        appendFile(path, (QByteArray(50, 'x') + "\"}}" + '\n' + assistant("B", 2, 0, 0, 0) + '\n'));
        reader.read(path, cursor);
        QVERIFY(!cursor.discardingLine);
        QCOMPARE(cursor.usage, usage(3, 0, 0, 0, 2, 2));

        // A line exactly at the limit is still read.
        const QByteArray padded = assistant("C", 4, 0, 0, 0);
        const QByteArray atLimit = padded.chopped(1) + QByteArray(200 - padded.size(), ' ') + '}';
        QCOMPARE(atLimit.size(), 200);
        appendFile(path, (atLimit + '\n'));
        reader.read(path, cursor);
        QCOMPARE(cursor.usage.tokens.input, 7);

        // A gigabyte without a line feed, mostly holes: each read takes 256 MiB of it.
        const std::string sparse = dir.filePath(QStringLiteral("sparse.jsonl")).toStdString();
        writeFile(sparse, "{");
        std::filesystem::resize_file(sparse, std::uintmax_t {1} << 30);
        TranscriptReader standard;
        TranscriptCursor sparseCursor;
        standard.read(sparse, sparseCursor);
        QCOMPARE(sparseCursor.offset, std::uint64_t {256} << 20);
        QVERIFY(sparseCursor.discardingLine);
        standard.read(sparse, sparseCursor);
        QCOMPARE(sparseCursor.offset, std::uint64_t {512} << 20);
    }
};

QTEST_GUILESS_MAIN(TestTranscriptReader)
#include "tst_transcriptreader.moc"
