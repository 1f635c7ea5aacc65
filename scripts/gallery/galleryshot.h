#pragma once

// Saves a widget as the operator would see it on the page background, for the screenshot
// galleries (scripts/screenshots.sh).
#include <QDir>
#include <QImage>
#include <QLayout>
#include <QPainter>
#include <QWidget>

#include <cstdio>

inline bool saveShot(QWidget *widget, const QString &path, const QColor &ground = QColor(0xF8, 0xF9, 0xFA),
                     int zoom = 1) {
    widget->ensurePolished();
    if (QLayout *layout = widget->layout())
        layout->activate();
    const QPixmap shot = widget->grab();
    QImage image(shot.size(), QImage::Format_ARGB32);
    image.fill(ground);
    QPainter painter(&image);
    painter.drawPixmap(0, 0, shot);
    painter.end();
    // Small widgets are easier to judge enlarged, pixel for pixel.
    if (zoom > 1)
        image = image.scaled(image.size() * zoom, Qt::KeepAspectRatio, Qt::FastTransformation);
    if (image.save(path))
        return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

// The folder the pictures go to: the first argument, else "screenshots"; false when it cannot
// be made.
inline bool openGalleryFolder(QDir &dir, int argc, char *argv[]) {
    dir.setPath(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots"));
    if (dir.mkpath(QStringLiteral(".")))
        return true;
    std::fprintf(stderr, "cannot create %s\n", qPrintable(dir.path()));
    return false;
}
