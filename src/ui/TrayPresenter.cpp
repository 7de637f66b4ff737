#include "TrayPresenter.h"

#include "Icons.h"
#include "app/AppModel.h"
#include "files/Files.h"

#include <QCursor>
#include <QFile>
#include <QGuiApplication>
#include <QPalette>
#include <QtEndian>

namespace lullwatch {

namespace {

// Glyph colours for light and for dark panels.
const QColor darkGlyph(0x20, 0x20, 0x20);
const QColor lightGlyph(0xf2, 0xf2, 0xf2);
// Themes draw symbolic icons in this grey until they recolour them.
constexpr auto symbolicGrey = "#bebebe";
// The widest metric the label usually reaches, so that hosts keep its room steady.
constexpr auto labelGuide = "999k";

constexpr std::array<SessionState, 4> allStates {SessionState::Idle, SessionState::Working, SessionState::Waiting,
                                                 SessionState::Ended};

// "lullwatch-working-dark": the state's symbol in dark glyphs.
QString iconName(SessionState state, bool light)
{
    return QStringLiteral("lullwatch-%1-%2")
        .arg(QLatin1String(rawValue(state)), light ? QLatin1String("light") : QLatin1String("dark"));
}

// The symbol's drawing, a black silhouette, in `color`; stroked outlines
// are marked so that hosts that recolour symbolic icons keep them unfilled.
QByteArray drawingIn(SessionState state, const QByteArray &color, bool symbolic)
{
    QFile file(Icons::resourcePath(stateSymbol(state)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray svg = file.readAll().replace("\"#000\"", QByteArray("\"" + color + "\""));
    if (symbolic)
        svg.replace("fill=\"none\"", "fill=\"none\" class=\"transparent-fill foreground-stroke\"");
    return svg;
}

// Writes each state's symbol, in both glyph colours and as a symbolic
// variant of each name, where only what differs is written again. False
// when a file could not be written: the host then has images only.
bool exportIcons(const QString &themePath)
{
    if (themePath.isEmpty())
        return false;
    const std::filesystem::path folder
        = std::filesystem::path(themePath.toStdString()) / "hicolor" / "scalable" / "status";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        return false;
    for (const SessionState state : allStates) {
        for (const bool light : {false, true}) {
            const std::string name = iconName(state, light).toStdString();
            const QByteArray tinted = drawingIn(state, (light ? lightGlyph : darkGlyph).name().toLatin1(), false);
            const QByteArray symbolic = drawingIn(state, symbolicGrey, true);
            for (const auto &[file, svg] :
                 {std::pair(name + ".svg", tinted), std::pair(name + "-symbolic.svg", symbolic)}) {
                const std::string bytes = svg.toStdString();
                if (bytes.empty())
                    return false;
                if (const auto current = readWholeFile(folder / file); current && *current == bytes)
                    continue;
                if (writeFileAtomically(folder / file, bytes))
                    return false;
            }
        }
    }
    return true;
}

TrayImage toTrayImage(const QImage &image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    TrayImage result {.width = argb.width(), .height = argb.height(), .argb = {}};
    result.argb.resize(qsizetype(argb.width()) * argb.height() * 4);
    auto *out = reinterpret_cast<uchar *>(result.argb.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x, out += 4)
            qToBigEndian<quint32>(line[x], out);
    }
    return result;
}

} // namespace

TrayPresenter::TrayPresenter(AppModel &model, QString iconThemePath, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_iconThemePath(std::move(iconThemePath))
    , m_iconsExported(exportIcons(m_iconThemePath))
{
    auto *open = m_menu.addAction(tr("Open Lullwatch"));
    connect(open, &QAction::triggered, this, [this] { Q_EMIT openPanelRequested(QCursor::pos()); });
    auto *quit = m_menu.addAction(tr("Quit"));
    connect(quit, &QAction::triggered, this, &TrayPresenter::quitRequested);

    connect(&m_model, &AppModel::sessionsChanged, this, &TrayPresenter::update);
    connect(&m_model, &AppModel::menuBarMetricChanged, this, &TrayPresenter::update);
    connect(&m_model, &AppModel::trayIconStyleChanged, this, &TrayPresenter::update);
    // The application palette stands in for the desktop without a portal.
    qGuiApp->installEventFilter(this);
    update();
}

QIcon TrayPresenter::icon() const
{
    QIcon icon;
    for (const QImage &image : m_images)
        icon.addPixmap(QPixmap::fromImage(image));
    return icon;
}

void TrayPresenter::setDesktopPrefersDark(std::optional<bool> prefersDark)
{
    if (prefersDark == m_desktopPrefersDark)
        return;
    m_desktopPrefersDark = prefersDark;
    update();
}

QStringList TrayPresenter::menuEntries() const
{
    QStringList entries;
    for (const QAction *action : m_menu.actions())
        entries.append(action->text());
    return entries;
}

void TrayPresenter::triggerMenuEntry(int index)
{
    const auto actions = m_menu.actions();
    if (index >= 0 && index < actions.size())
        actions.at(index)->trigger();
}

void TrayPresenter::popUpMenu(QPoint position)
{
    m_menu.popup(position);
}

bool TrayPresenter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qGuiApp && event->type() == QEvent::ApplicationPaletteChange)
        update();
    return QObject::eventFilter(watched, event);
}

bool TrayPresenter::lightGlyphs() const
{
    switch (m_model.trayIconStyle()) {
    case TrayIconStyle::Light:
        return true;
    case TrayIconStyle::Dark:
        return false;
    case TrayIconStyle::Automatic:
        break;
    }
    if (m_desktopPrefersDark)
        return *m_desktopPrefersDark;
    return QGuiApplication::palette().color(QPalette::Window).lightnessF() < 0.5;
}

void TrayPresenter::update()
{
    const TrayLabel label = TrayLabel::of(m_model);
    const bool light = lightGlyphs();
    TrayLook look = m_look;
    // Drawing is the costly part: only a new state or glyph colour draws again.
    if (m_drawn != std::pair(label.state, light)) {
        m_drawn = std::pair(label.state, light);
        const QColor color = light ? lightGlyph : darkGlyph;
        const auto draw = [&](SessionState state, QList<QImage> *images) {
            TrayIconLook icon {.name = m_iconsExported ? iconName(state, light) : QString(), .images = {}};
            for (const int side : sides) {
                const QImage image = Icons::image(stateSymbol(state), QSize(side, side), color);
                icon.images.append(toTrayImage(image));
                if (images)
                    images->append(image);
            }
            return icon;
        };
        m_images.clear();
        look.icon = draw(label.state, &m_images);
        look.attentionIcon = draw(SessionState::Waiting, nullptr);
    }
    look.needsAttention = label.anyWaiting;
    look.iconThemePath = m_iconsExported ? m_iconThemePath : QString();
    look.toolTip = QString::fromStdString(label.toolTip());
    look.label = QString::fromStdString(label.title);
    look.labelGuide = label.title.empty() ? QString() : QString::fromLatin1(labelGuide);
    if (look == m_look)
        return;
    m_look = std::move(look);
    Q_EMIT lookChanged();
}

} // namespace lullwatch
