#pragma once

#include <QAbstractButton>

namespace lullwatch::ui {

// A flat button that draws only a hover and press highlight behind the
// widgets laid out in it; the first session row sits in one.
class FirstRowButton final : public QAbstractButton {
    Q_OBJECT

public:
    explicit FirstRowButton(QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    bool m_hovered = false;
};

} // namespace lullwatch::ui
