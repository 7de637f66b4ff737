#pragma once

#include <QColor>
#include <QFont>
#include <QString>

#include <string_view>

class QFrame;
class QLabel;
class QWidget;
class QPalette;

namespace lullwatch::ui {

// The panel's type scale, relative to the desktop's font: the headline is the
// base size in bold, the captions step down from it.
enum class TextStyle { Headline, Subheadline, Callout, Caption, Caption2 };

QFont panelFont(TextStyle style, QFont::Weight weight = QFont::Normal);

// Foreground shades drawn from the palette, so light and dark themes both work.
QColor secondaryColor(const QPalette &palette);
QColor tertiaryColor(const QPalette &palette);

// The fixed hues of states and warnings.
QColor orangeColor();
QColor greenColor();
QColor yellowColor();
QColor redColor();

// Styles a label with a font and a foreground colour.
void styleLabel(QLabel *label, TextStyle style, const QColor &color, QFont::Weight weight = QFont::Normal);

QString qtext(std::string_view text);

// A faint horizontal line between the panel's sections.
QFrame *divider(QWidget *parent);

} // namespace lullwatch::ui
