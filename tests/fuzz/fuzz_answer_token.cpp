// The device-ownership service's login answer (the token for the dealer list).
#include "launcherstation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::AnswerServer &server = Fuzz::launcherServer();
    Tovarin &w = Fuzz::mainWindow();
    server.m_body = Fuzz::bytesOf(data, size);
    QString token;
    w.postGetToken(token);
    return 0;
}
