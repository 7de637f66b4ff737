#include "SessionList.h"

#include "Chevron.h"
#include "FirstRowButton.h"
#include "PanelStyle.h"
#include "SessionRow.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

namespace lullwatch::ui {

SessionList::SessionList(QWidget *parent)
    : QWidget(parent)
{
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);

    m_extraArea = new QWidget(this);
    m_extraArea->setObjectName(QStringLiteral("extraArea"));
    auto *extraLayout = new QVBoxLayout(m_extraArea);
    extraLayout->setContentsMargins(0, 0, 0, 0);
    extraLayout->setSpacing(0);
    // The area may be squeezed below its content while it animates.
    extraLayout->setSizeConstraint(QLayout::SetNoConstraint);
    extraLayout->addWidget(divider(m_extraArea));
    m_scroll = new QScrollArea(m_extraArea);
    m_scroll->setObjectName(QStringLiteral("extraScroll"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    extraLayout->addWidget(m_scroll);
    m_extraArea->setMaximumHeight(0);
    m_extraArea->hide();

    m_heightAnimation = new QPropertyAnimation(m_extraArea, "maximumHeight", this);
    m_heightAnimation->setDuration(animationMilliseconds);
    m_heightAnimation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_heightAnimation, &QPropertyAnimation::finished, this, [this] {
        if (!m_expanded)
            m_extraArea->hide();
        else // the rows may have changed height while it ran
            m_extraArea->setMaximumHeight(scrollHeight() + 1);
    });
}

std::vector<SessionInfo> SessionList::ordered(const std::vector<SessionInfo> &sessions,
                                              const std::optional<SessionInfo> &primary)
{
    if (!primary)
        return sessions;
    std::vector<SessionInfo> result {*primary};
    for (const auto &session : sessions) {
        if (session.id != primary->id)
            result.push_back(session);
    }
    return result;
}

void SessionList::setSessions(const std::vector<SessionInfo> &sessions)
{
    if (sessions == m_sessions)
        return;
    const bool sameSessions = std::equal(sessions.begin(), sessions.end(), m_sessions.begin(), m_sessions.end(),
                                         [](const SessionInfo &a, const SessionInfo &b) { return a.id == b.id; });
    m_sessions = sessions;
    if (sameSessions && m_firstRow)
        updateRows();
    else
        rebuild();
}

void SessionList::updateRows()
{
    m_firstRow->setSession(m_sessions.front());
    for (std::size_t i = 0; i < m_extraRows.size(); ++i)
        m_extraRows[i]->setSession(m_sessions[i + 1]);
    // A row may have gained or lost its model line.
    fitScrollHeight();
}

void SessionList::fitScrollHeight()
{
    if (!m_extraContent || m_scroll->maximumHeight() == scrollHeight())
        return;
    m_scroll->setFixedHeight(scrollHeight());
    if (m_expanded && m_heightAnimation->state() != QAbstractAnimation::Running)
        m_extraArea->setMaximumHeight(scrollHeight() + 1);
}

void SessionList::rebuild()
{
    m_heightAnimation->stop();
    if (m_first) {
        m_layout->removeWidget(m_first);
        delete m_first;
        m_first = nullptr;
        m_firstRow = nullptr;
        m_indicator = nullptr;
        m_more = nullptr;
        m_chevron = nullptr;
        m_chevronAnimation = nullptr;
    }
    m_layout->removeWidget(m_extraArea);
    if (m_sessions.empty())
        return;

    if (m_sessions.size() == 1) {
        m_firstRow = makeRow(m_sessions.front(), this);
        m_first = m_firstRow;
    } else {
        auto *button = new FirstRowButton(this);
        button->setObjectName(QStringLiteral("firstRowButton"));
        auto *row = new QHBoxLayout(button);
        row->setContentsMargins(0, 0, 12, 0);
        row->setSpacing(6);
        m_firstRow = makeRow(m_sessions.front(), button);
        // The indicator carries the tooltip.
        m_indicator = new QWidget(button);
        m_indicator->setObjectName(QStringLiteral("indicator"));
        auto *indicator = new QHBoxLayout(m_indicator);
        indicator->setContentsMargins(0, 0, 0, 0);
        indicator->setSpacing(6);
        m_more = new QLabel(m_indicator);
        m_more->setObjectName(QStringLiteral("moreLabel"));
        styleLabel(m_more, TextStyle::Caption, secondaryColor(palette()), QFont::Medium);
        m_chevron = new Chevron(m_indicator);
        m_chevron->setObjectName(QStringLiteral("chevron"));
        m_chevron->setRotation(m_expanded ? 90 : 0);
        m_chevronAnimation = new QPropertyAnimation(m_chevron, "rotation", m_chevron);
        m_chevronAnimation->setDuration(animationMilliseconds);
        m_chevronAnimation->setEasingCurve(QEasingCurve::OutCubic);
        row->addWidget(m_firstRow, 1);
        indicator->addWidget(m_more, 0, Qt::AlignVCenter);
        indicator->addWidget(m_chevron, 0, Qt::AlignVCenter);
        row->addWidget(m_indicator, 0, Qt::AlignVCenter);
        connect(button, &QAbstractButton::clicked, this, &SessionList::toggleExpanded);
        m_first = button;
    }
    m_layout->addWidget(m_first);

    // The further sessions, a divider between consecutive rows.
    auto *content = new QWidget;
    content->setObjectName(QStringLiteral("extraContent"));
    auto *rows = new QVBoxLayout(content);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    m_extraRows.clear();
    for (std::size_t i = 1; i < m_sessions.size(); ++i) {
        if (i > 1)
            rows->addWidget(divider(content));
        m_extraRows.push_back(makeRow(m_sessions[i], content));
        rows->addWidget(m_extraRows.back());
    }
    rows->addStretch(1);
    m_scroll->setWidget(content); // deletes the previous content
    m_extraContent = content;
    m_scroll->setFixedHeight(scrollHeight());
    m_layout->addWidget(m_extraArea);

    const bool showExtra = m_expanded && m_sessions.size() > 1;
    m_extraArea->setMaximumHeight(showExtra ? scrollHeight() + 1 : 0);
    m_extraArea->setVisible(showExtra);
    applyIndicator();
}

SessionRow *SessionList::makeRow(const SessionInfo &session, QWidget *parent)
{
    auto *row = new SessionRow(session, parent);
    connect(row, &SessionRow::showRequested, this, &SessionList::showRequested);
    return row;
}

int SessionList::extraSessionsHeight() const
{
    if (!m_extraContent || m_sessions.size() < 2)
        return 0;
    return m_extraContent->sizeHint().height();
}

int SessionList::scrollHeight() const
{
    return std::clamp(extraSessionsHeight(), minimumExtraHeight, maximumExtraHeight);
}

QString SessionList::indicatorToolTip(int further, bool expanded)
{
    if (expanded)
        return tr("Hide the other sessions");
    return tr("Show %n more sessions", nullptr, further);
}

void SessionList::setExpanded(bool expanded)
{
    if (expanded == m_expanded)
        return;
    m_expanded = expanded;
    applyIndicator();
    if (m_sessions.size() > 1)
        animateTo(expanded);
    Q_EMIT expandedChanged(expanded);
}

void SessionList::applyIndicator()
{
    if (!m_more)
        return;
    const int further = int(m_sessions.size()) - 1;
    m_more->setText(QStringLiteral("+%1").arg(further));
    m_more->setVisible(!m_expanded);
    m_indicator->setToolTip(indicatorToolTip(further, m_expanded));
}

void SessionList::animateTo(bool expanded)
{
    const int target = expanded ? scrollHeight() + 1 : 0; // the divider is 1 px
    m_heightAnimation->stop();
    m_heightAnimation->setStartValue(
        m_extraArea->isVisible() ? std::min(m_extraArea->maximumHeight(), scrollHeight() + 1) : 0);
    m_heightAnimation->setEndValue(target);
    if (expanded)
        m_extraArea->show();
    m_heightAnimation->start();
    if (m_chevronAnimation) {
        m_chevronAnimation->stop();
        m_chevronAnimation->setStartValue(m_chevron->rotation());
        m_chevronAnimation->setEndValue(expanded ? 90.0 : 0.0);
        m_chevronAnimation->start();
    }
}

} // namespace lullwatch::ui
