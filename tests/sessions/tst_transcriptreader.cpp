#include "files/FileWindow.h"
#include "sessions/LineSearch.h"
#include "sessions/TimePoint.h"
#include "sessions/TranscriptReader.h"
#include "support/TestFiles.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace lullwatch;
using namespace lullwatch::test;
using Lines = QList<QByteArray>;

Q_DECLARE_METATYPE(TranscriptFormat)

namespace {

constexpr auto claudeCode = TranscriptFormat::ClaudeCode;
constexpr auto geminiCli = TranscriptFormat::GeminiCli;
constexpr auto codexRollout = TranscriptFormat::CodexRollout;

QByteArray n(qint64 value)
{
    return QByteArray::number(value);
}

// A Claude Code assistant entry; an empty id or model is left out.
QByteArray claude(const QByteArray &id, qint64 in, qint64 out, qint64 creation = 0, qint64 read = 0,
                  const QByteArray &model = {})
{
    return R"({"type":"assistant","message":{)" + (id.isEmpty() ? QByteArray() : R"("id":")" + id + "\",")
        + (model.isEmpty() ? QByteArray() : R"("model":")" + model + "\",") + R"("usage":{"input_tokens":)" + n(in)
        + R"(,"output_tokens":)" + n(out) + R"(,"cache_creation_input_tokens":)" + n(creation)
        + R"(,"cache_read_input_tokens":)" + n(read) + "}}}";
}

// A Gemini CLI message made `second` (under an hour) seconds after 2026-12-07T00:00:00Z.
QByteArray gemini(const QByteArray &id, int second, qint64 in, qint64 out, const QByteArray &type = "gemini")
{
    const auto made = QString::asprintf("2026-12-07T00:%02d:%02dZ", second / 60, second % 60).toLatin1();
    return R"({"id":")" + id + R"(","timestamp":")" + made + R"(","type":")" + type + R"(","tokens":{"input":)" + n(in)
        + R"(,"output":)" + n(out) + R"(,"cached":0,"thoughts":0,"tool":0}})";
}

// Messages M<from>..M<to>, one input token each.
Lines geminiRun(int from, int to)
{
    Lines lines;
    for (int i = from; i <= to; ++i)
        lines << gemini("M" + n(i), i, 1, 0);
    return lines;
}

QByteArray geminiSet(const Lines &messages)
{
    return R"({"$set":{"messages":[)" + messages.join(',') + R"(],"lastUpdated":"2026-12-07T00:22:53.000Z"}})";
}

QByteArray codexUsage(qint64 in, qint64 cached, qint64 written, qint64 out)
{
    return R"({"input_tokens":)" + n(in) + R"(,"cached_input_tokens":)" + n(cached) + R"(,"cache_write_input_tokens":)"
        + n(written) + R"(,"output_tokens":)" + n(out) + R"(,"reasoning_output_tokens":1})";
}

// A token count event, or with `record` a usage record: the session's totals and the latest request's.
QByteArray codexCount(const QByteArray &total, const QByteArray &last, bool record = false)
{
    if (record)
        return R"({"type":"token_usage_record","payload":{"usage":)" + last + R"(,"thread_token_usage":)" + total
            + "}}";
    return R"({"type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":)" + total
        + R"(,"last_token_usage":)" + last + "}}}";
}

QByteArray codexEvent(const QByteArray &type, const QByteArray &minuteAndSeconds)
{
    return R"({"timestamp":"2026-12-07T00:)" + minuteAndSeconds + R"(Z","type":"event_msg","payload":{"type":")" + type
        + "\"}}";
}

// "input output cache-writes cache-reads context turns model" (when anything was
// counted), then " at <last entry's time>" and " interrupted" when the turn ended.
QByteArray describe(const TranscriptCursor &cursor)
{
    const auto &usage = cursor.usage;
    QByteArrayList parts;
    if (usage != TranscriptUsage {}) {
        for (qint64 value : {usage.tokens.input, usage.tokens.output, usage.tokens.cacheCreation,
                             usage.tokens.cacheRead, usage.contextTokens, usage.turns})
            parts << n(value);
    }
    if (usage.model)
        parts << QByteArray::fromStdString(*usage.model);
    if (cursor.activity.lastEntryAt)
        parts << QString::asprintf("at %.3f", epochSeconds(*cursor.activity.lastEntryAt)).toLatin1();
    if (cursor.activity.endedInInterrupt)
        parts << "interrupted";
    return parts.join(' ');
}

QTestData &row(const char *name, TranscriptFormat format, const char *expected)
{
    return QTest::newRow(name) << format << QByteArray(expected);
}

// A row of a recording's whole lines; expected values from tests/tools/transcript_totals.py, a separate implementation.
void recordedRow(const char *path, TranscriptFormat format, const char *expected)
{
    auto lines = QByteArray::fromStdString(readFile(testData(std::string("transcripts/") + path))).split('\n');
    lines.removeLast(); // what follows the last line feed is no line yet
    row(path, format, expected) << lines;
}

// Lines that nearly hold a reply's type or an escape, or hold it cut.
Lines nearMisses()
{
    const QByteArray filler(70, 'x');
    return {"",
            R"("assistant)",
            R"(assistant")",
            R"("assistan"t")",
            R"(\u0)",
            R"(\U00)",
            filler + R"("assist)",
            filler + "\\",
            QByteArray(5000, 'a') + R"("assistant")"};
}

// Lines of the bytes that make up the searched words, and others.
Lines randomLines()
{
    std::mt19937 random(7);
    Lines lines;
    for (int i = 0; i < 3000; ++i) {
        QByteArray line;
        const auto length = random() % 200;
        for (std::size_t j = 0; j < length; ++j)
            line += "\"assitn\\u0x"[random() % 12];
        lines << line;
    }
    return lines;
}

// What the next mapping of a file meets, staged by faultsUnderView(): the file
// shrinks as it is mapped, or the pages after the first cannot be read, as on
// a failing disk. Not under AddressSanitizer, which maps through its own, nor
// where the system call differs from the library's.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LULLWATCH_ADDRESS_SANITIZER
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define LULLWATCH_ADDRESS_SANITIZER
#endif
#if !defined(LULLWATCH_ADDRESS_SANITIZER) && defined(SYS_mmap) && UINTPTR_MAX > 0xffffffffu
#define LULLWATCH_STAGES_FAULTS
#endif
enum class Fault { None, Shrink, Unreadable };
Fault stagedFault = Fault::None;
std::string stagedPath;
off_t stagedSize = 0;

} // namespace

Q_DECLARE_METATYPE(Fault)

#if defined(LULLWATCH_STAGES_FAULTS)
extern "C" void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) noexcept
{
    const auto map = [&](int from) {
        return reinterpret_cast<void *>(::syscall(SYS_mmap, address, length, protection, flags, from, offset));
    };
    struct stat mapped { };
    struct stat staged { };
    if (stagedFault == Fault::None || ::fstat(fd, &mapped) != 0 || ::stat(stagedPath.c_str(), &staged) != 0
        || mapped.st_dev != staged.st_dev || mapped.st_ino != staged.st_ino)
        return map(fd);
    if (std::exchange(stagedFault, Fault::None) == Fault::Shrink) {
        if (::truncate(stagedPath.c_str(), stagedSize) != 0)
            return MAP_FAILED;
        return map(fd);
    }
    // A copy of the first page in place of the file, which keeps its size.
    const int copy = ::memfd_create("first-page", MFD_CLOEXEC);
    std::string page(FileWindow::pageSize(), '\0');
    const bool copied = copy >= 0 && ::pread(fd, page.data(), page.size(), offset) == ssize_t(page.size())
        && ::write(copy, page.data(), page.size()) == ssize_t(page.size());
    void *const view = copied ? map(copy) : MAP_FAILED;
    ::close(copy);
    return view;
}
#endif

class TestTranscriptReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The test's own handler of SIGBUS would answer the fault that shrunkFileUnderView() expects with a debugger.
    void initTestCase() { std::signal(SIGBUS, SIG_DFL); }

    void entries_data()
    {
        QTest::addColumn<TranscriptFormat>("format");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<Lines>("lines");

        recordedRow("claude-code-viewer/fe5e1c67-53e7-4862-81ae-d0e013e3270b.jsonl", claudeCode,
                    "818 51933 137976 3647854 21562 170 claude-sonnet-4-20250514 at 1756861323.665");
        recordedRow("spotter/short.jsonl", claudeCode,
                    "3 13 13835 11515 25366 1 claude-opus-4-6 at 1770757922.480 interrupted");
        recordedRow("local-qwen-code-0.24.4/print-mode-reasoning.jsonl", TranscriptFormat::QwenCode,
                    "700 90 0 1300 2090 1 stand-in-model at 1796608287.025");
        recordedRow("local-gemini-cli-0.61.0/print-mode.jsonl", geminiCli,
                    "929 86 0 3072 4087 1 gemini-2.5-flash at 1796602964.518");
        recordedRow("local-codex-cli-0.171.0/print-mode.jsonl", codexRollout,
                    "954 52 0 2048 3054 1 stand-in-model at 1796602985.786 interrupted");
        row("claude: a later copy replaces its message, a returning id is new", claudeCode, "11 307 100 1000 2 5 opus")
            << Lines {claude("A", 3, 10, 100, 1000),
                      R"({"type":"progress"})",
                      R"({"type":"user","message":{"content":[{"type":"tool_result"}]}})",
                      claude("", 5, 5),
                      claude("A", 3, 299, 100, 1000, "opus"),
                      claude("B", 2, 2),
                      R"({"type":"assistant","message":{"id":"C","model":7,"usage":{}}})",
                      claude("A", 1, 1)};
        row("claude: unusable entries count nothing, only exact integers count", claudeCode, "0 0 12 0 12 1")
            << Lines {R"({"type":"assistant","message":{"id":"X","usage":[]}})",
                      R"({"message":{"usage":{"input_tokens":1}}})",
                      R"({"type":7,"message":{"usage":{"input_tokens":1}}})",
                      claude("B", 1, 0) + " x",
                      R"({"type":"assistant","message":{"usage":{"input_tokens":1e999}}})",
                      R"({"type":"assistant","message":{"usage":{"input_tokens":99999999999999999999}}})",
                      R"({"type":"assistant","message":{"usage":{"input_tokens":12.5,"output_tokens":"7",)"
                      R"("cache_creation_input_tokens":12.0,"cache_read_input_tokens":true}}})"};

        const QByteArray interrupt
            = "{\"type\":\"user\",\"timestamp\":\"2025-01-02T03:04:05Z\",\"message\":{\"content\":[{\"type\":\"text\","
              "\"text\":\"[Request interrupted by user for tool use]\"}]}}";
        row("claude: the last readable stamp counts, even an earlier one", claudeCode, "at 1735788845.000")
            << Lines {R"({"type":"user","timestamp":"2025-01-02T05:04:05Z"})",
                      R"({"type":"assistant","timestamp":"2025-01-01T22:04:05-05:30"})",
                      R"({"type":"user","timestamp":"2025-02-29T00:00:00Z"})"};
        row("claude: types written with escapes are read", claudeCode, "7 0 0 0 7 1 at 1735787045.000 interrupted")
            << Lines {R"({"type":"\u0061ssistant","message":{"usage":{"input_tokens":7}}})",
                      R"({"type":"\u0075ser","interruptedMessageId":"m","timestamp":"2025-01-02T03:04:05Z"})",
                      R"({"type":"assistant","isSidechain":true,"timestamp":"2025-01-02T09:00:00Z"})"};
        row("claude: names written with escapes are read", claudeCode, "5 3 6 0 3 2") << Lines {
            R"({"type":"assistant","message":{"usage":{"input_tokens":5,"cache_creation_input_\u0074okens":6}}})",
            R"({"t\u0079pe":"assistant","message":{"\u0075sage":{"output_tokens":3}}})"};
        row("claude: interrupt in a content string", claudeCode, "interrupted")
            << Lines {R"({"type":"user","message":{"content":"[Request interrupted by user] and more words"}})"};
        row("claude: interruptedMessageId null", claudeCode, "interrupted")
            << Lines {R"({"type":"user","interruptedMessageId":null})"};
        row("claude: marker said by the assistant", claudeCode, "at 1735787045.000")
            << Lines {interrupt, R"({"message":{"content":"[Request interrupted by user]"},"type":"assistant"})"};
        row("claude: a user entry after an interrupt ends it", claudeCode, "at 1735787045.000")
            << Lines {interrupt, R"({"type":"user","message":{"content":"go on"}})"};
        row("claude: bookkeeping, meta and side lines leave an interrupt", claudeCode, "at 1735787045.000 interrupted")
            << Lines {
                   interrupt, R"({"type":"last-prompt","timestamp":"2025-01-02T05:00:00Z"})",
                   R"({"type":"system","timestamp":"2025-01-02T05:00:00Z"})",
                   R"({"type":"user","isMeta":true,"timestamp":"2025-01-02T09:00:00Z","message":{"content":"x"}})",
                   R"({"type":"user","isSidechain":true,"timestamp":"2025-01-02T09:00:00Z","message":{"content":"x"}})"};

        row("gemini: a copy after 256 other messages is settled", geminiCli, "1261 0 0 0 5 258 at 1796602600.000")
            << Lines {gemini("A", 0, 1000, 0)} + geminiRun(1, 256)
                + Lines {gemini("A", 0, 2000, 0), gemini("N", 1000, 5, 0)};
        row("gemini: a message settled while a count is at its maximum", geminiCli,
            "1255 9223372036854775807 0 0 1 257 at 1796601856.000")
            << Lines {gemini("A", 0, 1000, 0), gemini("B", 1, 0, std::numeric_limits<qint64>::max())}
                + geminiRun(2, 256);
        row("gemini: set messages replace and add", geminiCli, "30 6 0 0 22 2 at 1796601602.000")
            << Lines {gemini("A", 1, 10, 1), geminiSet({gemini("A", 1, 10, 4), gemini("B", 2, 20, 2)})};
        row("gemini: a listed conversation is read like its lines", geminiCli, "18 0 0 0 5 2") << Lines {geminiSet(
            {R"({"id":"A","type":"gemini","tokens":{"input":12.0,"output":2.5,"cached":-4,"thoughts":"7","tool":1}})",
             R"({"id":"B","type":"gemini","tokens":{"input":5},"tokens":{"input":9}})"})};
        const QByteArray grownSet = geminiSet({gemini("A", 1, 10, 9), gemini("B", 2, 5, 5)});
        row("gemini: broken lines count nothing", geminiCli, "10 1 0 0 11 1 at 1796601601.000")
            << Lines {gemini("A", 1, 10, 1), grownSet + " x", grownSet.chopped(1) + R"(,"x":tru})",
                      gemini("D", 4, 8, 8) + gemini("E", 5, 8, 8)};
        row("gemini: bookkeeping and rewinding keep what was spent", geminiCli, "35 3 0 0 5 3 at 1796601603.000")
            << Lines {gemini("A", 1, 10, 1), R"({"$set":{"messages":{"id":"A"}}})", gemini("B", 2, 20, 2),
                      R"({"$rewindTo":"A"})", gemini("C", 3, 5, 0)};
        row("gemini: a type written with an escape is read", geminiCli, "3 4 0 0 7 1 at 1796601601.000")
            << Lines {gemini("A", 1, 3, 4).replace(R"("gemini")", R"("gemin\u0069")")};
        row("gemini: only the model's messages count, the user's move the time", geminiCli, "at 1796601601.000")
            << Lines {gemini("U", 1, 50, 5, "user"), gemini("E", 2, 50, 5, "error"),
                      R"({"id":"G","type":"gemini","content":"Working"})",
                      R"({"id":"N","type":"gemini","tokens":null})", claude("C", 1, 1, 1, 1)};
        const Lines relisted = geminiRun(0, 299);
        row("gemini: a long conversation set again counts nothing again", geminiCli,
            "300 0 0 0 1 300 at 1796601899.000")
            << relisted + Lines {geminiSet(relisted)};

        const QByteArray first = codexUsage(100, 40, 0, 10);
        const QByteArray second = codexUsage(250, 140, 0, 25);
        const QByteArray secondReply = codexUsage(150, 100, 0, 15);
        const QByteArray noInfo = R"({"type":"event_msg","payload":{"type":"token_count","info":null}})";
        row("codex: totals are replaced, a repeated count is no new turn", codexRollout, "110 25 0 140 165 2")
            << Lines {noInfo, codexCount(first, first), codexCount(first, first), noInfo,
                      codexCount(second, secondReply)};
        row("codex: usage records count, the event after one repeats it", codexRollout, "110 25 0 140 165 2")
            << Lines {codexCount(first, first, true), codexCount(first, first), codexCount(second, secondReply, true)};
        row("codex: cached and cache-written parts are taken out of the input", codexRollout, "500 50 200 300 135 1")
            << Lines {codexCount(codexUsage(1000, 300, 200, 50), codexUsage(100, 80, 50, 5))};
        row("codex: the model comes from the turn context alone", codexRollout, "60 10 0 40 110 1 gpt-5.1-codex")
            << Lines {R"({"type":"turn_context","payload":{"model":"gpt-5.1-codex"}})",
                      R"({"type":"event_msg","payload":{"type":"thread_settings_applied","model":"event-model"}})",
                      codexCount(first, first), R"({"type":"turn_context","payload":{"cwd":"/home/dev/work"}})"};
        row("codex: a completed task ends the turn, other lines leave the end", codexRollout,
            "at 1796602985.786 interrupted")
            << Lines {codexEvent("user_message", "23:04.638"), codexEvent("agent_message", "23:05.685"),
                      codexEvent("task_complete", "23:05.786"), codexEvent("token_count", "24:00")};
        row("codex: an aborted turn ends it", codexRollout, "at 1796602985.685 interrupted")
            << Lines {codexEvent("user_message", "23:04.638"), codexEvent("turn_aborted", "23:05.685")};
        row("codex: a started task begins a turn", codexRollout, "at 1796602985.685")
            << Lines {codexEvent("task_complete", "23:04.638"), codexEvent("task_started", "23:05.685")};
    }

    // Each row is read line by line, and from a file, whole and in chunks of a few lines: reading a file passes
    // over lines that cannot count, and must come to the same.
    void entries()
    {
        QFETCH(TranscriptFormat, format);
        QFETCH(QByteArray, expected);
        QFETCH(Lines, lines);
        TranscriptReader reader;
        TranscriptCursor cursor;
        for (const auto &line : lines)
            reader.ingestEntry(std::string_view(line.constData(), line.size()), cursor, format);
        QCOMPARE(describe(cursor), expected);

        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("t.jsonl")).toStdString();
        // Lines that say nothing in any format come first, so that the pages of every row are viewed.
        const QByteArray nothing = R"({"type":"progress"})";
        writeFile(path, QByteArray(nothing + '\n').repeated(500) + lines.join('\n') + '\n');
        const std::size_t page = FileWindow::pageSize();
        const TranscriptReader::Limits copied {.viewedWindow = 0};
        for (const auto &limits : {copied, TranscriptReader::Limits {.chunkSize = 300, .viewedWindow = 0},
                                   TranscriptReader::Limits {.viewedWindow = 2 * page},
                                   TranscriptReader::Limits {.viewedWindow = 16 * page}}) {
            TranscriptReader fileReader(limits);
            TranscriptCursor fileCursor;
            fileReader.read(path, fileCursor, format);
            QCOMPARE(describe(fileCursor), expected);
        }
    }

    // Every variant of the line search finds each line's end and its words as a plain search does, wherever the
    // line starts against the vectors' width.
    void lineSearch_data()
    {
        QTest::addColumn<Lines>("lines");
        const QByteArray filler(70, 'x');
        QTest::newRow("words at every place") << [&] {
            Lines lines;
            for (int at = 0; at <= 70; ++at)
                lines << filler.left(at) + R"("assistant")" + filler.left(70 - at)
                      << filler.left(at) + R"(\u00)" + filler.left(70 - at);
            return lines;
        }();
        QTest::newRow("near misses and cut words") << nearMisses();
        QTest::newRow("random") << randomLines();
    }

    void lineSearch()
    {
        QFETCH(Lines, lines);
        const std::string_view a = R"("assistant")";
        const std::string_view b = R"(\u00)";
        for (const auto search : lineSearchVariants()) {
            for (std::size_t shift = 0; shift < 64; ++shift) {
                for (qsizetype i = 0; i + 1 < lines.size() || i == 0; ++i) {
                    const QByteArray &line = lines.value(i);
                    // The next line holds both words, which must not count for this one.
                    std::string text = std::string(shift, 'x') + line.toStdString() + '\n' + R"("assistant"\u00)";
                    const std::size_t size = text.size();
                    text.append(lineSearchPadding, '\0');
                    const std::string_view view(line.constData(), line.size());
                    const auto found = search(std::string_view(text).substr(0, size), shift, a, b);
                    QCOMPARE(found.end, shift + view.size());
                    QCOMPARE(found.holds, view.find(a) != view.npos || view.find(b) != view.npos);
                }
            }
        }
    }

    // A file that shrinks under a view reads as quotes and line feeds past its new end, and after the view,
    // instead of ending the process; a fault outside any view, or a SIGBUS sent, still ends it.
    void shrunkFileUnderView()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("t.jsonl")).toStdString();
        const std::size_t page = FileWindow::pageSize();
        writeFile(path, QByteArray(static_cast<qsizetype>(3 * page), 'x'));
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        QVERIFY(fd >= 0);
        {
            const FileWindow view(fd, 0, 3 * page);
            QVERIFY(view.isValid());
            QCOMPARE(view.data()[2 * page], 'x');
            QVERIFY(!view.shrank());
            QCOMPARE(::ftruncate(fd, static_cast<off_t>(page)), 0);
            QCOMPARE(view.data()[2 * page + 1], '\n'); // not zeros: a search for the end of a line stops
            QVERIFY(view.shrank());
            QCOMPARE(view.data()[page - 1], 'x');
        }

        // Cut inside the view's last page, the file reads zeros to that page's end, with no fault; the stopper
        // follows, so that a search through the zeros stops instead of running off the view.
        const std::string full(3 * page, 'x');
        QCOMPARE(::pwrite(fd, full.data(), full.size(), 0), ssize_t(full.size()));
        {
            const FileWindow view(fd, 0, 3 * page);
            QCOMPARE(::ftruncate(fd, static_cast<off_t>(3 * page - 100)), 0);
            QCOMPARE(view.data()[3 * page - 1], '\0');
            QCOMPARE(view.data()[3 * page], '"');
        }

        // While a view is open, a fault in another mapping, or the signal sent by a process, still ends the
        // process as it would without the guard.
        for (const bool sent : {false, true}) {
            QCOMPARE(::ftruncate(fd, static_cast<off_t>(3 * page)), 0);
            const pid_t child = ::fork();
            if (child == 0) {
                // Mapped first, so that it lies above the view.
                auto *mapped = static_cast<volatile char *>(::mmap(nullptr, 3 * page, PROT_READ, MAP_PRIVATE, fd, 0));
                const FileWindow view(fd, 0, 3 * page);
                if (!view.isValid() || mapped == MAP_FAILED)
                    ::_exit(2);
                if (sent)
                    ::raise(SIGBUS);
                else if (::ftruncate(fd, 0) == 0)
                    (void)mapped[2 * page];
                ::_exit(0);
            }
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS,
                     sent ? "a SIGBUS sent to the child did not end it" : "the child read a page past its file's end");
        }
        ::close(fd);
    }

    // A read whose pages fail under it: a file that shrank is read again from its start, copied; pages that
    // cannot be read leave the cursor as it was, for the next read to take up.
    void faultsUnderView_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::newRow("shrunk to its first third") << Fault::Shrink;
        QTest::newRow("unreadable past the first page") << Fault::Unreadable;
    }

    void faultsUnderView()
    {
#if !defined(LULLWATCH_STAGES_FAULTS)
        QSKIP("faults are staged by replacing mmap, which this build cannot do");
#endif
        QFETCH(Fault, fault);
        const auto unstage = qScopeGuard([] { stagedFault = Fault::None; });
        QTemporaryDir dir;
        stagedPath = dir.filePath(QStringLiteral("t.jsonl")).toStdString();
        // Lines of over 100 bytes, three windows of four pages at least.
        const auto page = FileWindow::pageSize();
        const int total = static_cast<int>(12 * page / 100);
        const int kept = fault == Fault::Shrink ? total / 3 : total;
        QByteArray lines;
        for (int i = 0; i < total; ++i) {
            lines += claude("M" + n(i), 1, 2, 3, 4) + '\n';
            if (i + 1 == kept)
                stagedSize = lines.size();
        }
        writeFile(stagedPath, lines);
        TranscriptReader reader({.viewedWindow = 4 * page});
        TranscriptCursor cursor;
        stagedFault = fault;
        reader.read(stagedPath, cursor);
        QCOMPARE(stagedFault, Fault::None);
        if (fault == Fault::Shrink) {
            QCOMPARE(describe(cursor),
                     n(kept) + ' ' + n(2 * kept) + ' ' + n(3 * kept) + ' ' + n(4 * kept) + " 10 " + n(kept));
            QCOMPARE(cursor.offset, std::uint64_t(stagedSize));
        } else {
            QCOMPARE(cursor, TranscriptCursor {});
        }

        appendFile(stagedPath, claude("N", 1, 0).toStdString() + '\n');
        reader.read(stagedPath, cursor);
        QCOMPARE(describe(cursor),
                 n(kept + 1) + ' ' + n(2 * kept) + ' ' + n(3 * kept) + ' ' + n(4 * kept) + " 1 " + n(kept + 1));
    }

    // A file rewritten shorter is read again; unreadable paths leave the cursor, without blocking on a FIFO or
    // reading /dev/zero forever; a gigabyte without a line feed, mostly holes, is skipped 256 MiB per read.
    void fileReads()
    {
        QTemporaryDir dir;
        const auto file = [&](const char *name) { return dir.filePath(QLatin1String(name)).toStdString(); };
        TranscriptReader reader;
        TranscriptCursor cursor;
        writeFile(file("t.jsonl"), claude("A", 1, 2, 3, 4) + '\n' + claude("B", 10, 20, 30, 40) + '\n');
        reader.read(file("t.jsonl"), cursor);
        writeFile(file("t.jsonl"), claude("C", 5, 0) + '\n');
        reader.read(file("t.jsonl"), cursor);
        QCOMPARE(describe(cursor), "5 0 0 0 5 1");

        QCOMPARE(::mkfifo(file("pipe").c_str(), 0600), 0);
        for (const std::string &path :
             {file("nothing.jsonl"), dir.path().toStdString(), file("pipe"), std::string("/dev/zero")}) {
            const TranscriptCursor before = cursor;
            reader.read(path, cursor);
            QCOMPARE(cursor, before);
        }

        // Each read stops at its bound, whether it views the file's pages or copies them.
        // A line longer than the limit is skipped in either way.
        QByteArray many;
        for (int i = 0; i < 2000; ++i)
            many += claude("M" + n(i), 1, 2, 3, 4) + '\n'
                + (i == 1000 ? QByteArray(claude("L", 7, 0, 0, 0, QByteArray(1500, 'x')) + '\n') : QByteArray());
        writeFile(file("many.jsonl"), many);
        for (const std::size_t window : {std::size_t {0}, 2 * FileWindow::pageSize()}) {
            TranscriptReader bounded(
                {.chunkSize = 1024, .maxLineLength = 1024, .maxBytesPerRead = 16384, .viewedWindow = window});
            TranscriptCursor parts;
            for (int read = 1; parts.offset < std::uint64_t(many.size()); ++read) {
                bounded.read(file("many.jsonl"), parts);
                QVERIFY(parts.offset <= std::uint64_t(read) * 16384);
                QVERIFY(read <= many.size() / 16384 + 2);
            }
            QCOMPARE(describe(parts), "2000 4000 6000 8000 10 2000");
        }

        // A read that starts at the end of a page, with views of one page.
        writeFile(file("late.jsonl"), QByteArray(4089, ' ') + '\n');
        TranscriptReader onePage({.viewedWindow = FileWindow::pageSize()});
        TranscriptCursor late;
        onePage.read(file("late.jsonl"), late);
        QByteArray later;
        for (int i = 0; i < 200; ++i)
            later += claude("M" + n(i), 1, 2, 3, 4) + '\n';
        appendFile(file("late.jsonl"), later.toStdString());
        onePage.read(file("late.jsonl"), late);
        QCOMPARE(late.offset, std::uint64_t(4090 + later.size()));
        QCOMPARE(describe(late), "200 400 600 800 10 200");

        writeFile(file("sparse.jsonl"), "{");
        std::filesystem::resize_file(file("sparse.jsonl"), std::uintmax_t {1} << 30);
        TranscriptCursor sparse;
        reader.read(file("sparse.jsonl"), sparse);
        QCOMPARE(sparse.offset, std::uint64_t {256} << 20);
        QVERIFY(sparse.discardingLine);
        reader.read(file("sparse.jsonl"), sparse);
        QCOMPARE(sparse.offset, std::uint64_t {512} << 20);
    }
};

QTEST_GUILESS_MAIN(TestTranscriptReader)
#include "tst_transcriptreader.moc"
