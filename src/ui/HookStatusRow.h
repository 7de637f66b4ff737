#pragma once

#include <QColor>
#include <QWidget>

class QLabel;
class QPushButton;

namespace lullwatch {
class HookInstalling;
}

namespace lullwatch::ui {

// Whether one agent's hooks are connected, with "Connect" or "Remove".
// Refreshes its installer each time it is shown.
class HookStatusRow final : public QWidget {
    Q_OBJECT

public:
    explicit HookStatusRow(HookInstalling &installer, QWidget *parent = nullptr);

    HookInstalling &installer() const { return m_installer; }
    // The colour the status icon is drawn in.
    QColor iconColor() const { return m_iconColor; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void applyStatus();
    void buttonClicked();

    HookInstalling &m_installer;
    QColor m_iconColor;
    QLabel *m_icon;
    QLabel *m_title;
    QPushButton *m_button;
    QLabel *m_detail;
};

} // namespace lullwatch::ui
