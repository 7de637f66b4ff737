#pragma once

#include "sessions/Clock.h"
#include "sessions/SessionState.h"

#include <QPixmap>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QToolButton;
class QVBoxLayout;

namespace lullwatch {
class AppModel;
}

namespace lullwatch::ui {

class HookStatusRow;
class SessionList;

// The window that opens from the tray icon: the overall state and the wake
// status, the sessions, the wake mode, the hook rows, the settings and the
// footer. A frameless popup that closes when it loses focus; everything it
// shows comes from the model, and its toggles write through the model.
class Panel final : public QWidget {
    Q_OBJECT

public:
    static constexpr int panelWidth = 320;
    // Draws the header icon for the overall state in the given colour.
    using HeaderIconSource = std::function<QPixmap(SessionState state, bool hasSessions, const QColor &tint, int size)>;

    explicit Panel(AppModel &model, QWidget *parent = nullptr);
    Panel(AppModel &model, const Clock &clock, QWidget *parent = nullptr);

    // Places the panel beside the anchor (the tray icon or the pointer),
    // inside the available area of the anchor's screen, and opens it.
    void showAt(QPoint anchor);
    // Where a panel of `size` goes for `anchor`: below it when there is room,
    // else above, then moved to lie within `available`.
    static QRect placement(QSize size, QPoint anchor, QRect available);

    void setHeaderIconSource(HeaderIconSource source);
    // Orange when wake is blocked on battery, the accent colour while holding
    // the machine awake, else the secondary colour.
    QColor headerTint() const;

    static QUrl donationUrl();

Q_SIGNALS:
    // "Quit" was pressed; the application ends.
    void quitRequested();
    // A link was clicked; the application opens it.
    void linkRequested(const QUrl &url);

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildHeader();
    QWidget *buildEmptyState();
    QWidget *buildControls();
    QWidget *buildSettings();
    QWidget *buildFooter();
    void refreshHeader();
    void refreshSessions();
    void refreshPreferences();
    void arrangeHookRows();

    AppModel &m_model;
    SystemClock m_systemClock;
    const Clock &m_clock;
    HeaderIconSource m_iconSource;

    QLabel *m_headerIcon = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_status = nullptr;
    QWidget *m_empty = nullptr;
    SessionList *m_list = nullptr;
    QComboBox *m_wakeMode = nullptr;
    QVBoxLayout *m_hookRowStack = nullptr;
    std::vector<HookStatusRow *> m_hookRows;
    QToolButton *m_moreAgents = nullptr;
    QToolButton *m_settingsToggle = nullptr;
    QWidget *m_settings = nullptr;
    QCheckBox *m_keepDisplay = nullptr;
    QCheckBox *m_pauseOnBattery = nullptr;
    QCheckBox *m_notify = nullptr;
    QWidget *m_notificationRow = nullptr;
    QComboBox *m_metric = nullptr;
    QComboBox *m_trayIcon = nullptr;
    QCheckBox *m_loginItem = nullptr;
    QLabel *m_loginItemError = nullptr;
};

} // namespace lullwatch::ui
