#include "platform/AutostartLoginItem.h"
#include "platform/DesktopIcon.h"
#include "platform/Links.h"
#include "platform/SettingsPreferenceStore.h"
#include "platform/SingleInstance.h"
#include "platform/TestHome.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace Qt::StringLiterals;
namespace fs = std::filesystem;
using Outcome = SingleInstance::Outcome;
Q_DECLARE_METATYPE(Outcome)

namespace {

QString text(const fs::path &path)
{
    return QString::fromStdString(readFile(path));
}

QString name(const fs::path &path)
{
    return QString::fromStdString(path.string());
}

} // namespace

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

    // Preferences as a user might write them by hand; "-" for none.
    void handWrittenPreference_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("string");
        QTest::addColumn<QString>("boolean");
        QTest::newRow("word") << u"key=always"_s << u"always"_s << u"-"_s;
        QTest::newRow("true") << u"key=true"_s << u"true"_s << u"true"_s;
        QTest::newRow("one") << u"key=1"_s << u"1"_s << u"true"_s;
        QTest::newRow("zero") << u"key=0"_s << u"0"_s << u"false"_s;
        QTest::newRow("yes is no truth value") << u"key=yes"_s << u"yes"_s << u"-"_s;
        QTest::newRow("broken word") << u"key=tru e"_s << u"tru e"_s << u"-"_s;
        QTest::newRow("empty") << u"key="_s << QString() << u"-"_s;
        QTest::newRow("commas") << u"key=a, b"_s << u"a, b"_s << u"-"_s;
        QTest::newRow("missing") << u"other=true"_s << u"-"_s << u"-"_s;
    }
    void handWrittenPreference()
    {
        QFETCH(QString, line);
        QFETCH(QString, string);
        QFETCH(QString, boolean);
        writeFile("lullwatch.conf", "[General]\n" + line.toStdString() + "\n");
        const SettingsPreferenceStore store(u"lullwatch.conf"_s);
        const auto read = store.readString("key");
        QCOMPARE(read ? QString::fromStdString(*read) : u"-"_s, string);
        const auto truth = store.readBool("key");
        QCOMPARE(truth ? QString::fromLatin1(*truth ? "true" : "false") : u"-"_s, boolean);
    }

    // What a store writes reaches the file at once, in a folder it makes,
    // and reads back from it (from a copy: a file once read stays cached).
    void preferencesRoundTrip()
    {
        const QStringList values {u"a, b"_s,         u"=x #y ;z"_s,       u"  padded  "_s,
                                  u"\"q\" \\ 'r'"_s, u"ünïcödé 日本語"_s, {}};
        SettingsPreferenceStore writer(u"config/lullwatch.conf"_s);
        writer.writeBool("pauseOnBattery", true);
        QVERIFY(text("config/lullwatch.conf").contains(u"pauseOnBattery=true"_s));
        for (int i = 0; i < values.size(); ++i)
            writer.writeString("key" + std::to_string(i), values[i].toStdString());
        fs::copy_file("config/lullwatch.conf", "copy.conf");
        const SettingsPreferenceStore reader(u"copy.conf"_s);
        QCOMPARE(reader.readBool("pauseOnBattery"), std::optional<bool>(true));
        for (int i = 0; i < values.size(); ++i)
            QCOMPARE(reader.readString("key" + std::to_string(i)), std::optional(values[i].toStdString()));
    }

    // XDG folders count when absolute; a runtime folder when it is the
    // user's alone. "~" stands for HOME, "@" for the test's folder.
    void defaultPaths_data()
    {
        QTest::addColumn<QByteArray>("configHome");
        QTest::addColumn<int>("runtimeMode"); // no runtime folder when negative
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("lock");
        const QString runtimeLock = u"@/runtime/lullwatch.lock"_s;
        const QString dataLock = u"@/data/lullwatch/instance/lullwatch.lock"_s;
        QTest::newRow("set, private") << QByteArray("/elsewhere") << 0700 << u"/elsewhere"_s << runtimeLock;
        QTest::newRow("unset, none") << QByteArray() << -1 << u"~/.config"_s << dataLock;
        QTest::newRow("empty, open to others") << QByteArray("") << 0777 << u"~/.config"_s << dataLock;
        QTest::newRow("relative") << QByteArray("relative/config") << 0700 << u"~/.config"_s << runtimeLock;
    }
    void defaultPaths()
    {
        QFETCH(QByteArray, configHome);
        QFETCH(int, runtimeMode);
        QFETCH(QString, config);
        QFETCH(QString, lock);
        if (runtimeMode >= 0) {
            fs::create_directory("runtime");
            fs::permissions("runtime", fs::perms(runtimeMode));
        }
        const auto resolve = [&](QString path) {
            return path.replace(u'~', qEnvironmentVariable("HOME")).replace(u'@', name(m_folder));
        };
        // The test's home: nothing else here reads them.
        configHome.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", configHome);
        runtimeMode < 0 ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", (m_folder / "runtime").c_str());
        qputenv("XDG_DATA_HOME", (m_folder / "data").c_str());
        QCOMPARE(SettingsPreferenceStore::defaultFilePath(), resolve(config) + u"/lullwatch/lullwatch.conf"_s);
        QCOMPARE(name(AutostartLoginItem::defaultDesktopFile()), resolve(config) + u"/autostart/lullwatch.desktop"_s);
        QCOMPARE(name(SingleInstance::defaultLockFile()), resolve(lock));
    }

    // Another instance's lock means "already running"; a lock that cannot be
    // taken safely is an error, and a planted link is never followed.
    void singleInstance_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::addColumn<Outcome>("outcome");
        QTest::newRow("nothing there") << QString() << Outcome::First;
        QTest::newRow("locked by another") << u"lock"_s << Outcome::AlreadyRunning;
        QTest::newRow("a symbolic link") << u"link"_s << Outcome::Failed;
        QTest::newRow("a folder open to others") << u"open folder"_s << Outcome::Failed;
    }
    void singleInstance()
    {
        QFETCH(QString, planted);
        QFETCH(Outcome, outcome);
        std::optional<SingleInstance> other;
        if (planted == "lock"_L1)
            other.emplace("instance/lullwatch.lock");
        if (planted == "link"_L1 || planted == "open folder"_L1) {
            fs::create_directory("instance");
            fs::permissions("instance", planted == "link"_L1 ? fs::perms::owner_all : fs::perms::all);
            fs::create_symlink(m_folder / "chosen", "instance/lullwatch.lock");
        }
        const SingleInstance instance(m_folder / "instance/lullwatch.lock");
        QCOMPARE(instance.outcome(), outcome);
        QVERIFY2(instance.error().empty() == (outcome != Outcome::Failed), instance.error().c_str());
        QVERIFY(!fs::exists("chosen"));
        QCOMPARE(fs::status("instance").permissions(),
                 planted == "open folder"_L1 ? fs::perms::all : fs::perms::owner_all);
    }

    // The entry starts the program, however its path is spelled, while the
    // program is there and may run; freedesktop.org's own checker agrees.
    // "@" stands for the test's folder, the working folder.
    void autostartEntry_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec");
        QTest::addColumn<bool>("runnable");
        QTest::newRow("installed") << u"@/usr/bin/lullwatch"_s << u"@/usr/bin/lullwatch"_s << true;
        QTest::newRow("build folder") << u"@/lw-1.2/dev_x+y/lullwatch"_s << u"@/lw-1.2/dev_x+y/lullwatch"_s << true;
        QTest::newRow("relative") << u"lullwatch"_s << u"@/lullwatch"_s << true;
        QTest::newRow("a space") << u"@/my apps/lullwatch"_s << u"\"@/my apps/lullwatch\""_s << true;
        QTest::newRow("a semicolon") << u"@/a;b/lullwatch"_s << u"\"@/a;b/lullwatch\""_s << true;
        // Quoted, with \ " ` $ escaped and % doubled, then each backslash doubled by the string escapes.
        QTest::newRow("every reserved character")
            << u"@/a b$c\"d\\e%f`g/lullwatch"_s << u"\"@/a b\\\\$c\\\\\"d\\\\\\\\e%%f\\\\`g/lullwatch\""_s << true;
        QTest::newRow("not executable") << u"@/lullwatch"_s << u"@/lullwatch"_s << false;
    }
    void autostartEntry()
    {
        QFETCH(QString, program);
        QFETCH(QString, exec);
        QFETCH(bool, runnable);
        const QString folder = name(m_folder);
        const fs::path path = program.replace(u'@', folder).toStdString();
        fs::create_directories(fs::absolute(path).parent_path());
        writeFile(path, "#!/bin/sh\n");
        fs::permissions(path, runnable ? fs::perms::owner_all : fs::perms::owner_read);
        AutostartLoginItem item("autostart/lullwatch.desktop", path);
        QCOMPARE(item.registerItem(), std::nullopt);
        QVERIFY2(
            text("autostart/lullwatch.desktop").contains(QString("\nExec="_L1 + exec.replace(u'@', folder) + u'\n')),
            qPrintable(text("autostart/lullwatch.desktop")));
        QCOMPARE(item.isEnabled(), runnable); // even for root, which needs one execute bit
        fs::remove(path);
        QVERIFY(!item.isEnabled());

        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(u"desktop-file-validate"_s, {u"autostart/lullwatch.desktop"_s});
        QVERIFY(validate.waitForFinished());
        QCOMPARE(validate.readAll() + QByteArray::number(validate.exitCode()), QByteArray("0"));
    }

    // Entries as the user's desktop may have left them; "%1" is a program that runs.
    void switchedOffEntries_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("plain") << u"[Desktop Entry]\nType=Application\nExec=%1\n"_s << true;
        QTest::newRow("hidden") << u"[Desktop Entry]\nType=Application\nHidden=true\nExec=%1\n"_s << false;
        QTest::newRow("hidden, spaced") << u"[Desktop Entry]\nHidden = true\nExec = %1\n"_s << false;
        QTest::newRow("GNOME switch off") << u"[Desktop Entry]\nExec=%1\nX-GNOME-Autostart-enabled=false\n"_s << false;
        QTest::newRow("hidden in another group")
            << u"[Desktop Entry]\nExec=%1\n[Desktop Action quit]\nHidden=true\n"_s << true;
        QTest::newRow("Exec in another group only")
            << u"[Desktop Entry]\nType=Application\n[Desktop Action quit]\nExec=%1\n"_s << false;
        QTest::newRow("arguments after the program") << u"[Desktop Entry]\nExec=%1 --hidden %u\n"_s << true;
        QTest::newRow("program on PATH") << u"[Desktop Entry]\nExec=sh -c true\n"_s << true;
        QTest::newRow("unknown program") << u"[Desktop Entry]\nExec=no-such-program-here\n"_s << false;
        QTest::newRow("empty Exec") << u"[Desktop Entry]\nExec=\n"_s << false;
        QTest::newRow("no group") << u"Exec=%1\n"_s << false;
    }
    void switchedOffEntries()
    {
        QFETCH(QString, entry);
        QFETCH(bool, enabled);
        writeFile("lullwatch", "#!/bin/sh\n");
        fs::permissions("lullwatch", fs::perms::owner_all);
        writeFile("lullwatch.desktop", entry.replace(u"%1"_s, name(m_folder / "lullwatch")).toStdString());
        QCOMPARE(AutostartLoginItem("lullwatch.desktop", m_folder / "lullwatch").isEnabled(), enabled);
    }

    // Removing twice is fine; a folder in the entry's place is not ours to
    // delete; errors name the path.
    void autostartRemovalAndErrors()
    {
        AutostartLoginItem item(m_folder / "lullwatch.desktop", "lullwatch");
        QCOMPARE(item.registerItem(), std::nullopt);
        QCOMPARE(item.unregisterItem(), std::nullopt);
        QVERIFY(!fs::exists("lullwatch.desktop"));
        QCOMPARE(item.unregisterItem(), std::nullopt);
        fs::create_directories("lullwatch.desktop/inside");
        const auto named = [](const std::optional<std::string> &error, const fs::path &path) {
            return error.value_or("").find(path.string()) != std::string::npos;
        };
        QVERIFY(named(item.registerItem(), m_folder / "lullwatch.desktop"));
        QVERIFY(named(item.unregisterItem(), m_folder / "lullwatch.desktop"));
        QVERIFY(fs::is_directory("lullwatch.desktop/inside"));
        writeFile("autostart", "a file where the folder goes");
        QVERIFY(named(AutostartLoginItem(m_folder / "autostart/lullwatch.desktop", "lullwatch").registerItem(),
                      m_folder / "autostart"));
    }

    // The icon goes where the icon theme looks, rewritten only when it differs.
    void userIcon_data()
    {
        QTest::addColumn<QByteArray>("before"); // the file's bytes, or "none" or "folder in the way"
        QTest::addColumn<QByteArray>("icon");
        QTest::addColumn<QString>("outcome"); // "kept", "written" or "none"
        const QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\"/>";
        QTest::newRow("missing") << QByteArray("none") << svg << u"written"_s;
        QTest::newRow("the same") << svg << svg << u"kept"_s;
        QTest::newRow("an older one") << QByteArray("<svg/>") << svg << u"written"_s;
        QTest::newRow("a file where a folder goes") << QByteArray("folder in the way") << svg << u"none"_s;
    }
    void userIcon()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, icon);
        QFETCH(QString, outcome);
        const fs::path apps = m_folder / "icons/hicolor/scalable/apps", file = apps / "lullwatch.svg";
        fs::create_directories(apps.parent_path());
        if (before == "folder in the way") {
            writeFile(apps, "a file");
        } else if (before != "none") {
            fs::create_directories(apps);
            writeFile(file, before);
        }
        struct stat earlier {
        }, now {};
        ::stat(file.c_str(), &earlier);
        const auto installed = installUserIcon(m_folder, icon.toStdString());
        ::stat(file.c_str(), &now);
        QCOMPARE(installed, outcome == "none"_L1 ? std::nullopt : std::optional(file));
        QCOMPARE(readFile(file), outcome == "none"_L1 ? std::string() : icon.toStdString());
        QCOMPARE(now.st_ino != earlier.st_ino, outcome == "written"_L1);
    }

    // A link opens through xdg-open, whose complaints never reach our own output.
    void linksOpenWithoutTheOpenersOutput()
    {
        writeFile(
            "xdg-open",
            "#!/bin/sh\necho out; echo err >&2; printf '%s' \"$1\" > \"$0.part\"; mv \"$0.part\" \"$0.opened\"\n");
        fs::permissions("xdg-open", fs::perms::owner_all);
        qputenv("PATH", QByteArray(m_folder.c_str()) + ':' + qgetenv("PATH"));
        const int captured = ::open("captured", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int out = ::dup(1), err = ::dup(2);
        ::dup2(captured, 1), ::dup2(captured, 2);
        const bool started = openLink(QUrl(u"https://example.org/a b"_s));
        ::dup2(out, 1), ::dup2(err, 2), ::close(out), ::close(err), ::close(captured);
        QVERIFY(started && !openLink(QUrl()));
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists("xdg-open.opened"), 30000);
        QCOMPARE(readFile("xdg-open.opened"), std::string("https://example.org/a%20b"));
        QCOMPARE(readFile("captured"), std::string());
    }
};

int main(int argc, char **argv)
{
    const TestHome home;
    QCoreApplication app(argc, argv);
    TestDesktopFiles test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktopfiles.moc"
