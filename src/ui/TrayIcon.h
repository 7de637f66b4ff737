#pragma once

#include "TrayLabel.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QSystemTrayIcon>

#include <array>

namespace lullwatch {

class AppModel;

// The application's icon in the desktop's panel. Hosts show no text beside
// an icon, so the state's symbol and the menu-bar title are drawn into one
// image; the tooltip repeats them with the state's label. Create it only once
// TrayHostWatcher has reported a host.
//
// Hosts draw an item's image into a square (Qt itself letterboxes a wider
// one before sending it), so each image is square: the title under a smaller
// symbol where there is room for it, the symbol alone at the smallest size.
// The icon carries one image per common tray size and the host picks the one
// that fits its panel.
class TrayIcon final : public QObject {
    Q_OBJECT

public:
    // The sizes drawn, up to the 64 px that StatusNotifierItem hosts take.
    static constexpr std::array<int, 6> sides {16, 22, 24, 32, 48, 64};
    // Below this side the title does not fit under the symbol.
    static constexpr int smallestTitledSide = 22;

    explicit TrayIcon(AppModel &model, QObject *parent = nullptr);

    const TrayLabel &label() const { return m_label; }
    // The images last handed to the tray, one per side in `sides`.
    const QList<QImage> &images() const { return m_images; }
    QString toolTip() const { return m_tray.toolTip(); }
    QMenu &contextMenu() { return m_menu; }

    // The colour that symbol and title are drawn in; by default the
    // application palette's text colour.
    void setForeground(const QColor &color);

    // The square tray image for `label`, `side` pixels wide, in `foreground`,
    // with a faint halo of the opposite lightness so it reads on light and
    // dark panels alike.
    static QImage render(const TrayLabel &label, const QColor &foreground, int side);

Q_SIGNALS:
    // The panel should open next to `anchor`, in global coordinates.
    void openPanelRequested(QPoint anchor);
    void quitRequested();

private:
    void update();
    void redraw();
    QPoint anchor() const;

    AppModel &m_model;
    QSystemTrayIcon m_tray;
    QMenu m_menu;
    TrayLabel m_label;
    QList<QImage> m_images;
    QColor m_foreground;
};

} // namespace lullwatch
