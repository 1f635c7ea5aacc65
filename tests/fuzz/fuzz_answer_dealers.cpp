// The device-ownership service's dealer list (after a good token answer).
#include "launcherstation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::AnswerServer &server = Fuzz::launcherServer();
    Tovarin &w = Fuzz::mainWindow();
    server.m_fixed.insert("CollectDeviceOwnership/toolLogin",
                          "{\"ack\":\"200\",\"data\":{\"loginToken\":\"tok\"}}");
    server.m_body = Fuzz::bytesOf(data, size);
    w.m_vecDealerInfo.clear();
    w.getDeviceOwnerList();
    return 0;
}
