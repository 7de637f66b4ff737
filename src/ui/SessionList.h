#pragma once

#include "sessions/SessionInfo.h"

#include <QWidget>

#include <optional>
#include <vector>

class QLabel;
class QPropertyAnimation;
class QScrollArea;
class QVBoxLayout;

namespace lullwatch::ui {

class Chevron;
class FirstRowButton;
class SessionRow;

// The panel's sessions: the first one always, and the others in a scroll area
// that the first row's button opens and closes.
class SessionList final : public QWidget {
    Q_OBJECT

public:
    static constexpr int minimumExtraHeight = 44;
    static constexpr int maximumExtraHeight = 220;
    static constexpr int animationMilliseconds = 200;

    explicit SessionList(QWidget *parent = nullptr);

    // The primary session first, the others in model order without it.
    static std::vector<SessionInfo> ordered(const std::vector<SessionInfo> &sessions,
                                            const std::optional<SessionInfo> &primary);

    // Sessions in display order; at least one. The same sessions in the same
    // order with new contents update the rows in place, so that the list
    // keeps its scroll position, hover and animation while counts change.
    void setSessions(const std::vector<SessionInfo> &sessions);
    const std::vector<SessionInfo> &sessions() const { return m_sessions; }

    bool isExpanded() const { return m_expanded; }
    void setExpanded(bool expanded);
    void toggleExpanded() { setExpanded(!m_expanded); }

    // Natural height of the list of further sessions, and the scroll area's
    // height: that kept between 44 and 220.
    int extraSessionsHeight() const;
    int scrollHeight() const;

    // "Show 3 more sessions", "Show 1 more session", "Hide the other sessions".
    static QString indicatorToolTip(int further, bool expanded);

Q_SIGNALS:
    void expandedChanged(bool expanded);
    // A row's "Show".
    void showRequested(const std::string &sessionId);

private:
    void rebuild();
    void updateRows();
    void fitScrollHeight();
    void applyIndicator();
    void animateTo(bool expanded);
    SessionRow *makeRow(const SessionInfo &session, QWidget *parent);

    std::vector<SessionInfo> m_sessions;
    bool m_expanded = false;
    QVBoxLayout *m_layout;
    QWidget *m_first = nullptr;
    SessionRow *m_firstRow = nullptr;
    QWidget *m_indicator = nullptr;
    QLabel *m_more = nullptr;
    Chevron *m_chevron = nullptr;
    QWidget *m_extraArea;
    QScrollArea *m_scroll;
    QWidget *m_extraContent = nullptr;
    std::vector<SessionRow *> m_extraRows;
    QPropertyAnimation *m_heightAnimation;
    QPropertyAnimation *m_chevronAnimation = nullptr;
};

} // namespace lullwatch::ui
