#include "Icons.h"

#include <QPainter>
#include <QSvgRenderer>

#include <array>
#include <utility>

// Resources of a static library are registered by hand, outside any namespace.
static void registerIconResources()
{
    Q_INIT_RESOURCE(icons);
}

namespace lullwatch {

namespace {

// Symbol names of the design, with the file of our own that draws each.
constexpr std::array<std::pair<std::string_view, const char *>, 14> symbols {{
    {"cup.and.saucer", "cup.svg"},
    {"cup.and.saucer.fill", "cup-filled.svg"},
    {"exclamationmark.bubble.fill", "bubble-exclamation.svg"},
    {"moon.zzz", "moon-zzz.svg"},
    {"chevron.right", "chevron-right.svg"},
    {"checkmark.circle.fill", "check-circle.svg"},
    {"circle.dashed", "circle-dashed.svg"},
    {"arrow.triangle.2.circlepath.circle.fill", "refresh-circle.svg"},
    {"exclamationmark.triangle.fill", "warning-triangle.svg"},
    {"xmark.circle.fill", "x-circle.svg"},
    {"powerplug", "plug.svg"},
    {"square.stack.3d.up", "stack.svg"},
    {"arrow.up", "arrow-up.svg"},
    {"bolt", "bolt.svg"},
}};

} // namespace

QString Icons::resourcePath(std::string_view symbolName)
{
    static const bool registered = (registerIconResources(), true);
    Q_UNUSED(registered);
    for (const auto &[name, file] : symbols) {
        if (name == symbolName)
            return QStringLiteral(":/lullwatch/icons/") + QLatin1String(file);
    }
    return {};
}

QImage Icons::image(std::string_view symbolName, QSize size, const QColor &color, qreal devicePixelRatio)
{
    QImage image(size * devicePixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    const QString path = resourcePath(symbolName);
    if (path.isEmpty())
        return image;

    QSvgRenderer renderer(path);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    // The drawings are black silhouettes: keep their coverage, take the colour.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(QRectF(QPointF(0, 0), QSizeF(size)), color);
    return image;
}

QPixmap Icons::pixmap(std::string_view symbolName, QSize size, const QColor &color, qreal devicePixelRatio)
{
    return QPixmap::fromImage(image(symbolName, size, color, devicePixelRatio));
}

QIcon Icons::icon(std::string_view symbolName, const QPalette &palette)
{
    QIcon icon;
    for (const int side : {16, 24, 32, 48}) {
        const QSize size(side, side);
        icon.addPixmap(pixmap(symbolName, size, palette.color(QPalette::Active, QPalette::WindowText)), QIcon::Normal);
        icon.addPixmap(pixmap(symbolName, size, palette.color(QPalette::Disabled, QPalette::WindowText)),
                       QIcon::Disabled);
        icon.addPixmap(pixmap(symbolName, size, palette.color(QPalette::Active, QPalette::HighlightedText)),
                       QIcon::Selected);
    }
    return icon;
}

} // namespace lullwatch
