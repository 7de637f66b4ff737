#include "SessionRow.h"

#include "ElidedLabel.h"
#include "Icons.h"
#include "PanelStyle.h"
#include "agents/Agents.h"
#include "sessions/TerminalFocus.h"
#include "sessions/TokenCount.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

namespace lullwatch::ui {

namespace {

constexpr int dotSize = 7;

QPixmap dotPixmap(const QColor &color, qreal devicePixelRatio)
{
    QPixmap pixmap(QSize(dotSize, dotSize) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QRectF(0, 0, dotSize, dotSize));
    return pixmap;
}

QLabel *usageLabel(const char *name, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name) + QLatin1String("Label"));
    styleLabel(label, TextStyle::Caption, secondaryColor(parent->palette()));
    return label;
}

// A count with its symbol before it, both in the secondary colour, under
// one tooltip; returns the count's label.
QLabel *usageItem(QBoxLayout *line, std::string_view symbol, const char *name, const QString &toolTip, QWidget *parent)
{
    auto *item = new QWidget(parent);
    item->setObjectName(QLatin1String(name) + QLatin1String("Item"));
    item->setToolTip(toolTip);
    auto *row = new QHBoxLayout(item);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(3);
    auto *icon = new QLabel(item);
    const int side = QFontMetrics(panelFont(TextStyle::Caption)).capHeight() + 3;
    icon->setPixmap(
        Icons::pixmap(symbol, QSize(side, side), secondaryColor(parent->palette()), parent->devicePixelRatioF()));
    row->addWidget(icon, 0, Qt::AlignVCenter);
    auto *label = usageLabel(name, item);
    row->addWidget(label, 0, Qt::AlignVCenter);
    line->addWidget(item);
    return label;
}

} // namespace

SessionRow::SessionRow(const SessionInfo &session, QWidget *parent)
    : QWidget(parent)
    , m_session(session)
{
    auto *lines = new QVBoxLayout(this);
    lines->setContentsMargins(12, 8, 12, 8);
    lines->setSpacing(4);

    auto *header = new QHBoxLayout;
    header->setSpacing(6);
    m_dot = new QLabel(this);
    m_dot->setObjectName(QStringLiteral("statusDot"));
    m_dot->setFixedSize(dotSize, dotSize);
    m_folder = new ElidedLabel(this);
    m_folder->setObjectName(QStringLiteral("folderLabel"));
    m_folder->setFont(panelFont(TextStyle::Subheadline, QFont::Medium));
    // It gives up width before the badge and the state do.
    m_folder->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    m_badge = new QLabel(this);
    m_badge->setObjectName(QStringLiteral("sourceBadge"));
    m_badge->setFont(panelFont(TextStyle::Caption2, QFont::Medium));
    {
        // A capsule: the secondary colour at 15 percent behind the text.
        const QColor text = secondaryColor(palette());
        QColor fill = text;
        fill.setAlphaF(0.15);
        const int radius = (m_badge->fontMetrics().height() + 2) / 2;
        m_badge->setStyleSheet(QStringLiteral("QLabel { color: %1; background: %2; border-radius: %3px; "
                                              "padding: 1px 5px; }")
                                   .arg(text.name(QColor::HexArgb), fill.name(QColor::HexArgb))
                                   .arg(radius));
    }
    m_state = new QLabel(this);
    m_state->setObjectName(QStringLiteral("stateLabel"));
    styleLabel(m_state, TextStyle::Caption, secondaryColor(palette()));
    header->addWidget(m_dot, 0, Qt::AlignVCenter);
    header->addWidget(m_folder, 0, Qt::AlignVCenter);
    header->addWidget(m_badge, 0, Qt::AlignVCenter);
    header->addStretch(1);
    header->addWidget(m_state, 0, Qt::AlignVCenter);
    // Flat until pointed at, so that a row of text stays one.
    m_show = new QToolButton(this);
    m_show->setObjectName(QStringLiteral("showButton"));
    m_show->setText(qtext(showSessionLabel));
    m_show->setAutoRaise(true);
    m_show->setFont(panelFont(TextStyle::Caption, QFont::Medium));
    {
        QPalette accent = m_show->palette();
        accent.setColor(QPalette::ButtonText, accent.color(QPalette::Highlight));
        m_show->setPalette(accent);
    }
    m_show->setToolTip(tr("Bring the session's terminal to the front"));
    connect(m_show, &QToolButton::clicked, this, [this] { Q_EMIT showRequested(m_session.id); });
    header->addWidget(m_show, 0, Qt::AlignVCenter);
    lines->addLayout(header);

    m_usageLine = new QWidget(this);
    m_usageLine->setObjectName(QStringLiteral("usageLine"));
    auto *usage = new QHBoxLayout(m_usageLine);
    usage->setContentsMargins(0, 0, 0, 0);
    usage->setSpacing(10);
    m_context = usageItem(usage, "square.stack.3d.up", "context", tr("Context size on the last turn"), m_usageLine);
    m_output = usageItem(usage, "arrow.up", "output", tr("Output tokens this session"), m_usageLine);
    m_cache = usageItem(usage, "bolt", "cache", tr("Cache reads this session"), m_usageLine);
    usage->addStretch(1);
    m_turns = usageLabel("turns", m_usageLine);
    usage->addWidget(m_turns);
    lines->addWidget(m_usageLine);

    m_model = new QLabel(this);
    m_model->setObjectName(QStringLiteral("modelLabel"));
    m_model->setTextFormat(Qt::PlainText);
    styleLabel(m_model, TextStyle::Caption2, tertiaryColor(palette()));
    lines->addWidget(m_model);

    refreshContent();
}

void SessionRow::setSession(const SessionInfo &session)
{
    if (session == m_session)
        return;
    m_session = session;
    refreshContent();
}

QColor SessionRow::dotColor(const SessionInfo &session, const QPalette &palette)
{
    if (session.isStale)
        return orangeColor();
    switch (session.state) {
    case SessionState::Working:
        return greenColor();
    case SessionState::Waiting:
        return yellowColor();
    case SessionState::Idle:
    case SessionState::Ended:
        break;
    }
    return secondaryColor(palette);
}

void SessionRow::refreshContent()
{
    m_dotColor = dotColor(m_session, palette());
    m_dot->setPixmap(dotPixmap(m_dotColor, devicePixelRatioF()));
    m_folder->setText(QString::fromStdString(folderName(m_session.cwd)));
    m_badge->setText(qtext(agentFor(m_session.source).shortName));
    m_state->setText(qtext(stateLabel(m_session)));
    // Without the agent's process there is no terminal to look for.
    m_show->setVisible(m_session.pid.has_value());

    // Usage shows for agents whose transcripts Lullwatch reads.
    const bool countsTokens = agentFor(m_session.source).transcript != TranscriptFormat::None;
    const auto &usage = m_session.usage;
    m_context->setText(QString::fromStdString(formatTokenCount(usage.contextTokens)));
    m_output->setText(QString::fromStdString(formatTokenCount(usage.tokens.output)));
    m_cache->setText(QString::fromStdString(formatTokenCount(usage.tokens.cacheRead)));
    m_turns->setText(tr("%n turns", nullptr, int(std::min<std::int64_t>(usage.turns, INT_MAX))));
    m_usageLine->setVisible(countsTokens);
    m_model->setText(usage.model ? QString::fromStdString(*usage.model) : QString());
    m_model->setVisible(countsTokens && usage.model.has_value());
}

} // namespace lullwatch::ui
