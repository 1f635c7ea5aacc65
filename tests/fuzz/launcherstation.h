#pragma once

// A station folder with the launcher's files, one main window for the whole run and the
// answering server its services point at.

#include "applicationfolder.h"
#include "fuzzsupport.h"
#include "globals.h"
#include "tovarin.h"

#include <QDir>

namespace Fuzz {

inline QString stationFolder() {
    return scratchFolder() + QStringLiteral("/station");
}

inline AnswerServer &launcherServer() {
    static AnswerServer *server = [] {
        application();
        auto *s = new AnswerServer;
        const QString station = stationFolder();
        QDir().mkpath(station);
        ApplicationFolder::setPathForTesting(station);
        QDir::setCurrent(station);
        writeFile(station + QStringLiteral("/serverConfig.ini"), serverConfig(s->base()));
        writeFile(station + QStringLiteral("/CONFIGSET.ini"),
                  "[MainConfig]\nbEmpWorkCheck=true\n[Tovarin]\nID=1\nExe=Tovarin\n"
                  "[IPCProductCheck]\nID=101\nPath=./IPC/\nExe=IPC\n[BPC]\nID=102\nPath=./BPC/\nExe=BPC\n");
        writeFile(station + QStringLiteral("/MAINSET.ini"),
                  "[UserInfo]\nUserLinePosition=L1\nUserPosition=P1\nUserWorkPosition=W1\nEmployeeNumber=E1\n"
                  "[SelectedTools]\n1=101\n");
        m_szLoginToken = QStringLiteral("token");
        return s;
    }();
    return *server;
}

// The main window, made once after the station is in place.
inline Tovarin &mainWindow() {
    launcherServer();
    static Tovarin *window = [] {
        auto *w = new Tovarin;
        w->openMainConfig();
        w->m_szAccount = QStringLiteral("operator");
        w->m_szPassword = QStringLiteral("secret");
        return w;
    }();
    return *window;
}

} // namespace Fuzz
