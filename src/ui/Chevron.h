#pragma once

#include <QWidget>

namespace lullwatch::ui {

// The expansion indicator's chevron: points right, turned down by `rotation`
// degrees while the list is open.
class Chevron final : public QWidget {
    Q_OBJECT
    Q_PROPERTY(qreal rotation READ rotation WRITE setRotation NOTIFY rotationChanged)

public:
    explicit Chevron(QWidget *parent = nullptr);

    qreal rotation() const { return m_rotation; }
    void setRotation(qreal degrees);

    QSize sizeHint() const override { return {10, 10}; }

Q_SIGNALS:
    void rotationChanged(qreal degrees);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    qreal m_rotation = 0;
};

} // namespace lullwatch::ui
