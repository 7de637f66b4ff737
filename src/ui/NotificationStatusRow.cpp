#include "NotificationStatusRow.h"

#include "PanelStyle.h"
#include "notify/Notifier.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace lullwatch::ui {

NotificationStatusRow::NotificationStatusRow(Notifier &notifier, QWidget *parent)
    : QWidget(parent)
    , m_notifier(notifier)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("notificationText"));
    m_text->setTextFormat(Qt::PlainText);
    m_text->setWordWrap(true);
    m_button = new QPushButton(this);
    m_button->setObjectName(QStringLiteral("notificationButton"));
    m_button->setFont(panelFont(TextStyle::Caption));
    m_button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    row->addWidget(m_text, 1, Qt::AlignVCenter);
    row->addWidget(m_button, 0, Qt::AlignVCenter);

    connect(m_button, &QPushButton::clicked, this, &NotificationStatusRow::buttonClicked);
    connect(&m_notifier, &Notifier::permissionChanged, this, &NotificationStatusRow::applyPermission);
    connect(&m_notifier, &Notifier::lastErrorChanged, this, &NotificationStatusRow::applyPermission);
    applyPermission();
}

void NotificationStatusRow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_notifier.refreshPermission();
}

void NotificationStatusRow::applyPermission()
{
    switch (m_notifier.permission()) {
    case Notifier::Permission::Unknown:
        m_text->setText(tr("Waiting for permission\u2026"));
        styleLabel(m_text, TextStyle::Caption2, tertiaryColor(palette()));
        m_button->setText(tr("Allow"));
        break;
    case Notifier::Permission::Granted: {
        const auto &error = m_notifier.lastError();
        m_text->setText(error ? QString::fromStdString(*error) : tr("Alerts are on"));
        styleLabel(m_text, TextStyle::Caption2, error ? redColor() : tertiaryColor(palette()));
        m_button->setText(tr("Test"));
        break;
    }
    case Notifier::Permission::Denied:
        m_text->setText(tr("Blocked in System Settings"));
        styleLabel(m_text, TextStyle::Caption2, redColor());
        m_button->setText(tr("Open"));
        break;
    }
}

void NotificationStatusRow::buttonClicked()
{
    switch (m_notifier.permission()) {
    case Notifier::Permission::Unknown:
        m_notifier.requestPermission();
        break;
    case Notifier::Permission::Granted:
        m_notifier.sendTest();
        break;
    case Notifier::Permission::Denied:
        m_notifier.openSystemSettings();
        break;
    }
}

} // namespace lullwatch::ui
