// Saves the whole screen of the current display as a PNG: grabscreen <file.png>
// Used to look at the demo when it runs on a virtual display.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTextStream>

int main(int argc, char *argv[]) {
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QTextStream err(stderr);
    if (args.size() != 2) {
        err << "usage: grabscreen <file.png>\n";
        return 2;
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen) {
        err << "grabscreen: no screen\n";
        return 1;
    }
    if (!screen->grabWindow(0).save(args.at(1), "PNG")) {
        err << "grabscreen: cannot write " << args.at(1) << "\n";
        return 1;
    }
    return 0;
}
