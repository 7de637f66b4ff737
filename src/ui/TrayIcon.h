#pragma once

#include "TrayLabel.h"

#include <QColor>
#include <QImage>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QSystemTrayIcon>

namespace lullwatch {

class AppModel;

// The application's icon in the desktop's panel. Hosts show no text beside
// an icon, so the state's symbol and the menu-bar title are drawn into one
// image; the tooltip repeats them with the state's label. Create it only once
// TrayHostWatcher has reported a host.
class TrayIcon final : public QObject {
    Q_OBJECT

public:
    // StatusNotifierItem hosts take images of at most this width.
    static constexpr int maximumWidth = 64;
    static constexpr int height = 22;

    explicit TrayIcon(AppModel &model, QObject *parent = nullptr);

    const TrayLabel &label() const { return m_label; }
    // The image last handed to the tray.
    const QImage &image() const { return m_image; }
    QString toolTip() const { return m_tray.toolTip(); }
    QMenu &contextMenu() { return m_menu; }

    // The colour that symbol and title are drawn in; by default the
    // application palette's text colour.
    void setForeground(const QColor &color);

    // The tray image for `label`, in `foreground`, with a faint halo of the
    // opposite lightness so it reads on light and dark panels alike.
    static QImage render(const TrayLabel &label, const QColor &foreground);

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
    QImage m_image;
    QColor m_foreground;
};

} // namespace lullwatch
