#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace lullwatch::test {

inline std::string testData(std::string_view relative)
{
    return std::string(LULLWATCH_TEST_DATA) + '/' + std::string(relative);
}

inline std::string readFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::filesystem::path &path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void appendFile(const std::filesystem::path &path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void writeFile(const std::filesystem::path &path, const QByteArray &bytes)
{
    writeFile(path, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

inline void writeFile(const std::filesystem::path &path, const char *text)
{
    writeFile(path, std::string_view(text));
}

// A record as the hook scripts write it; `extra` is spliced in before the
// closing brace (for example R"(,"pid":42)").
inline std::string recordJson(std::string_view id, std::string_view state, double updatedAt,
                              std::string_view transcriptPath = "", std::string_view extra = "",
                              std::string_view cwd = "/home/dev/work/site")
{
    char updated[64];
    std::snprintf(updated, sizeof updated, "%.17g", updatedAt);
    return std::string(R"({"sessionId":")") + std::string(id) + R"(","state":")" + std::string(state)
        + R"(","event":"UserPromptSubmit","cwd":")" + std::string(cwd) + R"(","transcriptPath":")"
        + std::string(transcriptPath) + R"(","updatedAt":)" + updated + std::string(extra) + "}";
}

} // namespace lullwatch::test
