#include "HookStatusRow.h"

#include "Icons.h"
#include "PanelStyle.h"
#include "agents/Agents.h"
#include "hooks/HookInstalling.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace lullwatch::ui {

HookStatusRow::HookStatusRow(HookInstalling &installer, QWidget *parent)
    : QWidget(parent)
    , m_installer(installer)
{
    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(6);
    auto *row = new QHBoxLayout;
    row->setSpacing(6);
    m_icon = new QLabel(this);
    m_icon->setObjectName(QStringLiteral("hookIcon"));
    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("hookTitle"));
    m_title->setTextFormat(Qt::PlainText);
    m_title->setWordWrap(true);
    m_title->setFont(panelFont(TextStyle::Caption));
    m_button = new QPushButton(this);
    m_button->setObjectName(QStringLiteral("hookButton"));
    m_button->setFont(panelFont(TextStyle::Caption));
    m_button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    row->addWidget(m_icon, 0, Qt::AlignVCenter);
    row->addWidget(m_title, 1, Qt::AlignVCenter);
    row->addWidget(m_button, 0, Qt::AlignVCenter);
    stack->addLayout(row);
    m_detail = new QLabel(this);
    m_detail->setObjectName(QStringLiteral("hookDetail"));
    m_detail->setTextFormat(Qt::PlainText);
    m_detail->setWordWrap(true);
    styleLabel(m_detail, TextStyle::Caption2, tertiaryColor(palette()));
    stack->addWidget(m_detail);

    connect(m_button, &QPushButton::clicked, this, &HookStatusRow::buttonClicked);
    connect(&m_installer, &HookInstalling::statusChanged, this, &HookStatusRow::applyStatus);
    applyStatus();
}

void HookStatusRow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Picks up changes made to the agent's configuration while hidden.
    m_installer.refresh();
}

void HookStatusRow::applyStatus()
{
    using Kind = HookStatus::Kind;
    const auto kind = m_installer.status().kind();
    std::string_view symbol;
    QColor color;
    switch (kind) {
    case Kind::NotInstalled:
        symbol = "circle.dashed";
        color = secondaryColor(palette());
        break;
    case Kind::Installed:
        symbol = "checkmark.circle.fill";
        color = greenColor();
        break;
    case Kind::Outdated:
        symbol = "arrow.triangle.2.circlepath.circle.fill";
        color = yellowColor();
        break;
    case Kind::AwaitingApproval:
        symbol = "exclamationmark.bubble.fill";
        color = yellowColor();
        break;
    case Kind::Failed:
        symbol = "exclamationmark.triangle.fill";
        color = redColor();
        break;
    }
    m_iconColor = color;
    const int side = m_title->fontMetrics().height();
    const qreal ratio = devicePixelRatioF();
    m_icon->setPixmap(Icons::pixmap(symbol, QSize(side, side), color, ratio));
    m_title->setText(QString::fromStdString(hookRowTitle(m_installer)));
    const bool connected = kind == Kind::Installed || kind == Kind::AwaitingApproval;
    m_button->setText(connected ? tr("Remove") : tr("Connect"));
    m_detail->setText(QString::fromStdString(
        kind == Kind::AwaitingApproval ? std::string(m_installer.agent().approvalHint) : m_installer.detail()));
    m_detail->setVisible(kind != Kind::Installed);
}

void HookStatusRow::buttonClicked()
{
    // The outcome comes back through statusChanged.
    const auto kind = m_installer.status().kind();
    if (kind == HookStatus::Kind::Installed || kind == HookStatus::Kind::AwaitingApproval)
        m_installer.uninstall();
    else
        m_installer.install();
}

} // namespace lullwatch::ui
