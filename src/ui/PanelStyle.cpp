#include "PanelStyle.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPalette>

namespace lullwatch::ui {

QFont panelFont(TextStyle style, QFont::Weight weight)
{
    QFont font = QApplication::font();
    const qreal base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    switch (style) {
    case TextStyle::Headline:
        font.setPointSizeF(base);
        font.setWeight(QFont::Bold);
        return font;
    case TextStyle::Subheadline:
        font.setPointSizeF(base * 0.95);
        break;
    case TextStyle::Callout:
        font.setPointSizeF(base * 0.95);
        break;
    case TextStyle::Caption:
        font.setPointSizeF(base * 0.85);
        break;
    case TextStyle::Caption2:
        font.setPointSizeF(base * 0.78);
        break;
    }
    font.setWeight(weight);
    return font;
}

static QColor withAlpha(QColor color, double alpha)
{
    color.setAlphaF(alpha);
    return color;
}

QColor secondaryColor(const QPalette &palette)
{
    return withAlpha(palette.color(QPalette::WindowText), 0.62);
}

QColor tertiaryColor(const QPalette &palette)
{
    return withAlpha(palette.color(QPalette::WindowText), 0.42);
}

QColor orangeColor()
{
    return QColor(0xf0, 0x8a, 0x24);
}

QColor greenColor()
{
    return QColor(0x34, 0xb8, 0x4f);
}

QColor yellowColor()
{
    return QColor(0xe6, 0xb4, 0x00);
}

QColor redColor()
{
    return QColor(0xe0, 0x3b, 0x30);
}

void styleLabel(QLabel *label, TextStyle style, const QColor &color, QFont::Weight weight)
{
    label->setFont(panelFont(style, weight));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

QString qtext(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    QPalette palette = line->palette();
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(0.15);
    palette.setColor(QPalette::WindowText, color);
    line->setPalette(palette);
    return line;
}

} // namespace lullwatch::ui
