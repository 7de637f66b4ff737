#include "ElidedLabel.h"

#include <QPainter>
#include <QStyle>

#include <algorithm>

namespace lullwatch::ui {

ElidedLabel::ElidedLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

QString ElidedLabel::shownText() const
{
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

QSize ElidedLabel::minimumSizeHint() const
{
    // Room for the first letter and the ellipsis.
    const QSize full = QLabel::minimumSizeHint();
    const int narrow = fontMetrics().horizontalAdvance(text().left(1) + QChar(0x2026));
    return {std::min(full.width(), narrow), full.height()};
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(), shownText(),
                          foregroundRole());
}

} // namespace lullwatch::ui
