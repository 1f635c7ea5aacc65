// The launcher's station files as its main window reads them: the same bytes serve as
// CONFIGSET.ini, MAINSET.ini, serverConfig.ini and a product configuration file.
#include "launcherstation.h"

#include "common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Tovarin &w = Fuzz::mainWindow();
    const QString station = Fuzz::stationFolder();
    const QByteArray text = Fuzz::bytesOf(data, size);
    const QString conf = station + QStringLiteral("/IPC/conf/p.ini");
    for (const char *name : {"/CONFIGSET.ini", "/MAINSET.ini", "/serverConfig.ini"})
        Fuzz::writeFile(station + QLatin1String(name), text);
    Fuzz::writeFile(conf, text);

    w.m_listAbandonId.clear();
    w.iniConfigOpenRead();
    w.openMainConfig();
    w.readMainConfig();
    w.m_productInfo.m_szLocalPath = conf;
    w.readConfFile(conf);
    w.slotToCheckDealer();

    Common common;
    common.getDomainName();
    common.getManagerName();
    common.getPPCDomain();
    // The readers keep no state between station files.
    for (auto *list : {&w.m_vecProductionTools, &w.m_vecAuxiliaryTools, &w.m_vecNvrDvrTools})
        list->clear();
    return 0;
}
