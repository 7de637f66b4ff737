#pragma once

#include "TrayLabel.h"
#include "app/TrayLook.h"

#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QObject>
#include <QPoint>

#include <array>
#include <optional>

namespace lullwatch {

class AppModel;

// What the tray shows of the model: the overall state's symbol alone, in
// glyphs that suit the desktop's panel (dark on light panels, light on dark
// ones), the metric as the item's label, the tooltip, and the menu with its
// two entries. The glyphs follow the "Tray icon" preference; on Automatic,
// the desktop's colour scheme as the portal tells it, else the application
// palette. The symbols are exported by name into an icon theme folder, each
// with a symbolic variant that themed hosts recolour. Feeds the
// StatusNotifierItem, or the XEmbed fallback.
class TrayPresenter final : public QObject {
    Q_OBJECT

public:
    // The image sides, up to the 64 px that StatusNotifierItem hosts take.
    static constexpr std::array<int, 6> sides {16, 22, 24, 32, 48, 64};

    // `iconThemePath`: the base folder of the icon theme the symbols are
    // exported into (they go to hicolor/scalable/status under it).
    TrayPresenter(AppModel &model, QString iconThemePath, QObject *parent = nullptr);

    const TrayLook &look() const { return m_look; }
    // The images of `look().icon`, for the XEmbed fallback.
    QIcon icon() const;

    // From the desktop portal: true for a dark scheme, false for a light
    // one, none when there is no portal or it states no preference.
    void setDesktopPrefersDark(std::optional<bool> prefersDark);

    QMenu &menu() { return m_menu; }
    QStringList menuEntries() const;
    void triggerMenuEntry(int index);
    void popUpMenu(QPoint position);

Q_SIGNALS:
    void lookChanged();
    // The panel should open next to `anchor`, in global coordinates.
    void openPanelRequested(QPoint anchor);
    void quitRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool lightGlyphs() const;
    void update();

    AppModel &m_model;
    QString m_iconThemePath;
    bool m_iconsExported = false;
    std::optional<bool> m_desktopPrefersDark;
    QMenu m_menu;
    TrayLook m_look;
    QList<QImage> m_images;
    // What m_images and the icons of m_look were drawn for.
    std::optional<std::pair<SessionState, bool>> m_drawn;
};

} // namespace lullwatch
