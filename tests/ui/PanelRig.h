#pragma once

#include "app/AppModel.h"
#include "hooks/HookInstalling.h"
#include "notify/Notifier.h"
#include "support/FakeClock.h"
#include "support/FakeLoginItem.h"
#include "support/FakeNotificationCenter.h"
#include "support/FakePowerAssertions.h"
#include "support/FakePowerSource.h"
#include "support/FakePreferenceStore.h"
#include "support/FakeProcessProbe.h"
#include "support/TestFiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

namespace lullwatch::test {

inline constexpr double panelNow = 1'800'000'000.0;

// A model over fakes and a temporary sessions folder, for the panel.
struct PanelRig {
    QTemporaryDir root;
    std::filesystem::path base = root.path().toStdString();
    FakePreferenceStore preferences;
    FakeLoginItem loginItem;
    FakePowerAssertions assertions;
    FakePowerSource power;
    FakeNotificationCenter center;
    FakeClock clock {panelNow};
    FakeProcessProbe probe;
    Notifier notifier {center, clock};
    std::unique_ptr<AppModel> model; // last: goes first

    std::filesystem::path sessions() const { return base / "sessions"; }

    // "site:working:5" is session "site" working in /home/dev/site, written
    // 5 s ago; a fourth part "copilot" makes it a Copilot CLI session.
    void write(const QByteArray &list, const std::string &transcriptPath = {})
    {
        std::filesystem::create_directories(sessions());
        for (const auto &word : list.split(' ')) {
            if (word.isEmpty())
                continue;
            const auto parts = word.split(':');
            const std::string id = parts[0].toStdString();
            const std::string extra = parts.size() > 3 ? ",\"source\":\"copilot\"" : "";
            writeFile(sessions() / (id + ".json"),
                      recordJson(id, parts[1].toStdString(), panelNow - parts[2].toDouble(), transcriptPath, extra,
                                 "/home/dev/" + id));
        }
    }

    AppModel &start()
    {
        std::filesystem::create_directories(sessions());
        model = std::make_unique<AppModel>(AppServices {
            .preferences = preferences,
            .loginItem = loginItem,
            .assertions = assertions,
            .powerSource = power,
            .notifier = notifier,
            .clock = clock,
            .processProbe = probe,
            .sessionsDirectory = sessions(),
            .hookLocations = {.home = base / "home",
                              .appSupport = base / "data" / "lullwatch",
                              .jsonToolSource = base / "bin" / "lullwatch-json"},
        });
        return *model;
    }

    // Waits for the next refresh to be applied.
    bool refreshed()
    {
        QSignalSpy spy(model.get(), &AppModel::refreshed);
        return spy.wait(30000);
    }
};

// An installer whose status the test sets, counting the actions called.
class FakeInstaller final : public HookInstalling {
public:
    std::string displayName() const override { return "Claude Code"; }
    std::string detail() const override { return "Adds hooks to ~/.claude/settings.json."; }
    void refresh() override { ++refreshes; }
    void install() override { ++installs; }
    void uninstall() override { ++uninstalls; }
    void set(HookStatus status) { setStatus(std::move(status)); }

    int refreshes = 0;
    int installs = 0;
    int uninstalls = 0;
};

} // namespace lullwatch::test
