#include "DesktopIcon.h"

#include "files/Files.h"

#include <system_error>

namespace lullwatch {

std::optional<std::filesystem::path> installUserIcon(const std::filesystem::path &dataHome, std::string_view svg)
{
    if (svg.empty())
        return std::nullopt;
    const auto path = dataHome / "icons" / "hicolor" / "scalable" / "apps" / "lullwatch.svg";
    if (const auto current = readWholeFile(path); current && *current == svg)
        return path;
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error || writeFileAtomically(path, svg))
        return std::nullopt;
    return path;
}

} // namespace lullwatch
