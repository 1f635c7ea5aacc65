#include "imageresources.h"
#include "pellock.h"

#include <QApplication>

// The launcher passes one empty argument; nothing on the command line is read.
int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    initImageResources();
    pellock window;
    window.show();
    return app.exec();
}
