#pragma once

// Helpers shared by the main window's test programs.

#include "testfiles.h"
#include "toolbutton.h"
#include "tovarin.h"

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
