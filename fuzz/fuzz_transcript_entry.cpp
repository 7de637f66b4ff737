// Feeds arbitrary bytes to the transcript reader in two ways that must agree.
//
// The input is taken as a transcript in one of the agents' formats, chosen by
// its last byte (see formatOf): its lines (each ended by a line feed)
// go one after another through ingestEntry on one cursor, so that state such
// as a message that grows over several lines carries from line to line. The
// same bytes are then written to a file and read with read(): in one go with
// the default limits, in two steps with the file growing in between, through
// the file's pages a page at a time (inputs of a page or more), in small
// chunks that lines straddle, and (for short inputs, as it costs a system call
// per few bytes) with tiny limits that make every line span several chunks.
// Each must leave the cursor exactly where the line-by-line walk left it; the
// bytes after the last line feed wait in the cursor's remainder, or, past a
// chunk, in the file to be read again.
//
// With the tiny limits, lines longer than the limit are skipped; whether a
// line just above it is skipped depends on where the chunks fall, so that
// comparison is only made when no line is longer than the limit.

#include "files/FileWindow.h"
#include "sessions/TranscriptReader.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t smallChunkSize = 509;
// One of these per input, chosen by its length, so that line feeds fall on
// every kind of chunk boundary: first, last, alone in a chunk.
constexpr std::size_t tinyChunkSizes[] = {2, 3, 5, 7, 11, 16};
constexpr std::size_t tinyMaxLineLength = 64;
constexpr std::size_t tinyInputLimit = 4096;

// The format of an input: Qwen Code's for an odd last byte; for an even one,
// by its value modulo 16: 0 or 2 ('0', '2') Gemini CLI's, 4 or 6 ('4', '6')
// Codex's, 8 to 14 Claude Code's, which takes an input that ends in a line
// feed (10). A seed in another format ends in an unfinished line of one byte.
lullwatch::TranscriptFormat formatOf(std::uint8_t last)
{
    using lullwatch::TranscriptFormat;
    if (last & 1)
        return TranscriptFormat::QwenCode;
    switch (last % 16) {
    case 0:
    case 2:
        return TranscriptFormat::GeminiCli;
    case 4:
    case 6:
        return TranscriptFormat::CodexRollout;
    default:
        return TranscriptFormat::ClaudeCode;
    }
}

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_transcript_entry: check failed: %s\n", what);
        std::abort();
    }
}

// One scratch file for the whole run, overwritten by every input. It is
// unlinked at once and read through /proc/self/fd, so that nothing is left in
// /tmp when the run ends, however it ends.
class ScratchFile {
public:
    ScratchFile()
    {
        char name[] = "/tmp/lullwatch-fuzz-XXXXXX";
        m_fd = ::mkstemp(name);
        check(m_fd >= 0, "mkstemp in /tmp");
        const std::string procPath = "/proc/self/fd/" + std::to_string(m_fd);
        if (::access(procPath.c_str(), R_OK) == 0) {
            ::unlink(name);
            m_path = procPath;
        } else {
            // No /proc: the file stays until the run ends. The name is kept
            // apart, as the handler runs after this object is destroyed.
            static char keptName[sizeof name];
            std::memcpy(keptName, name, sizeof name);
            std::atexit([] { ::unlink(keptName); });
            m_path = name;
        }
    }

    static ScratchFile &instance()
    {
        static ScratchFile file;
        return file;
    }

    const std::string &path() const { return m_path; }

    // Never to zero: ext4 flushes a file to disk when it is closed after
    // being truncated to nothing, which would make every input a disk write.
    void resize(std::size_t size)
    {
        check(size > 0, "the scratch file keeps at least one byte");
        check(::ftruncate(m_fd, static_cast<off_t>(size)) == 0, "ftruncate of the scratch file");
    }

    void write(std::string_view bytes, std::size_t offset)
    {
        while (!bytes.empty()) {
            const ssize_t written = ::pwrite(m_fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
            if (written < 0 && errno == EINTR)
                continue;
            check(written > 0, "pwrite to the scratch file");
            bytes.remove_prefix(static_cast<std::size_t>(written));
            offset += static_cast<std::size_t>(written);
        }
    }

private:
    int m_fd = -1;
    std::string m_path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using lullwatch::TranscriptCursor;
    using lullwatch::TranscriptReader;

    // Readers keep only buffers between reads; reusing them across inputs is
    // what the scanner does, and it must not leak anything into the results.
    static TranscriptReader lineReader;
    static TranscriptReader defaultReader;
    static TranscriptReader viewedReader(TranscriptReader::Limits {.viewedWindow = lullwatch::FileWindow::pageSize()});
    static TranscriptReader smallChunkReader(TranscriptReader::Limits {.chunkSize = smallChunkSize});
    static std::vector<TranscriptReader> tinyReaders = [] {
        std::vector<TranscriptReader> readers;
        for (const std::size_t chunkSize : tinyChunkSizes)
            readers.emplace_back(TranscriptReader::Limits {chunkSize, tinyMaxLineLength});
        return readers;
    }();
    ScratchFile &file = ScratchFile::instance();

    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const auto format = size > 0 ? formatOf(data[size - 1]) : lullwatch::TranscriptFormat::ClaudeCode;

    // Line by line.
    TranscriptCursor expected;
    std::size_t start = 0;
    std::size_t longestLine = 0;
    for (std::size_t lineFeed = bytes.find('\n'); lineFeed != std::string_view::npos;
         lineFeed = bytes.find('\n', start)) {
        const std::string_view line = bytes.substr(start, lineFeed - start);
        if (!line.empty())
            lineReader.ingestEntry(line, expected, format);
        longestLine = std::max(longestLine, line.size());
        start = lineFeed + 1;
    }
    expected.offset = size;
    expected.remainder = std::string(bytes.substr(start));

    if (size == 0) {
        check(expected == TranscriptCursor {}, "nothing read changes nothing");
        return 0;
    }

    // The file growing in two steps, split somewhere that may cut a line.
    const std::size_t split = 1 + data[0] % size;
    file.resize(split);
    file.write(bytes.substr(0, split), 0);
    TranscriptCursor grown;
    defaultReader.read(file.path(), grown, format);
    check(grown.offset == split, "the first step consumes what the file held");
    file.write(bytes.substr(split), split);
    defaultReader.read(file.path(), grown, format);
    check(grown == expected, "reading in two steps agrees with the line-by-line walk");

    // In one go, default limits.
    TranscriptCursor whole;
    defaultReader.read(file.path(), whole, format);
    check(whole == expected, "reading in one go agrees with the line-by-line walk");

    // An unfinished last line longer than a chunk is not kept: the cursor
    // goes back to its start, to read it again once it is complete.
    const auto lastLineFeed = bytes.rfind('\n');
    const std::size_t tailStart = lastLineFeed == std::string_view::npos ? 0 : lastLineFeed + 1;
    const auto rewound = [&](const TranscriptCursor &cursor) {
        return cursor.offset == tailStart && tailStart < size && cursor.remainder.empty();
    };
    // The cursor as it stands once a rewound tail has been read again.
    const auto caughtUp = [&](TranscriptCursor cursor) {
        if (rewound(cursor)) {
            cursor.offset = expected.offset;
            cursor.remainder = expected.remainder;
        }
        return cursor;
    };

    // Through the file's pages, a page at a time, the rest copied.
    TranscriptCursor viewed;
    viewedReader.read(file.path(), viewed, format);
    check(viewed == expected, "reading through the file's pages agrees with the line-by-line walk");

    // In small chunks, lines of any length.
    TranscriptCursor chunked;
    smallChunkReader.read(file.path(), chunked, format);
    check(caughtUp(chunked) == expected, "reading in small chunks agrees with the line-by-line walk");

    if (size > tinyInputLimit)
        return 0;

    // In one go, tiny limits.
    TranscriptCursor tiny;
    tinyReaders[size % tinyReaders.size()].read(file.path(), tiny, format);
    check(tiny.offset == size || rewound(tiny), "tiny limits consume the whole file but an unfinished last line");
    check(tiny.remainder.size() <= tinyMaxLineLength, "the remainder never exceeds the line limit");
    check(!tiny.discardingLine || tiny.remainder.empty(), "a line being skipped keeps no remainder");
    if (longestLine <= tinyMaxLineLength && expected.remainder.size() <= tinyMaxLineLength)
        check(caughtUp(tiny) == expected, "tiny limits agree when no line exceeds them");

    return 0;
}
