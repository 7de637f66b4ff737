#include "FirstRowButton.h"

#include <QLayout>
#include <QPainter>

namespace lullwatch::ui {

FirstRowButton::FirstRowButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize FirstRowButton::sizeHint() const
{
    return layout() ? layout()->sizeHint() : QSize();
}

QSize FirstRowButton::minimumSizeHint() const
{
    return layout() ? layout()->minimumSize() : QSize();
}

void FirstRowButton::paintEvent(QPaintEvent *)
{
    if (!m_hovered && !isDown())
        return;
    QPainter painter(this);
    QColor fill = palette().color(QPalette::WindowText);
    fill.setAlphaF(isDown() ? 0.12 : 0.06);
    painter.fillRect(rect(), fill);
}

void FirstRowButton::enterEvent(QEnterEvent *event)
{
    m_hovered = true;
    QWidget::update();
    QAbstractButton::enterEvent(event);
}

void FirstRowButton::leaveEvent(QEvent *event)
{
    m_hovered = false;
    QWidget::update();
    QAbstractButton::leaveEvent(event);
}

} // namespace lullwatch::ui
