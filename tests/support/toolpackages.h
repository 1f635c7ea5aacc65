#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Real tool packages for installation tests, made by devserver/toolpackage.py from the demo tool
// of this build (a real executable whose file version Platform::fileVersionOf reads back).
//
//     QString error;
//     QVERIFY2(ToolPackages::makeZip(server.filesDir() + "/BPC-1.5.0.0.zip", "BPC", "BPC", "1.5.0.0",
//                                    {{"config.ini", "[Demo]\n"}}, {}, &error), qPrintable(error));
//
// A zip holds "T/" and "T/<exeName>" (mode 0755), then the files (relative to T, mode 0644) in
// name order, then the raw entries ("name=text", named exactly as given: "../x=evil",
// "Other/a.txt=..."). Version "" writes a binary without a version record: it reads as
// "0.0.0.0", a tool that counts as never installed. The same arguments give the same bytes.
class ToolPackages {
public:
    static bool makeZip(const QString &out, const QString &folder, const QString &exeName,
                        const QString &version, const QMap<QString, QByteArray> &files = {},
                        const QStringList &rawEntries = {}, QString *error = nullptr);
    // The patched binary alone, as an exe package or an installed tool.
    static bool makeExe(const QString &out, const QString &version, QString *error = nullptr);
    // The generator with any arguments (e.g. {"zip", "-o", out, "--empty", "--version", "1.0.0.0"}
    // or another --binary); the demo tool is the binary unless arguments name one.
    static bool run(const QStringList &arguments, QString *error = nullptr);
    static QString demotoolPath();
};
