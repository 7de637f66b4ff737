// Benchmarks of the session engine: the first read of a large transcript and
// the periodic scan over many live sessions.
//
//   bench_engine [--transcript=PATH] [--qwen-transcript=PATH] [--gemini-transcript=PATH]
//                [--codex-transcript=PATH] [Google Benchmark flags]
//
// The transcripts default to bench/data/transcript-200MB.jsonl (Claude Code),
// qwen-transcript-200MB.jsonl, gemini-transcript-200MB.jsonl and
// codex-transcript-200MB.jsonl, each made by bench/generate_transcript.py
// (--format claude, qwen, gemini, codex) together with PATH.expected.json, the
// totals the reader has to arrive at.

#include "platform/PosixProcessProbe.h"
#include "sessions/Clock.h"
#include "sessions/SessionScanner.h"
#include "sessions/TranscriptReader.h"

#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using lullwatch::TranscriptCursor;
using lullwatch::TranscriptReader;

std::string transcriptPath = LULLWATCH_BENCH_DEFAULT_TRANSCRIPT;
std::string qwenTranscriptPath = LULLWATCH_BENCH_DEFAULT_QWEN_TRANSCRIPT;
std::string geminiTranscriptPath = LULLWATCH_BENCH_DEFAULT_GEMINI_TRANSCRIPT;
std::string codexTranscriptPath = LULLWATCH_BENCH_DEFAULT_CODEX_TRANSCRIPT;

[[noreturn]] void fail(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("bench_engine: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

std::optional<std::uint64_t> fileSize(const std::string &path)
{
    struct stat status { };
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

// --- first read ---------------------------------------------------------

struct ExpectedTotals {
    std::int64_t input = 0;
    std::int64_t output = 0;
    std::int64_t cacheCreation = 0;
    std::int64_t cacheRead = 0;
    std::int64_t turns = 0;
    std::int64_t contextTokens = 0;
    std::string model;
    std::uint64_t bytes = 0;
};

ExpectedTotals loadExpectedTotals(const std::string &path)
{
    simdjson::dom::parser parser;
    simdjson::dom::object top;
    if (parser.load(path).get(top) != simdjson::SUCCESS)
        fail("cannot read the expected totals in %s (generate the transcript again)", path.c_str());

    auto integer = [&](const char *key) {
        std::int64_t value = 0;
        if (top[key].get(value) != simdjson::SUCCESS)
            fail("%s has no integer \"%s\"", path.c_str(), key);
        return value;
    };
    ExpectedTotals expected;
    expected.input = integer("input");
    expected.output = integer("output");
    expected.cacheCreation = integer("cacheCreation");
    expected.cacheRead = integer("cacheRead");
    expected.turns = integer("turns");
    expected.contextTokens = integer("contextTokens");
    expected.bytes = static_cast<std::uint64_t>(integer("bytes"));
    std::string_view model;
    if (top["model"].get(model) != simdjson::SUCCESS)
        fail("%s has no string \"model\"", path.c_str());
    expected.model = std::string(model);
    return expected;
}

void checkTotals(const TranscriptCursor &cursor, const ExpectedTotals &expected, std::uint64_t size)
{
    const auto &usage = cursor.usage;
    auto check = [](const char *what, std::int64_t got, std::int64_t wanted) {
        if (got != wanted)
            fail("the reader counted %s = %" PRId64 ", the generator wrote %" PRId64, what, got, wanted);
    };
    if (cursor.offset != size || size != expected.bytes)
        fail("read %" PRIu64 " bytes of a %" PRIu64 "-byte file, the generator wrote %" PRIu64, cursor.offset, size,
             expected.bytes);
    check("input tokens", usage.tokens.input, expected.input);
    check("output tokens", usage.tokens.output, expected.output);
    check("cache creation tokens", usage.tokens.cacheCreation, expected.cacheCreation);
    check("cache read tokens", usage.tokens.cacheRead, expected.cacheRead);
    check("turns", usage.turns, expected.turns);
    check("context tokens", usage.contextTokens, expected.contextTokens);
    if (usage.model.value_or("") != expected.model)
        fail("the reader's model is \"%s\", the generator's last is \"%s\"", usage.model.value_or("").c_str(),
             expected.model.c_str());
}

// One whole read of the transcript from a fresh cursor, as when the
// application first meets a long session. The file is in the page cache.
void firstRead(benchmark::State &state, const std::string &transcriptPath, lullwatch::TranscriptFormat format,
               bool &verified)
{
    const auto size = fileSize(transcriptPath);
    if (!size) {
        state.SkipWithError(("no transcript at " + transcriptPath + " (run bench/run.sh)").c_str());
        return;
    }

    TranscriptReader reader;

    // Once per process: the reader must agree with the generator. This read
    // also brings the file into the page cache.
    if (!verified) {
        const auto expected = loadExpectedTotals(transcriptPath + ".expected.json");
        TranscriptCursor cursor;
        reader.read(transcriptPath, cursor, format);
        checkTotals(cursor, expected, *size);
        verified = true;
    }

    for (auto _ : state) {
        TranscriptCursor cursor;
        reader.read(transcriptPath, cursor, format);
        benchmark::DoNotOptimize(cursor.usage.turns);
        if (cursor.offset != *size)
            fail("short read: %" PRIu64 " of %" PRIu64 " bytes", cursor.offset, *size);
    }

    const auto bytes = static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(*size);
    state.SetBytesProcessed(bytes); // bytes_per_second, in binary units (G/s = GiB/s)
    state.counters["SI_bytes_per_second"]
        = benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
    state.counters["file_MB"] = static_cast<double>(*size) / 1e6;
}

void BM_FirstRead(benchmark::State &state)
{
    static bool verified = false;
    firstRead(state, transcriptPath, lullwatch::TranscriptFormat::ClaudeCode, verified);
}
BENCHMARK(BM_FirstRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FirstReadQwen(benchmark::State &state)
{
    static bool verified = false;
    firstRead(state, qwenTranscriptPath, lullwatch::TranscriptFormat::QwenCode, verified);
}
BENCHMARK(BM_FirstReadQwen)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FirstReadGemini(benchmark::State &state)
{
    static bool verified = false;
    firstRead(state, geminiTranscriptPath, lullwatch::TranscriptFormat::GeminiCli, verified);
}
BENCHMARK(BM_FirstReadGemini)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FirstReadCodex(benchmark::State &state)
{
    static bool verified = false;
    firstRead(state, codexTranscriptPath, lullwatch::TranscriptFormat::CodexRollout, verified);
}
BENCHMARK(BM_FirstReadCodex)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- ticks over many sessions -------------------------------------------

constexpr int sessionCount = 100;
constexpr std::size_t appendBytes = 2048; // per session and tick
constexpr int initialBlocks = 64; // each transcript starts at about 130 KB

// Writes the whole of `data` to the end of the file at `path`.
void appendToFile(const std::string &path, std::string_view data)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("cannot open %s: %s", path.c_str(), std::strerror(errno));
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            fail("cannot write %s: %s", path.c_str(), std::strerror(errno));
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    ::close(fd);
}

// Words to build tool output from; slices at varying offsets keep the
// appended lines from being identical.
constexpr std::string_view toolOutputPool
    = "running 48 tests\\ntest sessions::scanner::reads_appended_lines ... ok\\n"
      "test sessions::scanner::drops_expired_records ... ok\\ntest sessions::reader::counts_split_messages ... ok\\n"
      "test sessions::reader::skips_oversized_lines ... ok\\ntest sessions::record::rejects_unknown_state ... ok\\n"
      "    Finished release [optimized] target(s) in 0.42s\\n     Running unittests src/main.rs\\n"
      "src/sessions/SessionScanner.cpp:142:9: note: 'cursor' declared here \\u2192 see above\\n"
      "100% tests passed, 0 tests failed out of 48\\n\\nTotal Test time (real) =   1.37 sec\\n"
      "\\u25cb lullwatch-dov [EPIC] \\u00b7 Tray status for agent sessions   [\\u25cf P1 \\u00b7 OPEN]\\n"
      "Owner: dev \\u00b7 Type: epic\\nCreated: 2026-02-12 \\u00b7 Updated: 2026-02-12\\n\\nDESCRIPTION\\n"
      "The tray shows one row per session with its state, the tokens spent and the model; "
      "a session that waits for the user is shown first and raises a notification once.\\n";

// A sessions folder with one record and one transcript per session, in a
// temporary directory removed afterwards.
class SessionsFolder {
public:
    SessionsFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "lullwatch-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            fail("mkdtemp: %s", std::strerror(errno));
        m_root = pattern;
        std::filesystem::create_directories(sessionsDirectory());
        std::filesystem::create_directories(m_root / "projects");

        const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        for (int session = 0; session < sessionCount; ++session) {
            const std::string id = uuid(0x5e55, static_cast<std::uint64_t>(session));
            const std::string transcript = (m_root / "projects" / (id + ".jsonl")).string();
            m_transcripts.push_back(transcript);

            char record[1024];
            std::snprintf(record, sizeof record,
                          "{\"sessionId\":\"%s\",\"state\":\"working\",\"event\":\"PostToolUse\","
                          "\"cwd\":\"/home/dev/projects/example-%03d\",\"transcriptPath\":\"%s\","
                          "\"updatedAt\":%.3f,\"pid\":%d,\"source\":\"claude\"}\n",
                          id.c_str(), session, transcript.c_str(), now, static_cast<int>(::getpid()));
            appendToFile((sessionsDirectory() / (id + ".json")).string(), record);

            std::string content = promptLine(session);
            for (int block = 0; block < initialBlocks; ++block)
                appendBlock(content, session);
            appendToFile(transcript, content);
        }
        m_turns = initialBlocks;
    }

    ~SessionsFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }

    SessionsFolder(const SessionsFolder &) = delete;
    SessionsFolder &operator=(const SessionsFolder &) = delete;

    std::filesystem::path sessionsDirectory() const { return m_root / "sessions"; }

    // What an agent writes in a tool round: one assistant line and one tool
    // result, appendBytes in all, to every transcript.
    void growAll()
    {
        for (int session = 0; session < sessionCount; ++session) {
            m_block.clear();
            appendBlock(m_block, session);
            appendToFile(m_transcripts[static_cast<std::size_t>(session)], m_block);
        }
        ++m_turns;
    }

    // Assistant messages written to each transcript so far.
    std::int64_t turns() const { return m_turns; }

private:
    static std::string uuid(std::uint64_t high, std::uint64_t low)
    {
        char text[40];
        std::snprintf(text, sizeof text, "%08" PRIx64 "-%04" PRIx64 "-4%03" PRIx64 "-8%03" PRIx64 "-%012" PRIx64,
                      high & 0xffffffff, (low >> 48) & 0xffff, (low >> 36) & 0xfff, (low >> 24) & 0xfff,
                      low & 0xffffffffffff);
        return text;
    }

    template<std::size_t N> static void appendFormatted(std::string &out, const char (&line)[N], int length)
    {
        if (length < 0 || static_cast<std::size_t>(length) >= N)
            fail("a generated line does not fit its buffer");
        out.append(line, static_cast<std::size_t>(length));
    }

    static std::string timestamp()
    {
        const auto now = std::chrono::system_clock::now();
        const auto seconds = std::chrono::system_clock::to_time_t(now);
        const auto millis
            = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        std::tm parts {};
        ::gmtime_r(&seconds, &parts);
        char text[40];
        const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
        std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
        return text;
    }

    std::string promptLine(int session)
    {
        const std::string id = uuid(0x5e55, static_cast<std::uint64_t>(session));
        m_parent = uuid(0x0b5e, m_serial++);
        char line[1024];
        std::snprintf(line, sizeof line,
                      "{\"parentUuid\":null,\"isSidechain\":false,\"userType\":\"external\","
                      "\"cwd\":\"/home/dev/projects/example-%03d\",\"sessionId\":\"%s\",\"version\":\"2.1.39\","
                      "\"gitBranch\":\"main\",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":"
                      "\"Run the scanner tests and fix whatever fails.\"},\"uuid\":\"%s\",\"timestamp\":\"%s\","
                      "\"permissionMode\":\"default\"}\n",
                      session, id.c_str(), m_parent.c_str(), timestamp().c_str());
        return line;
    }

    void appendBlock(std::string &out, int session)
    {
        const std::string id = uuid(0x5e55, static_cast<std::uint64_t>(session));
        const std::uint64_t serial = m_serial++;
        const std::string stamp = timestamp();
        const std::string assistantUuid = uuid(0x0b5e, m_serial++);
        const std::string resultUuid = uuid(0x0b5e, m_serial++);
        const auto start = out.size();

        char line[2048];
        int length = std::snprintf(
            line, sizeof line,
            "{\"parentUuid\":\"%s\",\"isSidechain\":false,\"userType\":\"external\","
            "\"cwd\":\"/home/dev/projects/example-%03d\",\"sessionId\":\"%s\",\"version\":\"2.1.39\","
            "\"gitBranch\":\"main\",\"message\":{\"model\":\"claude-opus-4-6\",\"id\":\"msg_01Bench%016" PRIx64 "\","
            "\"type\":\"message\",\"role\":\"assistant\",\"content\":[{\"type\":\"tool_use\","
            "\"id\":\"toolu_01Bench%016" PRIx64 "\",\"name\":\"Bash\",\"input\":{\"command\":\"ctest --test-dir "
            "build/dev -R scanner --output-on-failure\",\"description\":\"Run the scanner tests\"}}],"
            "\"stop_reason\":\"tool_use\",\"stop_sequence\":null,\"usage\":{\"input_tokens\":%d,"
            "\"cache_creation_input_tokens\":%d,\"cache_read_input_tokens\":%d,\"cache_creation\":"
            "{\"ephemeral_5m_input_tokens\":%d,\"ephemeral_1h_input_tokens\":0},\"output_tokens\":%d,"
            "\"service_tier\":\"standard\",\"inference_geo\":\"global\"}},\"requestId\":\"req_011CYBench%016" PRIx64
            "\",\"type\":\"assistant\",\"uuid\":\"%s\",\"timestamp\":\"%s\"}\n",
            m_parent.c_str(), session, id.c_str(), serial, serial, static_cast<int>(3 + serial % 7),
            static_cast<int>(serial % 4000), static_cast<int>(20000 + serial % 90000), static_cast<int>(serial % 4000),
            static_cast<int>(40 + serial % 900), serial, assistantUuid.c_str(), stamp.c_str());
        appendFormatted(out, line, length);

        length
            = std::snprintf(line, sizeof line,
                            "{\"parentUuid\":\"%s\",\"isSidechain\":false,\"userType\":\"external\","
                            "\"cwd\":\"/home/dev/projects/example-%03d\",\"sessionId\":\"%s\",\"version\":\"2.1.39\","
                            "\"gitBranch\":\"main\",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":[{"
                            "\"tool_use_id\":\"toolu_01Bench%016" PRIx64 "\",\"type\":\"tool_result\",\"content\":\"",
                            assistantUuid.c_str(), session, id.c_str(), serial);
        appendFormatted(out, line, length);

        static constexpr char tailFormat[] = "\",\"is_error\":false}]},\"uuid\":\"%s\",\"timestamp\":\"%s\"}\n";
        const std::size_t tailLength = sizeof tailFormat - 1 - 4 + resultUuid.size() + stamp.size();
        const std::size_t used = out.size() - start + tailLength;
        std::size_t wanted = used < appendBytes ? appendBytes - used : 0;
        // Tool output cut from the pool at an offset that changes every time,
        // never ending inside an escape sequence.
        std::size_t offset = static_cast<std::size_t>(serial * 37) % (toolOutputPool.size() / 2);
        while (wanted > 0) {
            std::string_view piece = toolOutputPool.substr(offset, wanted);
            while (!piece.empty()
                   && piece.find('\\', piece.size() > 6 ? piece.size() - 6 : 0) != std::string_view::npos)
                piece.remove_suffix(1);
            if (piece.empty()) {
                out.append(wanted, ' ');
                break;
            }
            out.append(piece);
            wanted -= piece.size();
            offset = 0;
        }

        length = std::snprintf(line, sizeof line, tailFormat, resultUuid.c_str(), stamp.c_str());
        appendFormatted(out, line, length);
        m_parent = resultUuid;
    }

    std::filesystem::path m_root;
    std::vector<std::string> m_transcripts;
    std::string m_block;
    std::string m_parent;
    std::uint64_t m_serial = 0;
    std::int64_t m_turns = 0;
};

void checkSessions(const std::vector<lullwatch::SessionInfo> &sessions, std::int64_t turns)
{
    if (sessions.size() != sessionCount)
        fail("the scan found %zu sessions, not %d", sessions.size(), sessionCount);
    for (const auto &session : sessions) {
        if (session.usage.turns != turns)
            fail("session %s has %" PRId64 " turns, not %" PRId64, session.id.c_str(), session.usage.turns, turns);
    }
}

// The scanner in the state it has after the application's first scan.
struct WarmScanner {
    lullwatch::SystemClock clock;
    lullwatch::PosixProcessProbe probe;
    lullwatch::SessionScanner scanner;

    explicit WarmScanner(const SessionsFolder &folder)
        : scanner(folder.sessionsDirectory(), clock, probe)
    {
        checkSessions(scanner.scan().result(), folder.turns());
    }
};

// One tick while every session is working: each transcript grew by 2 KB.
void BM_TickLive100(benchmark::State &state)
{
    SessionsFolder folder;
    WarmScanner warm(folder);
    std::vector<lullwatch::SessionInfo> sessions;

    for (auto _ : state) {
        state.PauseTiming();
        folder.growAll();
        state.ResumeTiming();
        sessions = warm.scanner.scan().result();
        benchmark::DoNotOptimize(sessions.data());
    }

    checkSessions(sessions, folder.turns());
    state.counters["sessions"] = sessionCount;
    state.counters["appended_bytes"] = static_cast<double>(appendBytes * sessionCount);
}
BENCHMARK(BM_TickLive100)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One tick while no session wrote anything since the last one.
void BM_TickIdle100(benchmark::State &state)
{
    SessionsFolder folder;
    WarmScanner warm(folder);
    std::vector<lullwatch::SessionInfo> sessions;

    for (auto _ : state) {
        sessions = warm.scanner.scan().result();
        benchmark::DoNotOptimize(sessions.data());
    }

    checkSessions(sessions, folder.turns());
    state.counters["sessions"] = sessionCount;
}
BENCHMARK(BM_TickIdle100)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    const struct {
        std::string_view option;
        std::string &path;
    } transcriptOptions[] = {{"--transcript=", transcriptPath},
                             {"--qwen-transcript=", qwenTranscriptPath},
                             {"--gemini-transcript=", geminiTranscriptPath},
                             {"--codex-transcript=", codexTranscriptPath}};
    std::vector<char *> arguments;
    for (int i = 0; i < argc; ++i) {
        const std::string_view argument = argv[i];
        bool taken = false;
        for (const auto &[option, path] : transcriptOptions) {
            if (i > 0 && argument.starts_with(option)) {
                path = std::string(argument.substr(option.size()));
                taken = true;
                break;
            }
        }
        if (!taken)
            arguments.push_back(argv[i]);
    }
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);

    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
