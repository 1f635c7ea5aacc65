// The launcher's own update check answer.
#include "launcherstation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::AnswerServer &server = Fuzz::launcherServer();
    Tovarin &w = Fuzz::mainWindow();
    server.m_body = Fuzz::bytesOf(data, size);
    bool need = false;
    bool force = false;
    w.mainAppUpdataQuery(need, force);
    return 0;
}
