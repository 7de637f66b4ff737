#pragma once

#include "app/AppModel.h"
#include "notify/Notifier.h"
#include "support/FakeClock.h"
#include "support/FakeLoginItem.h"
#include "support/FakeNotificationCenter.h"
#include "support/FakePowerAssertions.h"
#include "support/FakePowerSource.h"
#include "support/FakePreferenceStore.h"
#include "support/FakeProcessProbe.h"
#include "support/FakeTerminalFocus.h"
#include "support/TestFiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

namespace lullwatch::test {

// A model over fakes, a temporary sessions folder and a real scanner.
struct ModelRig {
    static constexpr double now = 1'800'000'000.0;

    QTemporaryDir root;
    std::filesystem::path base = root.path().toStdString();
    FakePreferenceStore preferences;
    FakeLoginItem loginItem;
    FakePowerAssertions assertions;
    FakePowerSource power;
    FakeNotificationCenter center;
    FakeClock clock {now};
    FakeProcessProbe probe;
    FakeTerminalFocus focus;
    Notifier notifier {center, clock};
    std::unique_ptr<AppModel> model; // last: goes first

    // "site:working:5" is a record of session "site" working in /home/dev/site,
    // written 5 s ago (now when the age is left out); a further part "copilot"
    // makes it a Copilot CLI session, "pid=42" names the agent's process.
    void write(const QByteArray &list, const std::string &transcriptPath = {})
    {
        std::filesystem::create_directories(base / "sessions");
        for (const auto &word : list.split(' ')) {
            if (word.isEmpty())
                continue;
            const auto parts = word.split(':');
            const std::string id = parts[0].toStdString();
            const double age = parts.size() > 2 ? parts[2].toDouble() : 0;
            std::string extra;
            for (const auto &part : parts.mid(3))
                extra += part.startsWith("pid=") ? ",\"pid\":" + part.mid(4).toStdString()
                                                 : ",\"source\":\"" + part.toStdString() + '"';
            writeFile(base / "sessions" / (id + ".json"),
                      recordJson(id, parts[1].toStdString(), now - age, transcriptPath, extra, "/home/dev/" + id));
        }
    }

    // "wakeMode=always keepDisplayAwake=true notifyWhenWaiting='false'":
    // true and false are stored as flags, anything else as text.
    void store(const QByteArray &stored)
    {
        for (const auto &word : stored.split(' ')) {
            if (word.isEmpty())
                continue;
            const auto key = word.left(word.indexOf('=')).toStdString();
            const auto value = word.mid(word.indexOf('=') + 1);
            if (value == "true" || value == "false")
                preferences.values[key] = value == "true";
            else
                preferences.values[key] = QByteArray(value).replace('\'', "").toStdString();
        }
    }

    // `searchPath`: where the installers look for the agents' commands.
    AppModel &start(std::string searchPath = {})
    {
        model = std::make_unique<AppModel>(AppServices {
            .preferences = preferences,
            .loginItem = loginItem,
            .assertions = assertions,
            .powerSource = power,
            .notifier = notifier,
            .clock = clock,
            .processProbe = probe,
            .terminalFocus = focus,
            .sessionsDirectory = base / "sessions",
            .temporaryDirectory = base / "tmp",
            .hookLocations = {.home = base / "home",
                              .appSupport = base / "data" / "lullwatch",
                              .recorderSource = base / "bin" / "lullwatch-hook",
                              .searchPath = std::move(searchPath)},
        });
        return *model;
    }

    bool refreshed() { return QSignalSpy(model.get(), &AppModel::refreshed).wait(30000); }
};

} // namespace lullwatch::test
