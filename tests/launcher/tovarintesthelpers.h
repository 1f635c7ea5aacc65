#pragma once

// Helpers shared by the main window's test programs.

#include "testfiles.h"
#include "toolbutton.h"
#include "tovarin.h"

#include <QStringList>
#include <QtTest>

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
