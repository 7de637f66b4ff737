// Renders the application's icon at the icon theme's fixed sizes, at build
// time: render-icon ICON.svg OUTPUT-FOLDER SIZE... writes
// OUTPUT-FOLDER/<size>x<size>/apps/lullwatch.png for each size.
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 4) {
        std::fputs("Usage: render-icon ICON.svg OUTPUT-FOLDER SIZE...\n", stderr);
        return 2;
    }
    QSvgRenderer renderer(arguments.at(1));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "render-icon: cannot read %s\n", qPrintable(arguments.at(1)));
        return 1;
    }
    for (qsizetype i = 3; i < arguments.size(); ++i) {
        bool isNumber = false;
        const int size = arguments.at(i).toInt(&isNumber);
        if (!isNumber || size <= 0) {
            std::fprintf(stderr, "render-icon: not a size: %s\n", qPrintable(arguments.at(i)));
            return 2;
        }
        const QString folder
            = arguments.at(2) + u'/' + QString::number(size) + u'x' + QString::number(size) + QStringLiteral("/apps");
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        if (!QDir().mkpath(folder) || !image.save(folder + QStringLiteral("/lullwatch.png"), "PNG")) {
            std::fprintf(stderr, "render-icon: cannot write %s/lullwatch.png\n", qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
