#include "platform/AutostartLoginItem.h"
#include "platform/DesktopIcon.h"
#include "platform/Links.h"
#include "platform/SettingsPreferenceStore.h"
#include "platform/SingleInstance.h"
#include "platform/TestHome.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace lullwatch;
using namespace lullwatch::test;
namespace fs = std::filesystem;
Q_DECLARE_METATYPE(SingleInstance::Outcome)

namespace {

// Preferences as a user might have edited them by hand.
constexpr std::string_view handWritten = "[General]\n"
                                         "wakeMode=always\n"
                                         "menuBarMetric=tokens\n"
                                         "notifyWhenWaiting=true\n"
                                         "keepDisplayAwake=1\n"
                                         "pauseOnBattery=false\n"
                                         "zero=0\n"
                                         "yes=yes\n"
                                         "garbage=tru e\n"
                                         "empty=\n"
                                         "list=a, b\n";

// A program path with every character that the Exec rules treat specially,
// and its Exec value: quoted, with \ " ` $ escaped and % doubled, then each
// backslash doubled again by the desktop-entry string escapes.
constexpr std::string_view awkwardProgram = "/opt/a b$c\"d\\e%f`g/lullwatch";
// (No raw string literal: moc misreads one holding a double quote.)
constexpr std::string_view awkwardExec = "\"/opt/a b\\\\$c\\\\\"d\\\\\\\\e%%f\\\\`g/lullwatch\"";

void makeExecutable(const fs::path &path)
{
    fs::create_directories(path.parent_path());
    writeFile(path, "#!/bin/sh\nexit 0\n");
    fs::permissions(path, fs::perms::owner_all);
}

} // namespace

class TestDesktopFiles : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    fs::path folder() const { return m_folder->path().toStdString(); }

    // Runs `body` with an environment variable set (or unset when null) and
    // puts it back afterwards.
    template<typename Body> static void withVariable(const char *name, const char *value, Body body)
    {
        const bool wasSet = qEnvironmentVariableIsSet(name);
        const QByteArray old = qgetenv(name);
        if (value)
            qputenv(name, value);
        else
            qunsetenv(name);
        body();
        if (wasSet)
            qputenv(name, old);
        else
            qunsetenv(name);
    }

    // freedesktop.org's own checker, which knows the Exec quoting rules.
    static void verifyWithValidator(const fs::path &entry)
    {
        const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (validator.isEmpty())
            QSKIP("desktop-file-validate is not installed (scripts/setup.sh installs it)");
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(validator, {QString::fromStdString(entry.string())});
        QVERIFY(validate.waitForFinished());
        const QByteArray complaints = validate.readAll();
        QVERIFY2(validate.exitCode() == 0 && complaints.isEmpty(), complaints.constData());
    }

private Q_SLOTS:
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
    }

    // ---- Preferences

    void readsHandWrittenText()
    {
        const fs::path file = folder() / "lullwatch.conf";
        writeFile(file, handWritten);
        const SettingsPreferenceStore store(QString::fromStdString(file.string()));

        QCOMPARE(store.readString("wakeMode"), std::optional<std::string>("always"));
        QCOMPARE(store.readString("menuBarMetric"), std::optional<std::string>("tokens"));
        QCOMPARE(store.readString("missing"), std::nullopt);
        QCOMPARE(store.readString("list"), std::optional<std::string>("a, b"));

        QCOMPARE(store.readBool("notifyWhenWaiting"), std::optional<bool>(true));
        QCOMPARE(store.readBool("keepDisplayAwake"), std::optional<bool>(true));
        QCOMPARE(store.readBool("pauseOnBattery"), std::optional<bool>(false));
        QCOMPARE(store.readBool("zero"), std::optional<bool>(false));
        QCOMPARE(store.readBool("yes"), std::nullopt);
        QCOMPARE(store.readBool("garbage"), std::nullopt);
        QCOMPARE(store.readBool("empty"), std::nullopt);
        QCOMPARE(store.readBool("wakeMode"), std::nullopt);
        QCOMPARE(store.readBool("missing"), std::nullopt);
    }

    void writesReachTheFileAtOnce()
    {
        // The folder does not exist yet.
        const fs::path file = folder() / "config" / "lullwatch" / "lullwatch.conf";
        SettingsPreferenceStore store(QString::fromStdString(file.string()));
        store.writeString("wakeMode", "whileWorking");
        store.writeBool("notifyWhenWaiting", false);
        store.writeBool("keepDisplayAwake", true);

        // Read as another process would, without the store's cache.
        const std::string text = readFile(file);
        QVERIFY2(text.find("wakeMode=whileWorking") != std::string::npos, text.c_str());
        QVERIFY2(text.find("notifyWhenWaiting=false") != std::string::npos, text.c_str());
        QVERIFY2(text.find("keepDisplayAwake=true") != std::string::npos, text.c_str());
    }

    void roundTrips_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("plain") << QStringLiteral("whileWorking");
        QTest::newRow("comma") << QStringLiteral("a, b");
        QTest::newRow("equals and hash") << QStringLiteral("=x #y ;z");
        QTest::newRow("spaces") << QStringLiteral("  padded  ");
        QTest::newRow("quotes and backslash") << QStringLiteral("\"q\" \\ 'r'");
        QTest::newRow("unicode") << QStringLiteral("ünïcödé 日本語");
        QTest::newRow("bool text") << QStringLiteral("true");
        QTest::newRow("empty") << QString();
    }

    void roundTrips()
    {
        QFETCH(QString, value);
        const QString file = QString::fromStdString((folder() / "lullwatch.conf").string());
        {
            SettingsPreferenceStore store(file);
            store.writeString("menuBarMetric", value.toStdString());
            store.writeBool("pauseOnBattery", true);
            store.writeBool("keepDisplayAwake", false);
        }
        const SettingsPreferenceStore store(file);
        QCOMPARE(store.readString("menuBarMetric"), std::optional<std::string>(value.toStdString()));
        QCOMPARE(store.readBool("pauseOnBattery"), std::optional<bool>(true));
        QCOMPARE(store.readBool("keepDisplayAwake"), std::optional<bool>(false));
    }

    void defaultFilePathFollowsXdg()
    {
        const QString home = qEnvironmentVariable("HOME");
        withVariable("XDG_CONFIG_HOME", "/elsewhere/config", [] {
            QCOMPARE(SettingsPreferenceStore::defaultFilePath(),
                     QStringLiteral("/elsewhere/config/lullwatch/lullwatch.conf"));
            QCOMPARE(AutostartLoginItem::defaultDesktopFile(),
                     fs::path("/elsewhere/config/autostart/lullwatch.desktop"));
        });
        for (const char *ignored : {static_cast<const char *>(nullptr), "", "relative/config"}) {
            withVariable("XDG_CONFIG_HOME", ignored, [&] {
                QCOMPARE(SettingsPreferenceStore::defaultFilePath(),
                         home + QStringLiteral("/.config/lullwatch/lullwatch.conf"));
                QCOMPARE(AutostartLoginItem::defaultDesktopFile(),
                         fs::path(home.toStdString()) / ".config/autostart/lullwatch.desktop");
            });
        }
    }

    // ---- Single instance

    // A runtime folder others can reach is passed over for a private folder
    // of the application's data folder.
    void lockFileIsInAPrivateFolder_data()
    {
        QTest::addColumn<QByteArray>("runtime");
        QTest::addColumn<bool>("inRuntime");
        QTest::newRow("private runtime folder") << QByteArray("0700") << true;
        QTest::newRow("no runtime folder") << QByteArray() << false;
        QTest::newRow("runtime folder open to others") << QByteArray("0777") << false;
    }
    void lockFileIsInAPrivateFolder()
    {
        QFETCH(QByteArray, runtime);
        QFETCH(bool, inRuntime);
        const fs::path runtimeFolder = folder() / "runtime";
        fs::create_directory(runtimeFolder);
        fs::permissions(runtimeFolder, static_cast<fs::perms>(runtime.toInt(nullptr, 8)));
        withVariable("XDG_RUNTIME_DIR", runtime.isEmpty() ? nullptr : runtimeFolder.c_str(), [&] {
            QCOMPARE(SingleInstance::defaultLockFile(),
                     inRuntime
                         ? runtimeFolder / "lullwatch.lock"
                         : fs::path(qgetenv("XDG_DATA_HOME").toStdString()) / "lullwatch/instance/lullwatch.lock");
        });
    }

    // Another instance's lock means "already running"; a lock that cannot be
    // opened safely is an error, and a planted link is never followed.
    void singleInstance_data()
    {
        QTest::addColumn<QByteArray>("planted");
        QTest::addColumn<SingleInstance::Outcome>("outcome");
        using O = SingleInstance::Outcome;
        QTest::newRow("nothing there") << QByteArray() << O::First;
        QTest::newRow("locked by another") << QByteArray("lock") << O::AlreadyRunning;
        QTest::newRow("a symbolic link") << QByteArray("link") << O::Failed;
        QTest::newRow("a folder open to others") << QByteArray("open folder") << O::Failed;
    }
    void singleInstance()
    {
        QFETCH(QByteArray, planted);
        QFETCH(SingleInstance::Outcome, outcome);
        const fs::path lock = folder() / "instance" / "lullwatch.lock";
        const fs::path chosen = folder() / "chosen";
        std::optional<SingleInstance> other;
        if (planted == "lock")
            other.emplace(lock);
        if (planted == "link" || planted == "open folder")
            fs::create_directory(lock.parent_path());
        if (planted == "link") { // in a folder that is otherwise fine
            fs::permissions(lock.parent_path(), fs::perms::owner_all);
            fs::create_symlink(chosen, lock);
        }
        if (planted == "open folder")
            fs::permissions(lock.parent_path(), fs::perms::all);

        const SingleInstance instance(lock);
        QCOMPARE(instance.outcome(), outcome);
        QVERIFY2(instance.error().empty() == (outcome != SingleInstance::Outcome::Failed), instance.error().c_str());
        QVERIFY(!fs::exists(chosen));
        if (outcome == SingleInstance::Outcome::First)
            QCOMPARE(fs::status(lock.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    }

    // ---- Autostart

    void registerWritesAValidEntry()
    {
        const fs::path program = folder() / "bin" / "lullwatch";
        makeExecutable(program);
        const fs::path entry = folder() / "autostart" / "lullwatch.desktop"; // the folder is made
        AutostartLoginItem item(entry, program);
        QVERIFY(!item.isEnabled());

        QCOMPARE(item.registerItem(), std::nullopt);
        QVERIFY(item.isEnabled());
        const std::string text = readFile(entry);
        QVERIFY2(text.rfind("[Desktop Entry]\n", 0) == 0, text.c_str());
        for (const std::string line : {"Type=Application", "Name=Lullwatch", "X-GNOME-Autostart-enabled=true"})
            QVERIFY2(text.find("\n" + line + "\n") != std::string::npos, line.c_str());
        QVERIFY2(text.find("\nComment=") != std::string::npos, text.c_str());
        QVERIFY2(text.find("\nExec=" + AutostartLoginItem::execValue(program) + "\n") != std::string::npos,
                 text.c_str());

        // Registering again rewrites the same entry.
        QCOMPARE(item.registerItem(), std::nullopt);
        QCOMPARE(readFile(entry), text);

        verifyWithValidator(entry);
    }

    // Plain paths stand as they are; reserved characters are quoted.
    void execValue_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec");
        QTest::newRow("installed") << QStringLiteral("/usr/bin/lullwatch") << QStringLiteral("/usr/bin/lullwatch");
        QTest::newRow("build folder") << QStringLiteral("/home/me/src/lullwatch-1.2/build/dev_x+y/bin/lullwatch")
                                      << QStringLiteral("/home/me/src/lullwatch-1.2/build/dev_x+y/bin/lullwatch");
        QTest::newRow("a space") << QStringLiteral("/home/me/my apps/lullwatch")
                                 << QStringLiteral("\"/home/me/my apps/lullwatch\"");
        QTest::newRow("a semicolon") << QStringLiteral("/opt/a;b/lullwatch")
                                     << QStringLiteral("\"/opt/a;b/lullwatch\"");
        QTest::newRow("every reserved character")
            << QString::fromUtf8(awkwardProgram.data(), qsizetype(awkwardProgram.size()))
            << QString::fromUtf8(awkwardExec.data(), qsizetype(awkwardExec.size()));
    }

    void execValue()
    {
        QFETCH(QString, program);
        QFETCH(QString, exec);
        QCOMPARE(AutostartLoginItem::execValue(program.toStdString()), exec.toStdString());

        // The entry names the program so, whether or not it is there.
        const fs::path entry = folder() / "lullwatch.desktop";
        QCOMPARE(AutostartLoginItem(entry, program.toStdString()).registerItem(), std::nullopt);
        const std::string text = readFile(entry);
        QVERIFY2(text.find("\nExec=" + exec.toStdString() + "\n") != std::string::npos, text.c_str());

        // And reads back to the same program, wherever it lies.
        const fs::path moved = folder() / "root" / fs::path(program.toStdString()).relative_path();
        makeExecutable(moved);
        AutostartLoginItem item(entry, moved);
        QCOMPARE(item.registerItem(), std::nullopt);
        QVERIFY(item.isEnabled());
        verifyWithValidator(entry);
        fs::remove(moved);
        QVERIFY(!item.isEnabled());
    }

    void relativeExecutableIsMadeAbsolute()
    {
        makeExecutable(folder() / "lullwatch");
        const fs::path previous = fs::current_path();
        fs::current_path(folder());
        AutostartLoginItem item(folder() / "autostart" / "lullwatch.desktop", "lullwatch");
        const auto error = item.registerItem();
        fs::current_path(previous);
        QCOMPARE(error, std::nullopt);
        const std::string text = readFile(folder() / "autostart" / "lullwatch.desktop");
        QVERIFY2(text.find("\nExec=" + AutostartLoginItem::execValue(folder() / "lullwatch") + "\n")
                     != std::string::npos,
                 text.c_str());
        QVERIFY(item.isEnabled());
    }

    void switchedOffEntriesAreNotEnabled_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("plain") << QStringLiteral("[Desktop Entry]\nType=Application\nExec=%1\n") << true;
        QTest::newRow("hidden") << QStringLiteral("[Desktop Entry]\nType=Application\nHidden=true\nExec=%1\n") << false;
        QTest::newRow("hidden, spaced") << QStringLiteral("[Desktop Entry]\nHidden = true\nExec = %1\n") << false;
        QTest::newRow("GNOME switch off")
            << QStringLiteral("[Desktop Entry]\nExec=%1\nX-GNOME-Autostart-enabled=false\n") << false;
        QTest::newRow("hidden in another group")
            << QStringLiteral("[Desktop Entry]\nExec=%1\n[Desktop Action quit]\nHidden=true\n") << true;
        QTest::newRow("Exec in another group only")
            << QStringLiteral("[Desktop Entry]\nType=Application\n[Desktop Action quit]\nExec=%1\n") << false;
        QTest::newRow("arguments after the program")
            << QStringLiteral("[Desktop Entry]\nExec=%1 --hidden %u\n") << true;
        QTest::newRow("program on PATH") << QStringLiteral("[Desktop Entry]\nExec=sh -c true\n") << true;
        QTest::newRow("unknown program") << QStringLiteral("[Desktop Entry]\nExec=no-such-program-here\n") << false;
        QTest::newRow("empty Exec") << QStringLiteral("[Desktop Entry]\nExec=\n") << false;
        QTest::newRow("no group") << QStringLiteral("Exec=%1\n") << false;
    }

    void switchedOffEntriesAreNotEnabled()
    {
        QFETCH(QString, entry);
        QFETCH(bool, enabled);
        const fs::path program = folder() / "lullwatch";
        makeExecutable(program);
        const fs::path file = folder() / "lullwatch.desktop";
        writeFile(file, entry.replace(QStringLiteral("%1"), QString::fromStdString(program.string())).toStdString());
        QCOMPARE(AutostartLoginItem(file, program).isEnabled(), enabled);
    }

    void missingOrUnrunnableExecutableIsNotEnabled()
    {
        const fs::path file = folder() / "lullwatch.desktop";
        AutostartLoginItem missing(file, folder() / "not-there" / "lullwatch");
        QCOMPARE(missing.registerItem(), std::nullopt);
        QVERIFY(fs::exists(file));
        QVERIFY(!missing.isEnabled());

        const fs::path plain = folder() / "plain-file";
        writeFile(plain, "not a program");
        fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
        AutostartLoginItem unrunnable(file, plain);
        QCOMPARE(unrunnable.registerItem(), std::nullopt);
        QVERIFY(!unrunnable.isEnabled()); // even for root, which needs one execute bit
    }

    void unregisterRemovesTheEntry()
    {
        const fs::path program = folder() / "lullwatch";
        makeExecutable(program);
        const fs::path file = folder() / "autostart" / "lullwatch.desktop";
        AutostartLoginItem item(file, program);
        QCOMPARE(item.registerItem(), std::nullopt);
        QCOMPARE(item.unregisterItem(), std::nullopt);
        QVERIFY(!fs::exists(file));
        QVERIFY(!item.isEnabled());
        QCOMPARE(item.unregisterItem(), std::nullopt); // already gone is fine
    }

    void folderInTheWayGivesAReadableError()
    {
        const fs::path file = folder() / "lullwatch.desktop";
        fs::create_directories(file / "inside");
        AutostartLoginItem item(file, folder() / "lullwatch");

        const auto written = item.registerItem();
        QVERIFY(written);
        QVERIFY2(written->rfind("Couldn't write " + file.string() + ": ", 0) == 0, written->c_str());
        QVERIFY(!item.isEnabled());

        const auto removed = item.unregisterItem();
        QVERIFY(removed);
        QVERIFY2(removed->rfind("Couldn't remove " + file.string() + ": ", 0) == 0, removed->c_str());
        QVERIFY(fs::is_directory(file / "inside")); // not ours to delete

        // A file where the autostart folder should be.
        writeFile(folder() / "autostart", "a file");
        AutostartLoginItem blocked(folder() / "autostart" / "lullwatch.desktop", folder() / "lullwatch");
        const auto created = blocked.registerItem();
        QVERIFY(created);
        QVERIFY2(created->rfind("Couldn't create " + (folder() / "autostart").string() + ": ", 0) == 0,
                 created->c_str());
    }

    // The icon goes where the icon theme looks for it, once; a different one
    // replaces it, and a folder that cannot be made leaves no path to use.
    void userIcon_data()
    {
        QTest::addColumn<QByteArray>("before"); // "none", "folder in the way", or the file's bytes
        QTest::addColumn<QByteArray>("icon");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<bool>("rewritten");
        const QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\"/>";
        QTest::newRow("missing") << QByteArray("none") << svg << true << true;
        QTest::newRow("the same") << svg << svg << true << false;
        QTest::newRow("an older one") << QByteArray("<svg/>") << svg << true << true;
        QTest::newRow("a file where a folder goes") << QByteArray("folder in the way") << svg << false << false;
        QTest::newRow("no icon to install") << QByteArray("none") << QByteArray() << false << false;
    }

    void userIcon()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, icon);
        QFETCH(bool, installed);
        QFETCH(bool, rewritten);
        const fs::path apps = folder() / "data" / "icons" / "hicolor" / "scalable" / "apps";
        const fs::path file = apps / "lullwatch.svg";
        fs::create_directories(apps.parent_path());
        if (before == "folder in the way") {
            writeFile(apps, "a file");
        } else if (before != "none") {
            fs::create_directories(apps);
            writeFile(file, before);
        }
        struct stat earlier { };
        ::stat(file.c_str(), &earlier);

        const auto path = installUserIcon(folder() / "data", icon.toStdString());
        QCOMPARE(path.has_value(), installed);
        if (!installed)
            return;
        QCOMPARE(*path, file);
        QCOMPARE(readFile(file), icon.toStdString());
        struct stat now { };
        ::stat(file.c_str(), &now);
        QCOMPARE(now.st_ino != earlier.st_ino, rewritten);
    }

    // A link opens through xdg-open, whose complaints (no browser, say) never
    // reach our own output.
    void linksOpenWithoutTheOpenersOutput()
    {
        const fs::path bin = folder() / "bin";
        fs::create_directories(bin);
        writeFile(bin / "xdg-open", "#!/bin/sh\necho out; echo err >&2\nprintf '%s' \"$1\" > \"$0.opened\"\n");
        fs::permissions(bin / "xdg-open", fs::perms::owner_all);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QByteArray::fromStdString(bin.string()) + ':' + path);

        // Our standard output and error go to a file while the link opens.
        const std::string captured = (folder() / "captured").string();
        const int file = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int out = ::dup(1), err = ::dup(2);
        ::dup2(file, 1);
        ::dup2(file, 2);
        const bool started = openLink(QUrl(QStringLiteral("https://example.org/a b")));
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::close(out);
        ::close(err);
        ::close(file);
        qputenv("PATH", path);

        QVERIFY(started);
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(bin / "xdg-open.opened") && fs::file_size(bin / "xdg-open.opened") > 0,
                                 30000);
        QCOMPARE(readFile(bin / "xdg-open.opened"), std::string("https://example.org/a%20b"));
        QCOMPARE(readFile(captured), std::string());
        QVERIFY(!openLink(QUrl()));
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
