// The upgrade record answer after a tool installation.
#include "launcherstation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::AnswerServer &server = Fuzz::launcherServer();
    Tovarin &w = Fuzz::mainWindow();
    server.m_body = Fuzz::bytesOf(data, size);
    UPGRADEPACKAGEINFO_S info;
    info.m_szProToolId = QStringLiteral("101");
    info.m_szProToolUniqId = QStringLiteral("u101");
    info.m_szVersionUniqId = QStringLiteral("v2");
    info.m_szVersionNo = QStringLiteral("1.0.0.2");
    info.m_szCurrentVersion = QStringLiteral("1.0.0.1");
    w.recordProToolUpgrade(info);
    return 0;
}
