#pragma once

#include "sessions/SessionInfo.h"

#include <QColor>
#include <QWidget>

class QLabel;
class QToolButton;

namespace lullwatch::ui {

class ElidedLabel;

// One agent session in the panel's list: status dot, folder, agent badge and
// state, and for agents whose transcripts are read the token usage and the model. Shows one
// SessionInfo value; its one action, "Show" where the agent's process is
// known, asks for the session's terminal.
class SessionRow final : public QWidget {
    Q_OBJECT

public:
    explicit SessionRow(const SessionInfo &session, QWidget *parent = nullptr);

    const SessionInfo &session() const { return m_session; }
    void setSession(const SessionInfo &session);

    // The colour the status dot is drawn in.
    QColor dotColor() const { return m_dotColor; }
    static QColor dotColor(const SessionInfo &session, const QPalette &palette);

Q_SIGNALS:
    void showRequested(const std::string &sessionId);

private:
    void refreshContent();

    SessionInfo m_session;
    QColor m_dotColor;
    QLabel *m_dot;
    ElidedLabel *m_folder;
    QLabel *m_badge;
    QLabel *m_state;
    QToolButton *m_show;
    QWidget *m_usageLine;
    QLabel *m_context;
    QLabel *m_output;
    QLabel *m_cache;
    QLabel *m_turns;
    QLabel *m_model;
};

} // namespace lullwatch::ui
