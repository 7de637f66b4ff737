#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace lullwatch {
class Notifier;
}

namespace lullwatch::ui {

// The notification permission with the one action that fits it: "Allow",
// "Test" or "Open". Re-reads the permission each time it is shown.
class NotificationStatusRow final : public QWidget {
    Q_OBJECT

public:
    explicit NotificationStatusRow(Notifier &notifier, QWidget *parent = nullptr);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void applyPermission();
    void buttonClicked();

    Notifier &m_notifier;
    QLabel *m_text;
    QPushButton *m_button;
};

} // namespace lullwatch::ui
