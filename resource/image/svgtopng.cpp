// Build-time helper: renders each SVG given on the command line to a PNG of the SVG's own
// pixel size in the output folder, so the bundle's pictures come out pixel-exact.
//   svgtopng <output folder> <file.svg>...
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: svgtopng <output folder> <file.svg>...\n");
        return 2;
    }
    const QDir outDir(args.at(1));
    if (!outDir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(args.at(1)));
        return 1;
    }
    for (int i = 2; i < args.size(); ++i) {
        QSvgRenderer renderer(args.at(i));
        if (!renderer.isValid()) {
            std::fprintf(stderr, "invalid SVG: %s\n", qPrintable(args.at(i)));
            return 1;
        }
        const QSize size = renderer.defaultSize();
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        const QString target =
            outDir.filePath(QFileInfo(args.at(i)).completeBaseName() + QStringLiteral(".png"));
        if (!image.save(target, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(target));
            return 1;
        }
    }
    return 0;
}
