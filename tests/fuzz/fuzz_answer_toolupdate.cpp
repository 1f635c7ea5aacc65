// The tool update check's answer for one tile.
#include "launcherstation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::AnswerServer &server = Fuzz::launcherServer();
    Tovarin &w = Fuzz::mainWindow();
    server.m_body = Fuzz::bytesOf(data, size);
    toolButtonInfo info;
    info.m_szToolId = QStringLiteral("101");
    info.m_szToolKey = QStringLiteral("IPCProductCheck");
    info.m_szToolName = QStringLiteral("IPC");
    info.m_szToolPath = QStringLiteral("./IPC/");
    info.m_szExeName = QStringLiteral("IPC");
    w.m_vecToolPackageInfo.clear();
    w.toolAppUpdataQuery(info);
    return 0;
}
