// The launcher's own zip package as the updater installs it: its layout (one top folder with
// the launcher) checked, its content unpacked over the launcher's folder.
#include "fuzzsupport.h"
#include "applicationfolder.h"
#include "pellock.h"

#include <QDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::application();
    static Fuzz::AnswerServer *server = [] {
        auto *s = new Fuzz::AnswerServer;
        s->m_body = "{\"ack\":\"200\",\"data\":{}}";
        pellock::setRestartDelayForTesting(3600 * 1000);
        pellock::setLauncherExitWaitForTesting(0);
        return s;
    }();
    const QString launcher = Fuzz::scratchFolder() + QStringLiteral("/station");
    QDir(launcher).removeRecursively();
    Fuzz::writeFile(launcher + QStringLiteral("/serverConfig.ini"), Fuzz::serverConfig(server->base()));
    Fuzz::writeFile(launcher + QStringLiteral("/Tovarin"), "old launcher");
    Fuzz::writeFile(launcher + QStringLiteral("/UpgradePackage/UpgradeConfig.ini"),
                    "[Tovarin]\nversionNo=1.1.1.3\nUpgradePackageType=zip\nloginToken=t\n");
    Fuzz::writeFile(launcher + QStringLiteral("/UpgradePackage/MainApp/Tovarin.zip"),
                    Fuzz::bytesOf(data, size));
    QDir().mkpath(launcher + QStringLiteral("/Pellock"));
    ApplicationFolder::setPathForTesting(launcher + QStringLiteral("/Pellock"));
    QDir::setCurrent(launcher + QStringLiteral("/Pellock"));

    pellock window;
    QMetaObject::invokeMethod(&window, "slotInstall", Qt::DirectConnection);
    return 0;
}
