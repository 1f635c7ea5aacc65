// A tool's zip package as the main window installs it: downloaded from the server, its layout
// checked against the tool's folder, unpacked with the keep-list, the upgrade recorded.
#include "launcherstation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Tovarin &w = Fuzz::mainWindow();
    Fuzz::AnswerServer &server = Fuzz::launcherServer();
    server.m_body = Fuzz::bytesOf(data, size);
    const QString tool = Fuzz::stationFolder() + QStringLiteral("/IPC");
    QDir(tool).removeRecursively();
    Fuzz::writeFile(tool + QStringLiteral("/config.ini"), "[a]\nb=1\n");
    Fuzz::writeFile(tool + QStringLiteral("/data/keep.bin"), "keep");

    UPGRADEPACKAGEINFO_S info;
    info.m_szProToolId = QStringLiteral("101");
    info.m_szProToolUniqId = QStringLiteral("u101");
    info.m_szVersionUniqId = QStringLiteral("v2");
    info.m_szVersionNo = QStringLiteral("1.0.0.2");
    info.m_szUpgradePackageUrl = server.base() + QStringLiteral("IPC.zip");
    info.m_szUpgradePackageType = QStringLiteral("zip");
    info.m_szExeName = QStringLiteral("IPC");
    info.m_szToolPath = QStringLiteral("./IPC/");
    info.m_listUnupdate = QStringList{QStringLiteral("config.ini"), QStringLiteral("data")};
    info.m_bFirstInstall = true;
    info.m_bNeedUpgrade = true;
    w.m_vecCheckUpgradeInfo.clear();
    w.toolAppDownloadUpgrade(info);
    return 0;
}
