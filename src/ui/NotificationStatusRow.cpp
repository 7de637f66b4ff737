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
    // Linux has no permission to ask for: a notification service answers, or none runs.
    switch (m_notifier.permission()) {
    case Notifier::Permission::Unknown:
        m_text->setText(tr("Looking for a notification service\u2026"));
        styleLabel(m_text, TextStyle::Caption2, tertiaryColor(palette()));
        m_button->hide();
        break;
    case Notifier::Permission::Granted: {
        const auto &error = m_notifier.lastError();
        m_text->setText(error ? QString::fromStdString(*error) : tr("Alerts are on"));
        styleLabel(m_text, TextStyle::Caption2, error ? redColor() : tertiaryColor(palette()));
        m_button->setText(tr("Send test"));
        m_button->show();
        break;
    }
    case Notifier::Permission::Denied:
        m_text->setText(QString::fromUtf8(Notifier::deniedText.data(), qsizetype(Notifier::deniedText.size())));
        styleLabel(m_text, TextStyle::Caption2, tertiaryColor(palette()));
        m_button->hide();
        break;
    }
}

void NotificationStatusRow::buttonClicked()
{
    if (m_notifier.permission() == Notifier::Permission::Granted)
        m_notifier.sendTest();
}

} // namespace lullwatch::ui
