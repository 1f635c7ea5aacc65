// The production service's station check (work position and employee number).
#include "launcherstation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::AnswerServer &server = Fuzz::launcherServer();
    Tovarin &w = Fuzz::mainWindow();
    server.m_body = Fuzz::bytesOf(data, size);
    w.m_bEmpWorkCheck = true;
    w.m_szUserPosition = QStringLiteral("P1");
    w.m_szUserLinePosition = QStringLiteral("L1");
    w.m_szUserWorkPosition = QStringLiteral("W1");
    w.m_szEmployeeNumber = QStringLiteral("E1");
    w.pageSwitchLimit();
    return 0;
}
