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
        line += QByteArray(R"(,"model":")") + model + "\"";
    return line + "}";
}

QByteArray geminiSet(const QList<QByteArray> &messages)
{
    return R"({"$set":{"messages":[)" + messages.join(',') + R"(],"lastUpdated":"2026-12-07T00:22:53.000Z"}})";
}

QByteArray codexUsage(qint64 input, qint64 cached, qint64 written, qint64 output, qint64 reasoning)
{
    return R"({"input_tokens":)" + QByteArray::number(input) + R"(,"cached_input_tokens":)" + QByteArray::number(cached)
        + R"(,"cache_write_input_tokens":)" + QByteArray::number(written) + R"(,"output_tokens":)"
        + QByteArray::number(output) + R"(,"reasoning_output_tokens":)" + QByteArray::number(reasoning)
        + R"(,"total_tokens":)" + QByteArray::number(input + output) + "}";
}

QByteArray codexTokenCount(const QByteArray &total, const QByteArray &last)
{
    return R"({"timestamp":"2026-12-07T00:23:05.691Z","type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":)"
        + total + R"(,"last_token_usage":)" + last
        + R"(,"last_usage_includes_reasoning":false,"model_context_window":258400},"rate_limits":{"primary":null}}})";
}

QByteArray codexUsageRecord(const QByteArray &total, const QByteArray &reply)
{
    return R"({"timestamp":"2026-12-07T00:23:05.690Z","type":"token_usage_record","payload":{"thread_id":"t1","turn_id":"u1","response_id":"resp_1","usage":)"
        + reply + R"(,"turn_token_usage":)" + reply + R"(,"thread_token_usage":)" + total + "}}";
}

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

// From tests/tools/transcript_totals.py (--qwen, --gemini, --codex), a separate implementation.
const ExpectedTotals fixtureTotals[] = {
    {"claude-code-viewer/fe5e1c67-53e7-4862-81ae-d0e013e3270b.jsonl",
     usage(818, 51933, 137976, 3647854, 21562, 170, "claude-sonnet-4-20250514"), 1756861323.665, false},
    {"local-claude-code-2.1.197/permission-then-interrupt.jsonl",
     usage(4500, 187, 600, 9000, 4777, 3, "claude-opus-4-8"), 1796579481.358, false},
    {"local-claude-code-2.1.332/permission-then-interrupt.jsonl",
     usage(3006, 84, 600, 15006, 6307, 3, "claude-opus-5-5"), 1796580539.475, true},
    {"spotter/short.jsonl", usage(3, 13, 13835, 11515, 25366, 1, "claude-opus-4-6"), 1770757922.48, true},
    {"spotter/subagent.jsonl", usage(1576, 1586, 25842, 427286, 43862, 12, "claude-opus-4-6"), 1770761031.679, false},
    {"local-qwen-code-0.24.4/print-mode.jsonl", usage(977, 31, 0, 1024, 2032, 1, "stand-in-model"), 1796603007.357,
     false, TranscriptFormat::QwenCode},
    {"local-qwen-code-0.24.4/print-mode-reasoning.jsonl", usage(700, 90, 0, 1300, 2090, 1, "stand-in-model"),
     1796608287.025, false, TranscriptFormat::QwenCode},
    {"local-gemini-cli-0.61.0/print-mode.jsonl", usage(929, 86, 0, 3072, 4087, 1, "gemini-2.5-flash"), 1796602964.518,
     false, TranscriptFormat::GeminiCli},
    {"local-codex-cli-0.171.0/print-mode.jsonl", usage(954, 52, 0, 2048, 3054, 1, "stand-in-model"), 1796602985.786,
     true, TranscriptFormat::CodexRollout},
};

void verifyActivity(const TranscriptActivity &activity, std::optional<double> lastEntryAt, bool endedInInterrupt)
{
    QCOMPARE(activity.endedInInterrupt, endedInInterrupt);
    QCOMPARE(activity.lastEntryAt.has_value(), lastEntryAt.has_value());
    if (lastEntryAt)
        QCOMPARE(epochSeconds(*activity.lastEntryAt), *lastEntryAt);
}

} // namespace

class TestTranscriptReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void counting_data()
    {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<TranscriptUsage>("expected");
        QTest::addColumn<TranscriptFormat>("format");

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
        QTest::newRow("empty usage counts a turn")
            << QList<QByteArray> {assistant("A", 5, 5, 5, 5), R"({"type":"assistant","message":{"id":"B","usage":{}}})"}
            << usage(5, 5, 5, 5, 0, 2) << claudeCode;
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
                                  R"({"message":{"usage":{"input_tokens":1}}})",
                                  R"({"type":7,"message":{"usage":{"input_tokens":1}}})",
                                  "not json",
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
        QTest::newRow("counters stop at the 64-bit limit")
            << QList<QByteArray> {assistant("A", 9223372036854775807, 0, 0, 0), assistant("B", 1, 0, 0, 0),
                                  assistant("C", 5, 0, 0, 0)}
            << usage(9223372036854775807, 0, 0, 0, 5, 3) << claudeCode;

        using Lines = QList<QByteArray>;
        QTest::newRow("gemini: cached part of the input, thoughts as output")
            << Lines {geminiMessage("A", 1, 4002, 62, 3072, 25, 0, "gemini-2.5-flash")}
            << usage(930, 87, 0, 3072, 4089, 1, "gemini-2.5-flash") << geminiCli;
        QTest::newRow("gemini: more cached than input")
            << Lines {geminiMessage("A", 1, 10, 5, 30, 0, 7)} << usage(7, 5, 0, 30, 42, 1) << geminiCli;
        QTest::newRow("gemini: copies apart, the latest counts once")
            << Lines {geminiMessage("A", 1, 10, 1, 0, 0, 0), geminiMessage("B", 2, 20, 2, 0, 0, 0),
                      geminiMessage("A", 1, 10, 5, 0, 0, 0)}
            << usage(30, 7, 0, 0, 15, 2) << geminiCli;
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
                      grownSet.chopped(1) + R"(,"x":tru})",
                      R"({"$set":{"messages":[)" + geminiMessage("C", 3, 7, 7, 0, 0, 0) + ",",
                      geminiMessage("D", 4, 8, 8, 0, 0, 0) + geminiMessage("E", 5, 8, 8, 0, 0, 0)}
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
        Lines relisted;
        for (int i = 0; i < 300; ++i)
            relisted << geminiMessage(QByteArray("M" + QByteArray::number(i)).constData(), i, 1, 0, 0, 0, 0);
        QTest::newRow("gemini: a long conversation set again counts nothing again")
            << (Lines(relisted) << geminiSet(relisted)) << usage(300, 0, 0, 0, 1, 300) << geminiCli;

        const QByteArray first = codexUsage(100, 40, 0, 10, 3);
        const QByteArray noInfo
            = R"({"timestamp":"2026-12-07T00:23:04.500Z","type":"event_msg","payload":{"type":"token_count","info":null,"rate_limits":{"primary":null}}})";
        QTest::newRow("codex: totals are replaced, not added")
            << Lines {codexTokenCount(first, first),
                      codexTokenCount(codexUsage(250, 140, 0, 25, 5), codexUsage(150, 100, 0, 15, 2))}
            << usage(110, 25, 0, 140, 165, 2) << codexRollout;
        QTest::newRow("codex: no usage before the first reply, a repeated count is no new turn")
            << Lines {noInfo, codexTokenCount(first, first), codexTokenCount(first, first), noInfo}
            << usage(60, 10, 0, 40, 110, 1) << codexRollout;
        QTest::newRow("codex: cache writes are taken out of the input")
            << Lines {codexTokenCount(codexUsage(1000, 300, 200, 50, 0), codexUsage(1000, 300, 200, 50, 0))}
            << usage(500, 50, 200, 300, 1050, 1) << codexRollout;
        QTest::newRow("codex: more cached than input")
            << Lines {codexTokenCount(codexUsage(100, 80, 50, 5, 0), codexUsage(100, 80, 50, 5, 0))}
            << usage(0, 5, 50, 80, 135, 1) << codexRollout;
        QTest::newRow("codex: the model comes from the turn context")
            << Lines {R"({"type":"session_meta","payload":{"model":"meta-model","model_provider":"openai"}})",
                      R"({"type":"turn_context","payload":{"collaboration_mode":{"model":"mode-model"},"model":"gpt-5.1-codex"}})",
                      R"({"type":"event_msg","payload":{"type":"thread_settings_applied","model":"event-model"}})",
                      codexTokenCount(first, first), R"({"type":"turn_context","payload":{"cwd":"/home/dev/work"}})"}
            << usage(60, 10, 0, 40, 110, 1, "gpt-5.1-codex") << codexRollout;
        const QByteArray quoted = "\"" + codexTokenCount(first, first).replace("\"", "\\\"") + "\"";
        QTest::newRow("codex: response items and other events do not count") << Lines {
            R"({"type":"response_item","payload":{"type":"token_count","info":{"total_token_usage":)" + first + "}}}",
            R"({"type":"response_item","payload":{"type":"message","role":"assistant","content":[{"type":"output_text","text":)"
                + quoted + "}]}}",
            R"({"type":"response_item","payload":{"usage":)" + first + R"(,"thread_token_usage":)" + first + "}}",
            R"({"type":"event_msg","payload":{"type":"token_usage","info":{"total_token_usage":)" + first
                + "}}}"} << usage(0, 0, 0, 0, 0, 0) << codexRollout;
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
        QTest::newRow("marker split over two text parts")
            << Lines {"{\"type\":\"user\",\"message\":{\"content\":[{\"text\":\"[Request "
                      "interrupted\"},{\"type\":\"image\"},{\"text\":\"by user]\"}]}}"}
            << none << true << claudeCode;
        QTest::newRow("user entry after interrupt ends it")
            << Lines {interrupt, R"({"type":"user","message":{"content":"go on"}})"} << std::optional(1735787045.0)
            << false << claudeCode;
        QTest::newRow("bookkeeping and meta lines after interrupt leave it")
            << Lines {interrupt,
                      R"({"type":"last-prompt","timestamp":"2025-01-02T05:00:00Z"})",
                      R"({"type":"file-history-snapshot","snapshot":{}})",
                      R"({"type":"system","timestamp":"2025-01-02T05:00:00Z"})",
                      R"({"type":"progress"})",
                      R"({"type":"summary"})",
                      R"({"type":"queue-operation"})",
                      R"({"type":"user","isMeta":true,"timestamp":"2025-01-02T09:00:00Z","message":{"content":"Renamed"}})"}
            << std::optional(1735787045.0) << true << claudeCode;
        QTest::newRow("side conversation leaves both")
            << Lines {R"({"type":"assistant","timestamp":"2025-01-02T03:04:05Z"})",
                      "{\"type\":\"user\",\"isSidechain\":true,\"timestamp\":\"2025-01-02T09:00:00Z\",\"message\":{"
                      "\"content\":\"[Request interrupted by user\"}}"}
            << std::optional(1735787045.0) << false << claudeCode;

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
        QTest::newRow("codex: other lines leave the end")
            << Lines {codexEvent("task_complete", "2026-12-07T00:23:05.786Z"),
                      codexEvent("token_count", "2026-12-07T00:24:00Z"),
                      R"({"timestamp":"2026-12-07T00:24:00Z","type":"response_item","payload":{"type":"user_message"}})",
                      R"({"timestamp":"2026-12-07T00:24:00Z","type":"turn_context","payload":{"type":"user_message"}})"}
            << std::optional(1796602985.786) << true << codexRollout;
    }

    void activity()
    {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(std::optional<double>, lastEntryAt);
        QFETCH(bool, endedInInterrupt);
        QFETCH(TranscriptFormat, format);
        verifyActivity(ingestAll(lines, format).activity, lastEntryAt, endedInInterrupt);
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
        QTest::newRow("offset without colon") << QByteArray("2025-01-02T03:04:05+0200") << rejected;
        QTest::newRow("ten fraction digits") << QByteArray("2025-01-02T03:04:05.1234567890Z") << rejected;
        QTest::newRow("not a leap year") << QByteArray("2025-02-29T00:00:00Z") << rejected;
        QTest::newRow("hour 24") << QByteArray("2025-01-01T24:00:00Z") << rejected;
        QTest::newRow("trailing text") << QByteArray("2025-01-02T03:04:05Zjunk") << rejected;
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

    void recordedTranscripts()
    {
        QFETCH(int, index);
        const auto &expected = fixtureTotals[index];
        const auto path = testData(std::string("transcripts/") + expected.file);

        TranscriptReader reader;
        TranscriptCursor cursor;
        reader.read(path, cursor, expected.format);
        QCOMPARE(cursor.usage, expected.usage);
        verifyActivity(cursor.activity, expected.lastEntryAt, expected.endedInInterrupt);
        QCOMPARE(cursor.offset, std::filesystem::file_size(path));
        QVERIFY(cursor.remainder.empty());

        for (std::size_t chunk : {1u, 7u, 4096u}) {
            TranscriptReader chunked({.chunkSize = chunk, .maxLineLength = 64u << 20});
            TranscriptCursor chunkedCursor;
            chunked.read(path, chunkedCursor, expected.format);
            QCOMPARE(chunkedCursor, cursor);
        }

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
    }

    void unreadablePathsLeaveTheCursor()
    {
        QTemporaryDir dir;
        const std::string fifo = dir.filePath(QStringLiteral("pipe")).toStdString();
        QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
        TranscriptReader reader;
        for (const std::string &path : {dir.filePath(QStringLiteral("nothing.jsonl")).toStdString(),
                                        dir.path().toStdString(), fifo, std::string("/dev/zero")}) {
            TranscriptCursor cursor;
            cursor.offset = 3;
            cursor.usage.turns = 4;
            const TranscriptCursor before = cursor;
            reader.read(path, cursor); // must return, not block on the FIFO or read /dev/zero forever
            QCOMPARE(cursor, before);
        }
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
