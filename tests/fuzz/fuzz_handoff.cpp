// The hand-off file "UpgradePackage/UpgradeConfig.ini" as the updater reads it: the pop-up's
// version and notes, the package type, the installation's result keys and the upgrade record.
#include "fuzzsupport.h"
#include "applicationfolder.h"
#include "pellock.h"

#include <QDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::application();
    static Fuzz::AnswerServer *server = [] {
        auto *s = new Fuzz::AnswerServer;
        s->m_body = "{\"ack\":\"200\",\"data\":{}}";
        const QString launcher = Fuzz::scratchFolder() + QStringLiteral("/station");
        Fuzz::writeFile(launcher + QStringLiteral("/serverConfig.ini"), Fuzz::serverConfig(s->base()));
        QDir().mkpath(launcher + QStringLiteral("/Pellock"));
        ApplicationFolder::setPathForTesting(launcher + QStringLiteral("/Pellock"));
        QDir::setCurrent(launcher + QStringLiteral("/Pellock"));
        pellock::setRestartDelayForTesting(3600 * 1000);
        pellock::setLauncherExitWaitForTesting(0);
        return s;
    }();
    Q_UNUSED(server)
    const QString launcher = Fuzz::scratchFolder() + QStringLiteral("/station");
    Fuzz::writeFile(launcher + QStringLiteral("/UpgradePackage/UpgradeConfig.ini"),
                    Fuzz::bytesOf(data, size));

    pellock window;
    QMetaObject::invokeMethod(&window, "slotInstall", Qt::DirectConnection);
    window.recordProToolUpgrade();
    return 0;
}
