// The upgrade record answer as the updater reads it after installing the launcher.
#include "fuzzsupport.h"
#include "applicationfolder.h"
#include "pellock.h"

#include <QDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::application();
    static Fuzz::AnswerServer *server = [] {
        auto *s = new Fuzz::AnswerServer;
        const QString launcher = Fuzz::scratchFolder() + QStringLiteral("/station");
        Fuzz::writeFile(launcher + QStringLiteral("/serverConfig.ini"), Fuzz::serverConfig(s->base()));
        Fuzz::writeFile(launcher + QStringLiteral("/UpgradePackage/UpgradeConfig.ini"),
                        "[Tovarin]\nversionNo=1.1.1.3\nloginToken=t\nproToolUniqId=u1\nversionUniqId=v1\n"
                        "beforeUpgradeVersion=1.1.1.2\n");
        QDir().mkpath(launcher + QStringLiteral("/Pellock"));
        ApplicationFolder::setPathForTesting(launcher + QStringLiteral("/Pellock"));
        QDir::setCurrent(launcher + QStringLiteral("/Pellock"));
        return s;
    }();
    static pellock *window = new pellock;
    server->m_body = Fuzz::bytesOf(data, size);
    window->recordProToolUpgrade();
    return 0;
}
