#pragma once

#include <QtGlobal>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace lullwatch::test {

// Points HOME, the XDG folders and TMPDIR at a fresh folder for the life of
// the test process, so that nothing reaches the real user's files or buses.
// Made in main() before the QCoreApplication, which reads some of them once.
class TestHome {
public:
    TestHome()
    {
        const char *outer = std::getenv("TMPDIR");
        std::string pattern = std::string(outer && *outer ? outer : "/tmp") + "/lullwatch-test-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            std::abort();
        m_root = pattern;
        for (const auto &[variable, folder] : {std::pair {"HOME", "home"},
                                               {"XDG_CONFIG_HOME", "config"},
                                               {"XDG_DATA_HOME", "data"},
                                               {"XDG_RUNTIME_DIR", "runtime"},
                                               {"TMPDIR", "tmp"}}) {
            std::filesystem::create_directories(m_root / folder);
            qputenv(variable, (m_root / folder).c_str());
        }
        std::filesystem::permissions(m_root / "runtime", std::filesystem::perms::owner_all);
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QByteArray((m_root / "no-system-bus").c_str()));
    }
    ~TestHome()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }

private:
    std::filesystem::path m_root;
};

} // namespace lullwatch::test
