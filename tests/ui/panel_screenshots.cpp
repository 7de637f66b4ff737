// Renders the panel in several states to PNG files, for the README and for
// looking at changes. The folder comes from the first argument, else from
// LULLWATCH_SCREENSHOTS, else build/dev/screenshots.

#include "PanelRig.h"
#include "ui/Panel.h"
#include "ui/SessionList.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTest>

#include <cstdio>
#include <functional>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace lullwatch::ui;

namespace {

bool shoot(const QString &folder, const QString &name, const std::function<void(PanelRig &)> &prepare,
           const std::function<void(Panel &)> &arrange = {})
{
    PanelRig r;
    prepare(r);
    auto &model = r.start();
    if (!r.refreshed())
        return false;
    Panel panel(model, r.clock);
    panel.show();
    if (arrange)
        arrange(panel);
    // Lets the expand animation finish.
    const auto *list = panel.findChild<SessionList *>();
    const auto *extra = panel.findChild<QWidget *>(QStringLiteral("extraArea"));
    if (list && extra && list->isExpanded()
        && !QTest::qWaitFor([&] { return extra->height() == list->scrollHeight() + 1; }, 5000))
        std::printf("the list of %s did not finish expanding\n", qPrintable(name));
    panel.adjustSize();
    const QString path = QDir(folder).filePath(name + QStringLiteral(".png"));
    const bool saved = panel.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    return saved;
}

void expand(Panel &panel)
{
    if (auto *button = panel.findChild<QAbstractButton *>(QStringLiteral("firstRowButton")))
        button->click();
}

void openSettings(Panel &panel)
{
    if (auto *button = panel.findChild<QAbstractButton *>(QStringLiteral("settingsToggle")))
        button->click();
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : qEnvironmentVariable("LULLWATCH_SCREENSHOTS");
    if (folder.isEmpty())
        folder = QStringLiteral(LULLWATCH_SCREENSHOTS_DEFAULT);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(folder));
        return 1;
    }

    bool ok = true;
    ok &= shoot(folder, QStringLiteral("empty"), [](PanelRig &) {});
    ok &= shoot(folder, QStringLiteral("one-session"), [](PanelRig &r) {
        r.preferences.values["wakeMode"] = std::string("always");
        r.write("site:working:5");
    });
    ok &= shoot(folder, QStringLiteral("four-collapsed"), [](PanelRig &r) {
        r.write("site:waiting:5:pid=101 api:idle:1:pid=102 docs:working:2:pid=103 cli:idle:3:copilot:pid=104");
    });
    ok &= shoot(
        folder, QStringLiteral("four-expanded"),
        [](PanelRig &r) {
            r.write("site:waiting:5:pid=101 api:idle:1:pid=102 docs:working:2:pid=103 cli:idle:3:copilot:pid=104");
        },
        expand);
    ok &= shoot(
        folder, QStringLiteral("twelve-expanded"),
        [](PanelRig &r) {
            QByteArray list;
            for (int i = 0; i < 12; ++i)
                list += "project" + QByteArray::number(i) + ":idle:" + QByteArray::number(i + 1) + ' ';
            r.write(list);
        },
        expand);
    ok &= shoot(folder, QStringLiteral("stale"), [](PanelRig &r) { r.write("site:working:900"); });
    ok &= shoot(folder, QStringLiteral("battery"), [](PanelRig &r) {
        r.preferences.values["pauseOnBattery"] = true;
        r.preferences.values["wakeMode"] = std::string("always");
        r.power.onBattery(80);
        r.write("site:working:5");
    });
    ok &= shoot(
        folder, QStringLiteral("settings"), [](PanelRig &r) { r.write("site:idle:5"); }, openSettings);
    return ok ? 0 : 1;
}
