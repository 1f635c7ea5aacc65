#include "kovalogin.h"
#include "soakdriver.h"
#include "startup.h"

#include <QApplication>

// The launcher the reliability soak runs: the station's program with the driver added, which
// starts when TOVARIN_SOAK names a report file. The soak puts it in the station as "Tovarin",
// the name the updater's hand-off starts again.
int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    // The main window owns the driver.
    return runLauncher(
        app, [](KovaLogin *login) { SoakDriver::startFromEnvironment(login, login->mainWindow()); });
}
