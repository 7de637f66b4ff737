#include "TrayIcon.h"

#include "Icons.h"
#include "app/AppModel.h"

#include <QCursor>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>

#include <algorithm>

namespace lullwatch {

namespace {

// The title's capital letters are at most this share of the side high, and
// its type no smaller than this.
constexpr double titleShare = 0.36;
constexpr int smallestTextPixels = 7;

QFont titleFont(int pixelSize)
{
    QFont font = QGuiApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Medium);
    return font;
}

// The pixels that `text` covers when drawn in `font` with its baseline at
// the origin; font metrics estimate them a pixel short at times.
QRect inkOf(const QFont &font, const QString &text)
{
    if (text.isEmpty())
        return {};
    const QRect estimate = QFontMetrics(font).boundingRect(text).adjusted(-4, -4, 4, 4);
    QImage image(estimate.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(-estimate.topLeft(), text);
    painter.end();
    QRect ink;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(line[x]) != 0)
                ink |= QRect(x, y, 1, 1);
        }
    }
    return ink.translated(estimate.topLeft());
}

// The halo: the drawing's coverage, in the opposite lightness, spread by one
// pixel all round.
QImage withHalo(const QImage &drawing, const QColor &foreground)
{
    const QColor halo = foreground.lightnessF() > 0.5 ? QColor(0, 0, 0, 110) : QColor(255, 255, 255, 130);
    QImage mask = drawing;
    {
        QPainter painter(&mask);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(mask.rect(), halo);
    }
    QImage result(drawing.size(), QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    for (int dx = -1; dx <= 1; ++dx) {
        for (int dy = -1; dy <= 1; ++dy) {
            if (dx != 0 || dy != 0)
                painter.drawImage(QPoint(dx, dy), mask);
        }
    }
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawImage(QPoint(0, 0), drawing);
    return result;
}

} // namespace

TrayIcon::TrayIcon(AppModel &model, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_foreground(QGuiApplication::palette().color(QPalette::WindowText))
{
    auto *open = m_menu.addAction(tr("Open Lullwatch"));
    connect(open, &QAction::triggered, this, [this] { Q_EMIT openPanelRequested(anchor()); });
    auto *quit = m_menu.addAction(tr("Quit"));
    connect(quit, &QAction::triggered, this, &TrayIcon::quitRequested);
    m_tray.setContextMenu(&m_menu);

    connect(&m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The context menu opens by itself; every other click opens the panel.
        if (reason != QSystemTrayIcon::Context)
            Q_EMIT openPanelRequested(anchor());
    });

    connect(&m_model, &AppModel::sessionsChanged, this, &TrayIcon::update);
    connect(&m_model, &AppModel::menuBarMetricChanged, this, &TrayIcon::update);

    m_label = TrayLabel::of(m_model);
    redraw();
    m_tray.show();
}

void TrayIcon::setForeground(const QColor &color)
{
    if (color == m_foreground)
        return;
    m_foreground = color;
    redraw();
}

void TrayIcon::update()
{
    auto label = TrayLabel::of(m_model);
    if (label == m_label)
        return;
    m_label = std::move(label);
    redraw();
}

void TrayIcon::redraw()
{
    m_images.clear();
    QIcon icon;
    for (const int side : sides) {
        m_images.append(render(m_label, m_foreground, side));
        icon.addPixmap(QPixmap::fromImage(m_images.constLast()));
    }
    m_tray.setIcon(icon);
    m_tray.setToolTip(QString::fromStdString(m_label.toolTip()));
}

QImage TrayIcon::render(const TrayLabel &label, const QColor &foreground, int side)
{
    // A pixel of halo on each side.
    const int inner = side - 2;
    const QString title = side >= smallestTitledSide ? QString::fromStdString(label.title) : QString();

    // The title shrinks, then is cut, to fit the width; its ink is measured,
    // not its advance, so that nothing reaches the halo's pixel.
    const auto ink = [](int pixelSize, const QString &text) { return inkOf(titleFont(pixelSize), text); };
    // Capitals stand at least 0.6 of the type's size in any common face.
    int pixelSize = std::min(inner, static_cast<int>(side * titleShare / 0.6) + 1);
    for (QRect measured = ink(pixelSize, title);
         pixelSize > smallestTextPixels && (measured.height() > side * titleShare || measured.width() > inner);)
        measured = ink(--pixelSize, title);
    const QFont font = titleFont(pixelSize);
    QString shown = title;
    for (int width = inner; !shown.isEmpty() && ink(pixelSize, shown).width() > inner; --width)
        shown = QFontMetrics(font).elidedText(title, Qt::ElideRight, width);
    const QRect shownInk = ink(pixelSize, shown);
    // One pixel parts the title from the symbol above it.
    const int titleHeight = shown.isEmpty() ? 0 : shownInk.height() + 1;
    const int symbolSide = inner - titleHeight;

    QImage drawing(side, side, QImage::Format_ARGB32_Premultiplied);
    drawing.fill(Qt::transparent);
    QPainter painter(&drawing);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.drawImage(QPoint((side - symbolSide) / 2, 1),
                      Icons::image(label.symbolName(), QSize(symbolSide, symbolSide), foreground));
    if (!shown.isEmpty()) {
        painter.setFont(font);
        painter.setPen(foreground);
        painter.drawText(QPoint((side - shownInk.width()) / 2 - shownInk.left(), side - 1 - 1 - shownInk.bottom()),
                         shown);
    }
    painter.end();
    return withHalo(drawing, foreground);
}

QPoint TrayIcon::anchor() const
{
    // StatusNotifierItem hosts report no geometry; the pointer is where the
    // click happened.
    const QRect geometry = m_tray.geometry();
    return geometry.isValid() && !geometry.isEmpty() ? geometry.center() : QCursor::pos();
}

} // namespace lullwatch
