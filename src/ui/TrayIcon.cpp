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

constexpr int spacing = 3;
constexpr int largestTextPixels = 13;
constexpr int smallestTextPixels = 9;

QFont titleFont(int pixelSize)
{
    QFont font = QGuiApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Medium);
    return font;
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
    connect(&m_model, &AppModel::refreshed, this, &TrayIcon::update);

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
    m_image = render(m_label, m_foreground);
    m_tray.setIcon(QIcon(QPixmap::fromImage(m_image)));
    m_tray.setToolTip(QString::fromStdString(m_label.toolTip()));
}

QImage TrayIcon::render(const TrayLabel &label, const QColor &foreground)
{
    // The symbol fills the height less a pixel of halo on each side.
    const int symbolSide = height - 2;
    const QString title = QString::fromStdString(label.title);

    // The title shrinks, then is cut, so that the image stays within what
    // StatusNotifierItem hosts accept.
    const int roomForText = maximumWidth - 1 - symbolSide - spacing - 1;
    int pixelSize = largestTextPixels;
    while (pixelSize > smallestTextPixels && QFontMetrics(titleFont(pixelSize)).horizontalAdvance(title) > roomForText)
        --pixelSize;
    const QFont font = titleFont(pixelSize);
    const QFontMetrics metrics(font);
    const QString shown = metrics.elidedText(title, Qt::ElideRight, roomForText);
    const int textWidth = shown.isEmpty() ? 0 : metrics.horizontalAdvance(shown);

    const int width = std::min(maximumWidth, 1 + symbolSide + (textWidth > 0 ? spacing + textWidth : 0) + 1);
    QImage drawing(width, height, QImage::Format_ARGB32_Premultiplied);
    drawing.fill(Qt::transparent);
    QPainter painter(&drawing);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.drawImage(QPoint(1, 1), Icons::image(label.symbolName(), QSize(symbolSide, symbolSide), foreground));
    if (textWidth > 0) {
        painter.setFont(font);
        painter.setPen(foreground);
        painter.drawText(QRect(1 + symbolSide + spacing, 0, textWidth + 1, height), Qt::AlignLeft | Qt::AlignVCenter,
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
