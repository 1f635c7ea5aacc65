// The tool-package generator as the installation tests use it: packages unpacked by a zip reader
// other than ours, and file versions read back by the launcher's own reader.
#include "platform.h"
#include "toolpackages.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Extracts zip into folder (none: lists only) with Python's zipfile and answers
// {entry name: mode} as stored.
QJsonObject extractWithPython(const QString &zip, const QString &folder) {
    const char *script =
        "import json, sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "if sys.argv[2]: z.extractall(sys.argv[2])\n"
        "print(json.dumps({i.filename: i.external_attr >> 16 & 0o7777 for i in z.infolist()}))\n";
    QProcess p;
    p.start(QStandardPaths::findExecutable(QStringLiteral("python3")),
            {QStringLiteral("-c"), QString::fromLatin1(script), zip, folder});
    if (!p.waitForFinished(30000) || p.exitCode() != 0)
        return QJsonObject{{QStringLiteral("error"), QString::fromUtf8(p.readAllStandardError())}};
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

QByteArray bytesOf(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class tst_ToolPackages : public QObject {
    Q_OBJECT

private slots:
    void zipPackages_data();
    void zipPackages();
    void exePackages_data();
    void exePackages();
    void badPackages_data();
    void badPackages();
};

void tst_ToolPackages::zipPackages_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<QStringList>("rawEntries");
    QTest::addColumn<QString>("readBack");

    QTest::newRow("versioned, Linux name") << "2.13.0.65536"
                                           << "BPC" << QStringList() << "2.13.0.65536";
    QTest::newRow("without version") << QString() << "BPC" << QStringList() << "0.0.0.0";
    QTest::newRow("Windows name, entry outside the folder")
        << "1.5.0.0"
        << "BPC.exe" << QStringList{"Other/stray.txt=stray"} << "1.5.0.0";
}

void tst_ToolPackages::zipPackages() {
    QFETCH(QString, version);
    QFETCH(QString, exeName);
    QFETCH(QStringList, rawEntries);
    QFETCH(QString, readBack);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString zip = dir.filePath("BPC.zip");
    const QMap<QString, QByteArray> files{{"config.ini", "[Demo]\r\nTool=BPC\r\n"},
                                          {"conf/README.txt", QByteArray("\0\xff binary", 9)}};
    QString error;
    QVERIFY2(ToolPackages::makeZip(zip, "BPC", exeName, version, files, rawEntries, &error),
             qPrintable(error));

    const QJsonObject modes = extractWithPython(zip, dir.filePath("out"));
    QJsonObject expected{{"BPC/", 0755},
                         {"BPC/" + exeName, 0755},
                         {"BPC/conf/", 0755},
                         {"BPC/conf/README.txt", 0644},
                         {"BPC/config.ini", 0644}};
    for (const QString &raw : rawEntries)
        expected.insert(raw.section('=', 0, 0), 0644);
    QCOMPARE(modes, expected);
    const QString exe = dir.filePath("out/BPC/" + exeName);
    QCOMPARE(Platform::fileVersionOf(exe), readBack);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QCOMPARE(bytesOf(dir.filePath("out/BPC/" + it.key())), it.value());

    // Same arguments, same bytes: packages can be compared and cached by content.
    const QString again = dir.filePath("again.zip");
    QVERIFY2(ToolPackages::makeZip(again, "BPC", exeName, version, files, rawEntries, &error),
             qPrintable(error));
    QCOMPARE(bytesOf(again), bytesOf(zip));
}

void tst_ToolPackages::exePackages_data() {
    QTest::addColumn<QString>("binary"); // empty: the demo tool
    QTest::addColumn<QStringList>("versionArgs");
    QTest::addColumn<QString>("readBack"); // empty: the generator must refuse

    const QStringList v{"--version", "3.4.5.6"};
    QTest::newRow("demo tool") << QString() << v << "3.4.5.6";
    QTest::newRow("demo tool, version removed") << QString() << QStringList{"--no-version"} << "0.0.0.0";
    QTest::newRow("ELF without a version note") << QStringLiteral(ELF_WITHOUT_VERSION) << v << QString();
    QTest::newRow("not a program") << QStringLiteral(TOVARIN_SOURCE_DIR "/devserver/README.md") << v
                                   << QString();
    QTest::newRow("PE with version resource")
        << QStringLiteral(PE_FIXTURE_DIR "/versioned.exe") << v << "3.4.5.6";
    QTest::newRow("PE, 16-bit parts only") << QStringLiteral(PE_FIXTURE_DIR "/versioned.exe")
                                           << QStringList{"--version", "1.65536.0.0"} << QString();
    QTest::newRow("PE without version resource")
        << QStringLiteral(PE_FIXTURE_DIR "/iconsonly.exe") << v << QString();
}

void tst_ToolPackages::exePackages() {
    QFETCH(QString, binary);
    QFETCH(QStringList, versionArgs);
    QFETCH(QString, readBack);

    if (!binary.isEmpty() && !QFile::exists(binary))
        QSKIP("fixture not built (mingw-w64 missing)");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath("tool");
    QStringList args{"exe", "-o", out};
    args << versionArgs;
    if (!binary.isEmpty())
        args << "--binary" << binary;
    QString error;
    const bool made = ToolPackages::run(args, &error);
    if (readBack.isEmpty()) {
        QVERIFY(!made);
        QVERIFY2(error.startsWith("toolpackage: "), qPrintable(error));
        QVERIFY(!QFile::exists(out));
        return;
    }
    QVERIFY2(made, qPrintable(error));
    QCOMPARE(Platform::fileVersionOf(out), readBack);
    QVERIFY(QFileInfo(out).isExecutable());
    // Only the version changes: the patched copy is the same size as its source.
    QCOMPARE(QFileInfo(out).size(),
             QFileInfo(binary.isEmpty() ? ToolPackages::demotoolPath() : binary).size());
}

void tst_ToolPackages::badPackages_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QJsonObject>("entries"); // empty with no error expected: an empty zip
    QTest::addColumn<bool>("refused");

    const QStringList v{"--version", "1.0.0.0"};
    QTest::newRow("empty") << (QStringList{"--empty"} + v) << QJsonObject() << false;
    QTest::newRow("only entries outside the folder")
        << (QStringList{"--empty", "--raw-entry", "../x=evil", "--raw-entry", "Other/=", "--file", "a=b"} + v)
        << QJsonObject{{"../x", 0644}, {"Other/", 0755}} << false;
    QTest::newRow("file escaping the folder")
        << (QStringList{"--folder", "T", "--file", "../x=evil"} + v) << QJsonObject() << true;
    QTest::newRow("no folder") << v << QJsonObject() << true;
    QTest::newRow("no version given") << QStringList{"--folder", "T"} << QJsonObject() << true;
}

void tst_ToolPackages::badPackages() {
    QFETCH(QStringList, args);
    QFETCH(QJsonObject, entries);
    QFETCH(bool, refused);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString zip = dir.filePath("bad.zip");
    QString error;
    const bool made = ToolPackages::run(QStringList{"zip", "-o", zip} + args, &error);
    QCOMPARE(made, !refused);
    if (refused) {
        QVERIFY2(error.startsWith("toolpackage: "), qPrintable(error));
        QVERIFY(!QFile::exists(zip));
        return;
    }
    QCOMPARE(extractWithPython(zip, QString()), entries);
}

QTEST_GUILESS_MAIN(tst_ToolPackages)
#include "tst_toolpackages.moc"
