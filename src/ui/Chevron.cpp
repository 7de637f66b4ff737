#include "Chevron.h"

#include "PanelStyle.h"

#include <QPainter>
#include <QPainterPath>

namespace lullwatch::ui {

Chevron::Chevron(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(sizeHint());
}

void Chevron::setRotation(qreal degrees)
{
    if (qFuzzyCompare(degrees, m_rotation))
        return;
    m_rotation = degrees;
    QWidget::update();
    Q_EMIT rotationChanged(degrees);
}

void Chevron::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    painter.rotate(m_rotation);
    QPen pen(secondaryColor(palette()), 1.6);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    QPainterPath path;
    path.moveTo(-1.5, -3.5);
    path.lineTo(2.0, 0);
    path.lineTo(-1.5, 3.5);
    painter.drawPath(path);
}

} // namespace lullwatch::ui
