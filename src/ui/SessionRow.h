#pragma once

#include "sessions/SessionInfo.h"

#include <QColor>
#include <QWidget>

class QLabel;

namespace lullwatch::ui {

class ElidedLabel;

// One agent session in the panel's list: status dot, folder, agent badge and
// state, and for agents whose transcripts are read the token usage and the model. Shows one
// SessionInfo value and nothing else; it has no actions.
class SessionRow final : public QWidget {
    Q_OBJECT

public:
    explicit SessionRow(const SessionInfo &session, QWidget *parent = nullptr);

    const SessionInfo &session() const { return m_session; }
    void setSession(const SessionInfo &session);

    // The colour the status dot is drawn in.
    QColor dotColor() const { return m_dotColor; }
    static QColor dotColor(const SessionInfo &session, const QPalette &palette);

private:
    void refreshContent();

    SessionInfo m_session;
    QColor m_dotColor;
    QLabel *m_dot;
    ElidedLabel *m_folder;
    QLabel *m_badge;
    QLabel *m_state;
    QWidget *m_usageLine;
    QLabel *m_context;
    QLabel *m_output;
    QLabel *m_cache;
    QLabel *m_turns;
    QLabel *m_model;
};

} // namespace lullwatch::ui
