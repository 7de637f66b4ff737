#include "TrayIcon.h"

#include "TrayPresenter.h"

#include <QCursor>

namespace lullwatch {

TrayIcon::TrayIcon(TrayPresenter &presenter, QObject *parent)
    : QObject(parent)
    , m_presenter(presenter)
{
    m_tray.setContextMenu(&m_presenter.menu());
    connect(&m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The context menu opens by itself; every other click opens the panel.
        if (reason == QSystemTrayIcon::Context)
            return;
        const QRect geometry = m_tray.geometry();
        Q_EMIT openPanelRequested(geometry.isEmpty() ? QCursor::pos() : geometry.center());
    });
    connect(&m_presenter, &TrayPresenter::lookChanged, this, &TrayIcon::update);
    update();
    m_tray.show();
}

void TrayIcon::update()
{
    m_tray.setIcon(m_presenter.icon());
    m_tray.setToolTip(m_presenter.look().toolTip);
}

} // namespace lullwatch
