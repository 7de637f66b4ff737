#pragma once

#include <QObject>
#include <QSystemTrayIcon>

namespace lullwatch {

class TrayPresenter;

// The icon in an XEmbed tray (trayer, stalonetray, tint2), for desktops
// without a StatusNotifierItem host: Qt's QSystemTrayIcon, showing what the
// presenter draws, with its tooltip and menu. Such trays show no label.
class TrayIcon final : public QObject {
    Q_OBJECT

public:
    explicit TrayIcon(TrayPresenter &presenter, QObject *parent = nullptr);

Q_SIGNALS:
    // A click on the icon: the panel should open next to `anchor`.
    void openPanelRequested(QPoint anchor);

private:
    void update();

    TrayPresenter &m_presenter;
    QSystemTrayIcon m_tray;
};

} // namespace lullwatch
