#include "platform/AutostartLoginItem.h"
#include "platform/DesktopIcon.h"
#include "platform/SettingsPreferenceStore.h"
#include "platform/SingleInstance.h"
#include "support/TestFiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace Qt::StringLiterals;
using namespace std::string_view_literals;
namespace fs = std::filesystem;
using Outcome = SingleInstance::Outcome;

class TestDesktopFiles : public QObject {
    Q_OBJECT

    QTemporaryDir m_base;
    fs::path m_folder; // fresh for each test, and the working folder
    int m_run = 0;

private Q_SLOTS:
    void init()
    {
        m_folder = m_base.filePath(QString::number(++m_run)).toStdString();
        fs::create_directory(m_folder);
        fs::current_path(m_folder);
    }

    // Values reach the file at once and read back whole (from a copy: a file
    // once read stays cached); lines written by hand read as the user meant.
    void preferences()
    {
        const std::string text = "=x #y ;z \"q\" \\ 'r' ünï 日本, b";
        SettingsPreferenceStore writer(u"lullwatch.conf"_s);
        writer.writeString("text", text);
        writer.writeBool("on", true);
        appendFile("lullwatch.conf", "hand=a, b\none=1\nyes=yes\n"sv);
        fs::copy_file("lullwatch.conf", "copy.conf");
        const SettingsPreferenceStore reader(u"copy.conf"_s);
        QCOMPARE((std::vector {reader.readString("text"), reader.readString("hand")}),
                 (std::vector<std::optional<std::string>> {text, "a, b"}));
        QCOMPARE((std::vector {reader.readBool("on"), reader.readBool("one"), reader.readBool("yes")}),
                 (std::vector<std::optional<bool>> {true, true, std::nullopt}));
    }

    // The settings and the login entry go where the user's XDG folders say.
    void defaultPaths()
    {
        qputenv("XDG_CONFIG_HOME", "/elsewhere");
        QCOMPARE(SettingsPreferenceStore::defaultFilePath(), u"/elsewhere/lullwatch/lullwatch.conf"_s);
        QCOMPARE(AutostartLoginItem::defaultDesktopFile(), fs::path("/elsewhere/autostart/lullwatch.desktop"));
    }

    // Another instance's lock means "already running"; a lock that cannot be
    // taken safely fails, and a planted link is never followed.
    void singleInstance()
    {
        const SingleInstance first("mine/lullwatch.lock"), second("mine/lullwatch.lock");
        QVERIFY(first.outcome() == Outcome::First && second.outcome() == Outcome::AlreadyRunning);
        fs::create_directory("link");
        fs::permissions("link", fs::perms::owner_all);
        fs::create_symlink(m_folder / "chosen", "link/lullwatch.lock");
        fs::create_directory("open");
        fs::permissions("open", fs::perms::all);
        for (const char *lock : {"link/lullwatch.lock", "open/lullwatch.lock"})
            QVERIFY2(SingleInstance(lock).outcome() == Outcome::Failed, lock);
        QVERIFY(!fs::exists("chosen") && !fs::exists("open/lullwatch.lock"));
    }

    // The entry starts the program, quoted (with \ " ` $ escaped and % doubled, then each backslash
    // doubled); desktop-file-validate agrees. "@" is the working folder. Entries as the user's desktop
    // may have left them read as meant; a folder in the entry's place is not ours to delete.
    void autostart()
    {
        const fs::path path = m_folder / "a;b c$d\"e\\f%g`h/lullwatch";
        fs::create_directories(path.parent_path());
        writeFile(path, "#!/bin/sh\n");
        fs::permissions(path, fs::perms::owner_all);
        AutostartLoginItem item(m_folder / "lullwatch.desktop", path);
        QCOMPARE(item.registerItem(), std::nullopt);
        const QString entry = QString::fromStdString(readFile("lullwatch.desktop"));
        QString exec = u"\"@/a;b c\\\\$d\\\\\"e\\\\\\\\f%%g\\\\`h/lullwatch\""_s;
        exec.replace(u'@', QString::fromStdString(m_folder.string()));
        QVERIFY2(entry.contains("\nExec="_L1 + exec + u'\n') && item.isEnabled(), qPrintable(entry));
        QProcess validate;
        validate.start(u"desktop-file-validate"_s, {u"lullwatch.desktop"_s});
        QVERIFY(validate.waitForFinished());
        QCOMPARE(validate.readAll() + QByteArray::number(validate.exitCode()), QByteArray("0"));
        for (const auto &[text, enabled] :
             {std::pair {"[Desktop Entry]\nType=Application\nExec=/bin/sh --hidden %u\n", true},
              {"[Desktop Entry]\nHidden = true\nExec = /bin/sh\n", false},
              {"[Desktop Entry]\nExec=/bin/sh\nX-GNOME-Autostart-enabled=false\n", false},
              {"[Desktop Entry]\nExec=/bin/sh\n[Desktop Action quit]\nHidden=true\n", true},
              {"[Desktop Entry]\nType=Application\n[Desktop Action quit]\nExec=/bin/sh\n", false},
              {"[Desktop Entry]\nExec=sh -c true\n", true},
              {"[Desktop Entry]\nExec=no-such-program-here\n", false}}) {
            writeFile("lullwatch.desktop", text);
            QVERIFY2(item.isEnabled() == enabled, text);
        }
        QVERIFY(!item.unregisterItem() && !item.unregisterItem() && !item.isEnabled());
        fs::create_directories("lullwatch.desktop/inside");
        QVERIFY(item.registerItem() && item.unregisterItem() && fs::is_directory("lullwatch.desktop/inside"));
    }

    // The icon goes where the icon theme looks, replaced whole, and only when it differs.
    void userIcon()
    {
        const std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\"/>";
        const fs::path file = m_folder / "icons/hicolor/scalable/apps/lullwatch.svg";
        const auto inode = [&file] {
            struct stat status { };
            return ::stat(file.c_str(), &status) == 0 ? status.st_ino : 0;
        };
        for (const auto &[before, replaced] :
             {std::pair {""sv, true}, {std::string_view(svg), false}, {"<svg/>"sv, true}}) {
            if (!before.empty())
                writeFile(file, before);
            const auto earlier = inode();
            QCOMPARE(installUserIcon(m_folder, svg), std::optional(file));
            QVERIFY(readFile(file) == svg && (inode() != earlier) == replaced);
        }
    }
};

QTEST_GUILESS_MAIN(TestDesktopFiles)
#include "tst_desktopfiles.moc"
