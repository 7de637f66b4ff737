#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace lullwatch {

// One image of the tray icon: ARGB32 with each pixel's bytes in network
// order (alpha first), row after row, as StatusNotifierItem hosts take it.
struct TrayImage {
    int width = 0;
    int height = 0;
    QByteArray argb;

    friend bool operator==(const TrayImage &, const TrayImage &) = default;
};

// An icon by its name in the exported icon theme, and as images for hosts
// that draw pixels.
struct TrayIconLook {
    QString name;
    QList<TrayImage> images;

    friend bool operator==(const TrayIconLook &, const TrayIconLook &) = default;
};

// Everything a tray host shows of the application, as one value: the tray
// item compares it part by part and tells the host what changed.
struct TrayLook {
    bool needsAttention = false;
    TrayIconLook icon;
    // Shown instead of `icon` while the item needs attention.
    TrayIconLook attentionIcon;
    // The folder (an icon theme's base folder) that holds the icons' names.
    QString iconThemePath;
    // The state and the metric: "Working · 45k".
    QString toolTip;
    // The metric beside the icon ("45k"), empty for none, and the widest
    // text it is expected to reach, so that hosts keep its room steady.
    QString label;
    QString labelGuide;

    friend bool operator==(const TrayLook &, const TrayLook &) = default;
};

} // namespace lullwatch
