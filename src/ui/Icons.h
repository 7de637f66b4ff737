#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPalette>
#include <QPixmap>
#include <QSize>
#include <QString>

#include <string_view>

namespace lullwatch {

// Lullwatch's own drawings, looked up by the symbol names of the design
// ("cup.and.saucer", "moon.zzz", ...). Each drawing is a black silhouette
// that is tinted when rendered, so one file serves light and dark panels.
// This is the only place that knows which file draws which symbol.
class Icons {
public:
    Icons() = delete;

    // The resource path of the symbol's drawing; empty for an unknown name.
    static QString resourcePath(std::string_view symbolName);
    static bool contains(std::string_view symbolName) { return !resourcePath(symbolName).isEmpty(); }

    // The symbol drawn in `color` into `size` logical pixels; a transparent
    // image for an unknown name.
    static QImage image(std::string_view symbolName, QSize size, const QColor &color, qreal devicePixelRatio = 1.0);
    static QPixmap pixmap(std::string_view symbolName, QSize size, const QColor &color, qreal devicePixelRatio = 1.0);
    // For widgets: tinted with the palette's text colour, and with its
    // disabled and highlighted text colours for those modes.
    static QIcon icon(std::string_view symbolName, const QPalette &palette = QPalette());
};

} // namespace lullwatch
