// Renders the pictures of the README to PNG files: the panel in use and its
// settings, and the tray item as a host with labels shows it. The folder comes
// from the first argument, else from LULLWATCH_SCREENSHOTS, else
// build/dev/screenshots. QT_SCALE_FACTOR=2 gives pictures for 2x screens.

#include "PanelRig.h"
#include "ui/Panel.h"
#include "ui/SessionList.h"
#include "ui/TrayPresenter.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QPainter>
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

// A Claude Code transcript of `turns` replies by `model`, each reading
// `context` tokens (most from the cache) and writing `output`.
std::string claudeTranscript(PanelRig &r, const std::string &name, const char *model, int turns, int context,
                             int output)
{
    const auto path = r.base / (name + ".jsonl");
    std::string text;
    for (int turn = 1; turn <= turns; ++turn) {
        const int read = context * turn / turns;
        char line[512];
        std::snprintf(line, sizeof line,
                      R"({"type":"assistant","message":{"id":"msg_%s_%d","model":"%s","usage":)"
                      R"({"input_tokens":%d,"cache_read_input_tokens":%d,"cache_creation_input_tokens":%d,)"
                      R"("output_tokens":%d}}})"
                      "\n",
                      name.c_str(), turn, model, 3 + turn % 7, read * 9 / 10, read / 10, output);
        text += line;
    }
    writeFile(path, text);
    return path.string();
}

// Gemini CLI's chat of `turns` replies.
std::string geminiChat(PanelRig &r, const std::string &name, int turns, int input, int output)
{
    const auto path = r.base / (name + ".jsonl");
    std::string text = R"({"sessionId":")" + name
        + R"(","projectHash":"h","startTime":"2026-12-07T09:00:00.000Z"})"
          "\n";
    for (int turn = 1; turn <= turns; ++turn) {
        char line[512];
        std::snprintf(
            line, sizeof line,
            R"({"id":"g%d","timestamp":"2026-12-07T09:%02d:00.000Z","type":"gemini","content":"Done.",)"
            R"("model":"gemini-2.5-pro","tokens":{"input":%d,"output":%d,"cached":%d,"thoughts":120,"tool":0}})"
            "\n",
            turn, turn % 60, input * turn / turns, output, input * turn / turns / 2);
        text += line;
    }
    writeFile(path, text);
    return path.string();
}

// Four agents at work: one waits for its user. Each transcript was last
// written when its record was.
void inUse(PanelRig &r)
{
    const auto session = [&r](const QByteArray &word, const std::string &transcript = {}) {
        const auto age = std::chrono::seconds(word.split(':').value(2).toLongLong() + 1);
        if (!transcript.empty())
            std::filesystem::last_write_time(transcript, std::filesystem::file_time_type::clock::now() - age);
        r.write(word, transcript);
    };
    session("site:waiting:2:pid=101", claudeTranscript(r, "site", "claude-sonnet-4-5", 46, 61400, 900));
    session("api:working:30:pid=102", claudeTranscript(r, "api", "claude-opus-4-1", 18, 128900, 1400));
    session("docs:idle:600:gemini:pid=103", geminiChat(r, "docs", 9, 23800, 700));
    session("cli:idle:1900:copilot:pid=104");
}

// The item as a host with labels (GNOME's AppIndicator extension) draws it
// in its top bar: the state icon, then the label in the bar's font and colour.
bool shootLabel(const QString &folder)
{
    PanelRig r;
    r.preferences.values["trayIconStyle"] = std::string("light"); // the bar is dark
    inUse(r);
    auto &model = r.start();
    if (!r.refreshed())
        return false;
    TrayPresenter presenter(model, QString());
    const qreal scale = qApp->devicePixelRatio();
    const int bar = 32;
    QFont font = qApp->font();
    font.setPixelSize(15);
    font.setBold(true);
    const QString text = presenter.look().label;
    const int width = 16 + 16 + 6 + QFontMetrics(font).horizontalAdvance(text) + 16;
    QImage image(QSize(width, bar) * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(QColor(0x24, 0x24, 0x24));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    presenter.icon().paint(&painter, QRect(16, (bar - 16) / 2, 16, 16));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(16 + 16 + 6, 0, width, bar), Qt::AlignVCenter | Qt::AlignLeft, text);
    painter.end();
    const QString path = QDir(folder).filePath(QStringLiteral("tray-label.png"));
    const bool saved = image.save(path);
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

    bool ok = shoot(folder, QStringLiteral("in-use"), inUse);
    ok &= shoot(folder, QStringLiteral("in-use-expanded"), inUse, expand);
    ok &= shoot(
        folder, QStringLiteral("settings"), [](PanelRig &r) { r.write("site:idle:5"); }, openSettings);
    ok &= shootLabel(folder);
    return ok ? 0 : 1;
}
