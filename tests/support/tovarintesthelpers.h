#pragma once

// Helpers shared by the main window's test programs (header only: the programs that include it
// link the launcher's code).

#include "applicationfolder.h"
#include "devserver.h"
#include "testfiles.h"
#include "toolbutton.h"
#include "poptextwidget.h"
#include "tovarin.h"

#include <QDir>
#include <QLabel>
#include <QTemporaryDir>

#include <QStringList>
#include <QtTest>

// The launcher's tool keys in table order; stations give them the ids 101..116 in this order.
inline const QStringList &toolKeys() {
    static const QStringList keys = {
        "IPCProductCheck", "BPC",         "IPCamSuite",      "IPCTestMulti", "MACSetting",   "WifiModuleTest",
        "XVRProductCheck", "PPCFocus",    "PPCAirTight",     "CompareLabel", "PrintSNLabel", "BoxWeightCheck",
        "PPCPackage",      "WeightCheck", "WifiConnectTool", "JBM"};
    return keys;
}

inline QString toolIdOf(const QString &key) {
    return QString::number(101 + toolKeys().indexOf(key));
}

// CONFIGSET.ini of a station with all sixteen tools, each in "./<key>/" with program <key>.
inline QByteArray stationConfigSet(bool empWorkCheck = false,
                                   const QMap<QString, QString> &idOverrides = {}) {
    QByteArray text = "[MainConfig]\nbEmpWorkCheck=" + QByteArray(empWorkCheck ? "true" : "false") + "\n\n";
    for (const QString &key : toolKeys())
        text += "[" + key.toUtf8() + "]\nID=" + idOverrides.value(key, toolIdOf(key)).toUtf8() + "\nPath=./" +
                key.toUtf8() + "/\nExe=" + key.toUtf8() + "\n\n";
    return text;
}

// A temporary station folder, the application and working folder while it lives, with a
// serverConfig.ini naming the stand-in server.
class LauncherStation {
public:
    explicit LauncherStation(const QString &serverBase) : m_szPrevious(QDir::currentPath()) {
        m_bReady = m_dir.isValid() && DevServer::writeServerConfig(m_dir.path(), serverBase) &&
                   QDir::setCurrent(m_dir.path());
        ApplicationFolder::setPathForTesting(m_dir.path());
    }
    ~LauncherStation() {
        QDir::setCurrent(m_szPrevious);
        ApplicationFolder::setPathForTesting(QString());
    }
    bool isReady() const { return m_bReady; }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QString m_szPrevious;
    bool m_bReady = false;
};

// Writes a station file; a failed write fails the calling test.
inline void writeFile(const QString &path, const QByteArray &text) {
    QVERIFY2(TestFiles::write(path, text), qPrintable(path));
}

// Tool keys of the tool page's tiles, in page order.
inline QStringList keysOnPage(const Tovarin &w) {
    QStringList keys;
    for (toolButton *tile : w.m_vecToolButtons)
        keys << tile->m_btnInfo.m_szToolKey;
    return keys;
}

// The toast the operator sees now; empty while none shows.
inline QString toastText(const Tovarin &w) {
    return w.m_pPopTextWidget->isVisible() ? w.m_pPopTextWidget->findChild<QLabel *>("labText")->text()
                                           : QString();
}
