#include "Panel.h"

#include "HookStatusRow.h"
#include "Icons.h"
#include "NotificationStatusRow.h"
#include "PanelStyle.h"
#include "PanelText.h"
#include "SessionList.h"
#include "Version.h"
#include "agents/Agents.h"
#include "app/AppModel.h"
#include "hooks/HookInstalling.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace lullwatch::ui {

namespace {

constexpr int headerIconSize = 22;

QLabel *label(const QString &text, const char *objectName, QWidget *parent)
{
    auto *result = new QLabel(text, parent);
    result->setObjectName(QString::fromLatin1(objectName));
    result->setTextFormat(Qt::PlainText);
    return result;
}

// The tray's own drawing of the overall state; the moon when there are no sessions.
QPixmap stateIcon(SessionState state, bool hasSessions, const QColor &tint, int size)
{
    const auto symbol = stateSymbol(hasSessions ? state : SessionState::Ended);
    return Icons::pixmap(symbol, QSize(size, size), tint);
}

} // namespace

Panel::Panel(AppModel &model, QWidget *parent)
    : Panel(model, m_systemClock, parent)
{ }

Panel::Panel(AppModel &model, const Clock &clock, QWidget *parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint)
    , m_model(model)
    , m_clock(clock)
    , m_iconSource(stateIcon)
{
    setObjectName(QStringLiteral("panel"));
    // What window lists and accessibility tools call it.
    setWindowTitle(QStringLiteral("Lullwatch"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    auto *content = new QWidget(this);
    content->setFixedWidth(panelWidth);
    outer->addWidget(content);

    auto *stack = new QVBoxLayout(content);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    stack->addWidget(buildHeader());
    stack->addWidget(divider(content));
    stack->addWidget(buildEmptyState());
    m_list = new SessionList(content);
    m_list->setObjectName(QStringLiteral("sessionList"));
    connect(m_list, &SessionList::showRequested, &m_model, &AppModel::showSession);
    // The terminal is in front now; the panel is out of its way.
    connect(&m_model, &AppModel::sessionShown, this, &QWidget::hide);
    stack->addWidget(m_list);
    stack->addWidget(divider(content));
    stack->addWidget(buildControls());

    connect(&m_model, &AppModel::sessionsChanged, this, &Panel::refreshSessions);
    connect(&m_model, &AppModel::refreshed, this, &Panel::refreshHeader);
    const auto &wake = m_model.wake();
    connect(&wake, &WakeController::isHoldingAssertionChanged, this, &Panel::refreshHeader);
    connect(&wake, &WakeController::heldSinceChanged, this, &Panel::refreshHeader);
    connect(&wake, &WakeController::batteryBlockChanged, this, &Panel::refreshHeader);
    connect(&wake, &WakeController::refusalChanged, this, &Panel::refreshHeader);
    connect(&wake, &WakeController::keepDisplayAwakeChanged, this, &Panel::refreshPreferences);
    connect(&wake, &WakeController::pauseOnBatteryChanged, this, &Panel::refreshPreferences);
    connect(&m_model, &AppModel::wakeModeChanged, this, &Panel::refreshPreferences);
    connect(&m_model, &AppModel::menuBarMetricChanged, this, &Panel::refreshPreferences);
    connect(&m_model, &AppModel::trayIconStyleChanged, this, &Panel::refreshPreferences);
    connect(&m_model, &AppModel::notifyWhenWaitingChanged, this, &Panel::refreshPreferences);
    connect(&m_model, &AppModel::isLoginItemChanged, this, &Panel::refreshPreferences);
    connect(&m_model, &AppModel::loginItemErrorChanged, this, &Panel::refreshPreferences);

    refreshSessions();
    refreshPreferences();
}

QWidget *Panel::buildHeader()
{
    auto *header = new QWidget;
    header->setObjectName(QStringLiteral("header"));
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(8);
    m_headerIcon = label({}, "headerIcon", header);
    m_headerIcon->setFixedSize(headerIconSize, headerIconSize);
    row->addWidget(m_headerIcon, 0, Qt::AlignVCenter);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(0);
    m_title = label({}, "headerTitle", header);
    m_title->setFont(panelFont(TextStyle::Headline));
    m_status = label({}, "statusLine", header);
    styleLabel(m_status, TextStyle::Caption, secondaryColor(palette()));
    texts->addWidget(m_title);
    texts->addWidget(m_status);
    row->addLayout(texts, 1);
    return header;
}

QWidget *Panel::buildEmptyState()
{
    m_empty = new QWidget;
    m_empty->setObjectName(QStringLiteral("emptyState"));
    auto *stack = new QVBoxLayout(m_empty);
    stack->setContentsMargins(12, 12, 12, 12);
    stack->setSpacing(6);
    auto *headline = label(tr("No active sessions"), "emptyTitle", m_empty);
    headline->setFont(panelFont(TextStyle::Subheadline, QFont::Medium));
    auto *hint = label(tr("Connect an agent below to start tracking."), "emptyHint", m_empty);
    styleLabel(hint, TextStyle::Caption, secondaryColor(palette()));
    stack->addWidget(headline);
    stack->addWidget(hint);
    return m_empty;
}

QWidget *Panel::buildControls()
{
    auto *controls = new QWidget;
    controls->setObjectName(QStringLiteral("controls"));
    auto *stack = new QVBoxLayout(controls);
    stack->setContentsMargins(12, 12, 12, 12);
    stack->setSpacing(10);

    auto *wakeRow = new QHBoxLayout;
    wakeRow->setSpacing(8);
    wakeRow->addWidget(label(tr("Stay awake"), "wakeModeLabel", controls));
    m_wakeMode = new QComboBox(controls);
    m_wakeMode->setObjectName(QStringLiteral("wakeModePicker"));
    // In the order of WakeMode's cases.
    m_wakeMode->addItems({tr("While an agent is working"), tr("While a session is open"), tr("Always"), tr("Never")});
    connect(m_wakeMode, &QComboBox::activated, this,
            [this](int index) { m_model.setWakeMode(static_cast<WakeMode>(index)); });
    wakeRow->addWidget(m_wakeMode, 1);
    stack->addLayout(wakeRow);

    m_hookRowStack = new QVBoxLayout;
    m_hookRowStack->setSpacing(10);
    for (const auto &installer : m_model.hookInstallers()) {
        auto *row = new HookStatusRow(*installer, controls);
        row->setObjectName(QString::fromUtf8(installer->agent().raw) + QStringLiteral("HookRow"));
        m_hookRows.push_back(row);
    }
    m_moreAgents = new QToolButton(controls);
    m_moreAgents->setObjectName(QStringLiteral("moreAgents"));
    m_moreAgents->setText(tr("More agents"));
    m_moreAgents->setFont(panelFont(TextStyle::Callout));
    m_moreAgents->setCheckable(true);
    m_moreAgents->setAutoRaise(true);
    m_moreAgents->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_moreAgents->setArrowType(Qt::RightArrow);
    connect(m_moreAgents, &QToolButton::toggled, this, [this](bool shown) {
        m_moreAgents->setArrowType(shown ? Qt::DownArrow : Qt::RightArrow);
        arrangeHookRows();
    });
    stack->addLayout(m_hookRowStack);
    arrangeHookRows();

    m_settingsToggle = new QToolButton(controls);
    m_settingsToggle->setObjectName(QStringLiteral("settingsToggle"));
    m_settingsToggle->setText(tr("Settings"));
    m_settingsToggle->setFont(panelFont(TextStyle::Callout));
    m_settingsToggle->setCheckable(true);
    m_settingsToggle->setAutoRaise(true);
    m_settingsToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_settingsToggle->setArrowType(Qt::RightArrow);
    stack->addWidget(m_settingsToggle);
    stack->addWidget(buildSettings());
    connect(m_settingsToggle, &QToolButton::toggled, this, [this](bool shown) {
        m_settingsToggle->setArrowType(shown ? Qt::DownArrow : Qt::RightArrow);
        if (shown)
            m_model.refreshIsLoginItem();
        m_settings->setVisible(shown);
    });

    stack->addWidget(buildFooter());
    return controls;
}

QWidget *Panel::buildSettings()
{
    m_settings = new QWidget;
    m_settings->setObjectName(QStringLiteral("settingsContent"));
    m_settings->setFont(panelFont(TextStyle::Callout));
    auto *stack = new QVBoxLayout(m_settings);
    stack->setContentsMargins(0, 8, 0, 0);
    stack->setSpacing(10);

    m_keepDisplay = new QCheckBox(tr("Keep display awake too"), m_settings);
    m_keepDisplay->setObjectName(QStringLiteral("keepDisplayAwake"));
    connect(m_keepDisplay, &QCheckBox::clicked, this, [this](bool keep) { m_model.setKeepDisplayAwake(keep); });
    stack->addWidget(m_keepDisplay);

    auto *battery = new QVBoxLayout;
    battery->setSpacing(2);
    m_pauseOnBattery = new QCheckBox(tr("Only when plugged in"), m_settings);
    m_pauseOnBattery->setObjectName(QStringLiteral("pauseOnBattery"));
    connect(m_pauseOnBattery, &QCheckBox::clicked, this, [this](bool pause) { m_model.setPauseOnBattery(pause); });
    auto *note = label(tr("Wake is always released below %1% battery.").arg(WakeController::lowBatteryThreshold),
                       "batteryNote", m_settings);
    styleLabel(note, TextStyle::Caption2, tertiaryColor(palette()));
    battery->addWidget(m_pauseOnBattery);
    battery->addWidget(note);
    stack->addLayout(battery);

    auto *notify = new QVBoxLayout;
    notify->setSpacing(4);
    m_notify = new QCheckBox(tr("Notify when Claude needs you"), m_settings);
    m_notify->setObjectName(QStringLiteral("notifyWhenWaiting"));
    connect(m_notify, &QCheckBox::clicked, this, [this](bool on) { m_model.setNotifyWhenWaiting(on); });
    m_notificationRow = new NotificationStatusRow(m_model.notifier(), m_settings);
    m_notificationRow->setObjectName(QStringLiteral("notificationRow"));
    notify->addWidget(m_notify);
    notify->addWidget(m_notificationRow);
    stack->addLayout(notify);

    auto *metricRow = new QHBoxLayout;
    metricRow->setSpacing(8);
    metricRow->addWidget(label(tr("Tray shows"), "metricLabel", m_settings));
    m_metric = new QComboBox(m_settings);
    m_metric->setObjectName(QStringLiteral("metricPicker"));
    // In the order of MenuBarMetric's cases.
    m_metric->addItems({tr("Context size"), tr("Session total"), tr("Nothing")});
    connect(m_metric, &QComboBox::activated, this,
            [this](int index) { m_model.setMenuBarMetric(static_cast<MenuBarMetric>(index)); });
    metricRow->addWidget(m_metric, 1);
    stack->addLayout(metricRow);

    auto *trayIconRow = new QHBoxLayout;
    trayIconRow->setSpacing(8);
    trayIconRow->addWidget(label(tr("Tray icon"), "trayIconLabel", m_settings));
    m_trayIcon = new QComboBox(m_settings);
    m_trayIcon->setObjectName(QStringLiteral("trayIconPicker"));
    // In the order of TrayIconStyle's cases.
    m_trayIcon->addItems({tr("Automatic"), tr("Light"), tr("Dark")});
    connect(m_trayIcon, &QComboBox::activated, this,
            [this](int index) { m_model.setTrayIconStyle(static_cast<TrayIconStyle>(index)); });
    trayIconRow->addWidget(m_trayIcon, 1);
    stack->addLayout(trayIconRow);

    auto *login = new QVBoxLayout;
    login->setSpacing(2);
    m_loginItem = new QCheckBox(tr("Launch at login"), m_settings);
    m_loginItem->setObjectName(QStringLiteral("launchAtLogin"));
    connect(m_loginItem, &QCheckBox::clicked, this, [this](bool enabled) {
        m_model.setLoginItem(enabled);
        // A refused change leaves the box as the model has it.
        m_loginItem->setChecked(m_model.isLoginItem());
    });
    m_loginItemError = label({}, "loginItemError", m_settings);
    m_loginItemError->setWordWrap(true);
    styleLabel(m_loginItemError, TextStyle::Caption2, redColor());
    login->addWidget(m_loginItem);
    login->addWidget(m_loginItemError);
    stack->addLayout(login);

    m_settings->hide();
    return m_settings;
}

QWidget *Panel::buildFooter()
{
    auto *footer = new QWidget;
    footer->setObjectName(QStringLiteral("footer"));
    auto *row = new QHBoxLayout(footer);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    auto *version = label(versionText(versionString, buildNumber), "versionLabel", footer);
    styleLabel(version, TextStyle::Caption2, tertiaryColor(palette()));
    QPushButton *coffee = nullptr;
    if (const QUrl donation = donationUrl(); !donation.isEmpty()) {
        coffee = new QPushButton(tr("Buy me a coffee"), footer);
        coffee->setObjectName(QStringLiteral("coffeeButton"));
        coffee->setFlat(true);
        coffee->setCursor(Qt::PointingHandCursor);
        coffee->setFont(panelFont(TextStyle::Caption));
        coffee->setIcon(Icons::icon("cup.and.saucer", palette()));
        const int coffeeIcon = coffee->fontMetrics().height();
        coffee->setIconSize(QSize(coffeeIcon, coffeeIcon));
        connect(coffee, &QPushButton::clicked, this, [this, donation] { Q_EMIT linkRequested(donation); });
    }
    auto *quit = new QPushButton(tr("Quit"), footer);
    quit->setObjectName(QStringLiteral("quitButton"));
    quit->setFlat(true);
    QPalette quitPalette = quit->palette();
    quitPalette.setColor(QPalette::ButtonText, secondaryColor(palette()));
    quit->setPalette(quitPalette);
    connect(quit, &QPushButton::clicked, this, &Panel::quitRequested);
    row->addWidget(version, 0, Qt::AlignVCenter);
    row->addStretch(1);
    if (coffee)
        row->addWidget(coffee, 0, Qt::AlignVCenter);
    row->addWidget(quit, 0, Qt::AlignVCenter);
    return footer;
}

QUrl Panel::donationUrl()
{
    return QUrl(QString::fromUtf8(donationAddress));
}

void Panel::setHeaderIconSource(HeaderIconSource source)
{
    m_iconSource = source ? std::move(source) : HeaderIconSource(stateIcon);
    refreshHeader();
}

QColor Panel::headerTint() const
{
    const auto &wake = m_model.wake();
    if (wake.batteryBlock())
        return orangeColor();
    if (wake.isHoldingAssertion())
        return palette().color(QPalette::Highlight);
    return secondaryColor(palette());
}

void Panel::refreshHeader()
{
    // A closed panel draws nothing: opening it draws the header afresh.
    if (!isVisible())
        return;
    const bool hasSessions = !m_model.sessions().empty();
    const auto state = m_model.overallState();
    m_title->setText(headerTitle(hasSessions, state));
    m_status->setText(headerStatusLine(m_model.wake(), m_clock.now()));
    const qreal ratio = devicePixelRatioF();
    QPixmap icon = m_iconSource(state, hasSessions, headerTint(), int(headerIconSize * ratio));
    icon.setDevicePixelRatio(ratio);
    m_headerIcon->setPixmap(icon);
}

void Panel::refreshSessions()
{
    const auto &sessions = m_model.sessions();
    m_empty->setVisible(sessions.empty());
    m_list->setVisible(!sessions.empty());
    if (!sessions.empty())
        m_list->setSessions(SessionList::ordered(sessions, m_model.primarySession()));
    refreshHeader();
}

void Panel::refreshPreferences()
{
    m_wakeMode->setCurrentIndex(static_cast<int>(m_model.wakeMode()));
    m_metric->setCurrentIndex(static_cast<int>(m_model.menuBarMetric()));
    m_trayIcon->setCurrentIndex(static_cast<int>(m_model.trayIconStyle()));
    m_keepDisplay->setChecked(m_model.keepDisplayAwake());
    m_pauseOnBattery->setChecked(m_model.pauseOnBattery());
    m_notify->setChecked(m_model.notifyWhenWaiting());
    m_notificationRow->setVisible(m_model.notifyWhenWaiting());
    m_loginItem->setChecked(m_model.isLoginItem());
    const auto &error = m_model.loginItemError();
    m_loginItemError->setText(error ? QString::fromStdString(*error) : QString());
    m_loginItemError->setVisible(error.has_value());
}

// Agents on this machine, and connected ones, have their rows in view; the
// others wait behind "More agents".
void Panel::arrangeHookRows()
{
    std::vector<QWidget *> order;
    std::vector<HookStatusRow *> more;
    for (HookStatusRow *row : m_hookRows) {
        HookInstalling &installer = row->installer();
        if (row->isHidden())
            installer.refresh(); // a row in view refreshes as it is shown
        if (installer.status().kind() == HookStatus::Kind::NotInstalled && !installer.isOnMachine())
            more.push_back(row);
        else
            order.push_back(row);
    }
    order.push_back(m_moreAgents);
    order.insert(order.end(), more.begin(), more.end());

    // The layout changes only when the order does, so that opening the panel
    // lays it out once.
    bool same = m_hookRowStack->count() == int(order.size());
    for (int index = 0; same && index < m_hookRowStack->count(); ++index)
        same = m_hookRowStack->itemAt(index)->widget() == order[std::size_t(index)];
    if (!same) {
        while (QLayoutItem *item = m_hookRowStack->takeAt(0))
            delete item;
        for (QWidget *widget : order)
            m_hookRowStack->addWidget(widget);
    }
    for (std::size_t index = 0; index + more.size() + 1 < order.size(); ++index)
        order[index]->setVisible(true);
    m_moreAgents->setVisible(!more.empty());
    for (HookStatusRow *row : more)
        row->setVisible(m_moreAgents->isChecked());
}

void Panel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    arrangeHookRows();
    // The time held is worked out each time the panel opens.
    refreshHeader();
    // Open settings show the login item as it is now.
    if (m_settingsToggle->isChecked())
        m_model.refreshIsLoginItem();
}

QRect Panel::placement(QSize size, QPoint anchor, QRect available)
{
    QRect rect(QPoint(anchor.x() - size.width() / 2, anchor.y()), size);
    // A panel along the bottom of the screen opens upwards.
    if (rect.bottom() > available.bottom())
        rect.moveBottom(anchor.y() - 1);
    rect.moveLeft(
        std::clamp(rect.left(), available.left(), std::max(available.left(), available.right() - size.width() + 1)));
    rect.moveTop(
        std::clamp(rect.top(), available.top(), std::max(available.top(), available.bottom() - size.height() + 1)));
    return rect;
}

void Panel::showAt(QPoint anchor)
{
    QScreen *screen = QGuiApplication::screenAt(anchor);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    adjustSize();
    const QRect available = screen ? screen->availableGeometry() : QRect(anchor, size());
    setGeometry(placement(size(), anchor, available));
    show();
    raise();
    activateWindow();
}

} // namespace lullwatch::ui
