// Tool updates against the stand-in server with real tool packages: the check, installations of
// zip and exe packages with keep-lists, the upgrade record, and the races a waiting check or
// installation lets in (requests held at the server).
#include "applicationfolder.h"
#include "devserver.h"
#include "globals.h"
#include "packagesigner.h"
#include "platform.h"
#include "poptextwidget.h"
#include "toolpackages.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"
#include "ui_tovarin.h"

#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QJsonArray>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

const QString kQuery = QStringLiteral("ToolClientConfigManageApi/getProToolLastUpgradePackage");
const QString kRecord = QStringLiteral("ToolClientConfigManageApi/recordProToolUpgrade");

const QStringList &kToolKeys = toolKeys();

QString packageName(const QString &key, const QString &version, const QString &kind) {
    return "t-" + key + "-" + version + "." + kind;
}

// "name=text" pairs as a map.
QMap<QString, QByteArray> filesOf(const QStringList &pairs) {
    QMap<QString, QByteArray> files;
    for (const QString &pair : pairs)
        files.insert(pair.section('=', 0, 0), pair.section('=', 1).toUtf8());
    return files;
}

toolButton *tileOf(Tovarin &w, const QString &key) {
    for (toolButton *tile : w.m_vecToolButtons) {
        if (tile->m_btnInfo.m_szToolKey == key)
            return tile;
    }
    return nullptr;
}

// Runs action once from the event loop, as soon as the server has count requests of path.
void onRequest(const DevServer &server, const QString &path, int count, std::function<void()> action) {
    auto *timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, &server, path, count, action] {
        if (server.requests(path).size() < count)
            return;
        timer->stop();
        timer->deleteLater();
        action();
    });
    timer->start();
}

} // namespace

class tst_TovarinToolUpdate : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void install_data();
    void install();
    void signedPackages_data();
    void signedPackages();
    void checkQueries();
    void noEndlessReinstall_data();
    void noEndlessReinstall();
    void countAndAllUpgrade();
    void checkDuringCheck();
    void pressDuringCheck();
    void pressesDuringInstall();
    void toolStartedDuringDownload();
    void closeWaitsForInstallation();
    void keepListRepackLetsTheWindowRun();

private:
    QString stationFile(const QString &name) const { return m_station->path() + '/' + name; }
    // The tool's folder with an executable of that version ("" none, "-" no folder at all).
    void installTool(const QString &key, const QString &version, const QStringList &files = {});
    // Offers a package of the tool at the server; kind "zip" or "exe"; returns its file name.
    QString offer(const QString &key, const QString &version, bool force, const QString &kind = "zip",
                  const QStringList &files = {}, const QStringList &rawEntries = {});
    void publish();
    std::unique_ptr<Tovarin> window(const QStringList &keys, const QByteArray &extraConfig = QByteArray());
    QString read(const QString &name) const {
        QFile file(stationFile(name));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("<none>");
    }
    int downloads(const QString &file) const { return m_server.requests("files/" + file).size(); }
    QString logText() const {
        QString all;
        for (const QFileInfo &log : QDir(stationFile("log")).entryInfoList(QDir::Files)) {
            QFile file(log.filePath());
            if (file.open(QIODevice::ReadOnly))
                all += QString::fromUtf8(file.readAll());
        }
        return all;
    }

    DevServer m_server;
    QJsonArray m_tools;
    std::unique_ptr<LauncherStation> m_station;
    QList<QProcess *> m_processes;
};

void tst_TovarinToolUpdate::initTestCase() {
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
    Common::setDownloadLimitForTesting(20000);
}

void tst_TovarinToolUpdate::init() {
    QVERIFY(m_server.reset());
    m_tools = QJsonArray();
    m_station.reset(new LauncherStation(m_server.httpBase()));
    QVERIFY(m_station->isReady());
    m_szLoginToken.clear();
    totalUpdataNum = 0;
}

void tst_TovarinToolUpdate::cleanup() {
    for (QProcess *process : qAsConst(m_processes)) {
        process->kill();
        process->waitForFinished(5000);
        delete process;
    }
    m_processes.clear();
    m_server.release();
    m_station.reset();
}

void tst_TovarinToolUpdate::installTool(const QString &key, const QString &version,
                                        const QStringList &files) {
    if (version == "-")
        return;
    QVERIFY(QDir().mkpath(stationFile(key)));
    if (!version.isEmpty()) {
        QString error;
        QVERIFY2(ToolPackages::makeExe(stationFile(key + "/" + key), version, &error), qPrintable(error));
    }
    const QMap<QString, QByteArray> contents = filesOf(files);
    for (auto it = contents.cbegin(); it != contents.cend(); ++it) {
        QVERIFY(QDir().mkpath(QFileInfo(stationFile(key + "/" + it.key())).path()));
        writeFile(stationFile(key + "/" + it.key()), it.value());
    }
}

QString tst_TovarinToolUpdate::offer(const QString &key, const QString &version, bool force,
                                     const QString &kind, const QStringList &files,
                                     const QStringList &rawEntries) {
    const QString name = packageName(key, version, kind);
    const QString path = m_server.filesDir() + "/" + name;
    QString error;
    const bool made = kind == "zip"
                          ? ToolPackages::makeZip(path, key, key, version, filesOf(files), rawEntries, &error)
                          : ToolPackages::makeExe(path, version, &error);
    if (!made)
        qWarning() << error;
    m_tools.append(
        QJsonObject{{"proToolId", toolIdOf(key)},
                    {"key", key},
                    {"proToolUniqId", "U-" + toolIdOf(key)},
                    {"package", QJsonObject{{"versionNo", version},
                                            {"versionUniqId", "V-" + toolIdOf(key) + "-" + version},
                                            {"forceUpgrade", force ? 1 : 0},
                                            {"versionRemark", "notes"},
                                            {"file", name}}}});
    return name;
}

void tst_TovarinToolUpdate::publish() {
    QJsonObject data = DevServer::demoData();
    data["tools"] = m_tools;
    data["checkConfigToken"] = false;
    QVERIFY(m_server.setData(data));
}

std::unique_ptr<Tovarin> tst_TovarinToolUpdate::window(const QStringList &keys,
                                                       const QByteArray &extraConfig) {
    writeFile(stationFile("CONFIGSET.ini"), stationConfigSet() + extraConfig);
    QByteArray selection = "[SelectedTools]\n";
    for (int i = 0; i < keys.size(); ++i)
        selection += "tool" + QByteArray::number(i + 1) + "=" + toolIdOf(keys.at(i)).toUtf8() + "\n";
    writeFile(stationFile("MAINSET.ini"), selection);
    std::unique_ptr<Tovarin> w(new Tovarin);
    w->openMainConfig();
    w->readMainConfig();
    w->slotSetProductionTools();
    return w;
}

// One tool (IPCamSuite) from the check to the installed files and the record.
void tst_TovarinToolUpdate::install_data() {
    QTest::addColumn<QString>("installed");   // version of the installed tool, "" none, "-" no folder
    QTest::addColumn<QStringList>("local");   // files of the installed tool
    QTest::addColumn<QByteArray>("keepList"); // the CONFIGSET.ini keep-list group
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("force");
    QTest::addColumn<QStringList>("packageFiles");
    QTest::addColumn<QStringList>("rawEntries");
    QTest::addColumn<int>("state"); // the tile at the end
    QTest::addColumn<QString>("toast");
    QTest::addColumn<QString>("before");       // "beforeUpgradeVersion" recorded; empty: no record
    QTest::addColumn<QStringList>("expected"); // files afterwards, "name=<none>" for absent

    const QStringList noFiles;
    QTest::newRow("forced zip, no keep-list")
        << "1.0.0.0" << QStringList{"config.ini=old"} << QByteArray() << "zip" << true
        << QStringList{"config.ini=new", "doc/a.txt=a"} << noFiles << int(UPGRADE_STATUS_NEW) << ""
        << "1.0.0.0" << QStringList{"config.ini=new", "doc/a.txt=a"};
    QTest::newRow("first install, folder missing")
        << "-" << noFiles << QByteArray() << "zip" << false << QStringList{"config.ini=new"} << noFiles
        << int(UPGRADE_STATUS_NEW) << ""
        << "0.0.0.0" << QStringList{"config.ini=new"};
    QTest::newRow("optional zip through the tile")
        << "1.0.0.0" << noFiles << QByteArray() << "zip" << false << QStringList{"b.txt=b"} << noFiles
        << int(UPGRADE_STATUS_NEW) << ""
        << "1.0.0.0" << QStringList{"b.txt=b"};
    QTest::newRow("keep a file, a folder, a name not installed yet")
        << "1.0.0.0" << QStringList{"config.ini=old", "data/a=old", "data/sub/b=old"}
        << QByteArray("[IPCamSuiteUnupdate]\nf1=config.ini\nf2=data\nf3=new.txt\n") << "zip" << true
        << QStringList{"config.ini=new", "data/a=new", "data/c=new", "data/sub/b=new", "new.txt=fresh"}
        << noFiles << int(UPGRADE_STATUS_NEW) << ""
        << "1.0.0.0"
        << QStringList{"config.ini=old", "data/a=old", "data/c=new", "data/sub/b=new", "new.txt=fresh"};
    QTest::newRow("unsafe keep names ignored, backslash accepted")
        << "1.0.0.0" << QStringList{"sub/k.txt=old", "config.ini=old"}
        << QByteArray("[IPCamSuiteUnupdate]\nf1=../BPC/x\nf2=/etc/passwd\nf3=..\nf4=\nf5=sub\\\\k.txt\n")
        << "zip" << true << QStringList{"sub/k.txt=new", "config.ini=new"} << noFiles
        << int(UPGRADE_STATUS_NEW) << ""
        << "1.0.0.0" << QStringList{"sub/k.txt=old", "config.ini=new"};
    QTest::newRow("entry outside the tool")
        << "1.0.0.0" << noFiles << QByteArray() << "zip" << true << noFiles
        << QStringList{"CONFIGSET.ini=evil"} << int(UPGRADE_STATUS_UPGRADE_FAILED) << "子程序更新失败"
        << "" << QStringList{"../CONFIGSET.ini=<kept>"};
    // The package is rooted in the tool's own folder: nothing else of the station can be named.
    QTest::newRow("entry climbing out through the tool's folder")
        << "1.0.0.0" << noFiles << QByteArray() << "zip" << true << QStringList{"config.ini=new"}
        << QStringList{"IPCamSuite/../serverConfig.ini=evil"} << int(UPGRADE_STATUS_UPGRADE_FAILED)
        << "子程序更新失败"
        << "" << QStringList{"../serverConfig.ini=<kept>", "config.ini=<none>"};
    QTest::newRow("dot-files survive the keep-list rebuild")
        << "1.0.0.0" << QStringList{"config.ini=old"} << QByteArray("[IPCamSuiteUnupdate]\nf1=config.ini\n")
        << "zip" << true << QStringList{"config.ini=new", ".env=dot", ".cfg/x=y"} << noFiles
        << int(UPGRADE_STATUS_NEW) << ""
        << "1.0.0.0" << QStringList{"config.ini=old", ".env=dot", ".cfg/x=y"};
    QTest::newRow("hidden leftover in staging")
        << "1.0.0.0" << QStringList{"../UpgradePackage/ToolApp/IPCamSuite/.leftover=x"} << QByteArray()
        << "zip" << true << QStringList{"config.ini=new"} << noFiles << int(UPGRADE_STATUS_NEW) << ""
        << "1.0.0.0" << QStringList{"config.ini=new"};
    QTest::newRow("wrong top folder")
        << "1.0.0.0" << noFiles << QByteArray() << "zip" << true << noFiles
        << QStringList{"--empty", "Other/a=x"} << int(UPGRADE_STATUS_UPGRADE_FAILED) << "子程序更新失败"
        << "" << QStringList{"a=<none>"};
    QTest::newRow("empty package") << "1.0.0.0" << noFiles << QByteArray() << "zip" << true << noFiles
                                   << QStringList{"--empty"} << int(UPGRADE_STATUS_UPGRADE_FAILED)
                                   << "子程序更新失败"
                                   << "" << QStringList();
    QTest::newRow("forced exe") << "1.0.0.0" << noFiles << QByteArray() << "exe" << true << noFiles << noFiles
                                << int(UPGRADE_STATUS_NEW) << ""
                                << "1.0.0.0" << QStringList();
    QTest::newRow("exe for a tool not installed")
        << "-" << noFiles << QByteArray() << "exe" << false << noFiles << noFiles
        << int(UPGRADE_STATUS_UPGRADE_FAILED) << "子程序exe更新失败"
        << "" << QStringList();
    QTest::newRow("download fails") << "1.0.0.0" << noFiles << QByteArray() << "missing" << true << noFiles
                                    << noFiles << int(UPGRADE_STATUS_DOWNLOAD_FAILED) << ""
                                    << "" << QStringList();
    // A package server whose certificate the station does not trust: the log says so.
    QTest::newRow("download refused by TLS") << "1.0.0.0" << noFiles << QByteArray() << "tls" << true << noFiles
                                             << noFiles << int(UPGRADE_STATUS_DOWNLOAD_FAILED) << ""
                                             << "" << QStringList();
}

void tst_TovarinToolUpdate::install() {
    QFETCH(QString, installed);
    QFETCH(QStringList, local);
    QFETCH(QByteArray, keepList);
    QFETCH(QString, kind);
    QFETCH(bool, force);
    QFETCH(QStringList, packageFiles);
    QFETCH(QStringList, rawEntries);
    QFETCH(int, state);
    QFETCH(QString, toast);
    QFETCH(QString, before);
    QFETCH(QStringList, expected);

    installTool("IPCamSuite", installed, local);
    const bool empty = rawEntries.removeAll("--empty") > 0;
    QString package;
    if (empty) {
        package = packageName("IPCamSuite", "2.0.0.0", "zip");
        QStringList args{"zip", "-o", m_server.filesDir() + "/" + package, "--empty", "--version", "2.0.0.0"};
        for (const QString &entry : rawEntries)
            args << "--raw-entry" << entry;
        offer("IPCamSuite", "2.0.0.0", force, "zip");
        QString error;
        QVERIFY2(ToolPackages::run(args, &error), qPrintable(error));
    } else {
        package = offer("IPCamSuite", "2.0.0.0", force, kind == "missing" || kind == "tls" ? "zip" : kind,
                        packageFiles, rawEntries);
        if (kind == "missing")
            QVERIFY(QFile::remove(m_server.filesDir() + "/" + package));
        if (kind == "tls") {
            QJsonObject tool = m_tools.last().toObject();
            QJsonObject offered = tool.value("package").toObject();
            offered.insert("url", m_server.fileUrl(package, true));
            tool.insert("package", offered);
            m_tools.replace(m_tools.size() - 1, tool);
        }
    }
    publish();

    auto w = window({"IPCamSuite"}, keepList);
    QMap<QString, QString> kept; // "<kept>": as before the installation
    for (const QString &pair : expected) {
        if (pair.section('=', 1) == "<kept>")
            kept.insert(pair.section('=', 0, 0), read("IPCamSuite/" + pair.section('=', 0, 0)));
    }
    w->slotToolAppUpdataLoopRequest();
    toolButton *tile = tileOf(*w, "IPCamSuite");
    if (tile->m_btnInfo.m_eUpgradeStatus == UPGRADE_STATUS_UPGRADABLE) {
        QVERIFY(w->ui->btnAllUpgrade->isVisibleTo(w.get()));
        tile->findChild<QPushButton *>("btnUpdate")->click();
    }

    QCOMPARE(int(tile->m_btnInfo.m_eUpgradeStatus), state);
    QCOMPARE(tile->progress(), -1);
    QCOMPARE(toastText(*w), toast);
    const QJsonArray records = m_server.requests(kRecord);
    QCOMPARE(records.size(), before.isEmpty() ? 0 : 1);
    if (!before.isEmpty()) {
        const QJsonObject record = records.at(0).toObject();
        QVERIFY(record.value("signOk").toBool());
        QCOMPARE(DevServer::fieldValue(record, "beforeUpgradeVersion"), before);
        QCOMPARE(DevServer::fieldValue(record, "afterUpgradeVersion"), QString("2.0.0.0"));
        QCOMPARE(DevServer::fieldValue(record, "proToolUniqId"), QString("U-103"));
        QCOMPARE(DevServer::fieldValue(record, "versionUniqId"), QString("V-103-2.0.0.0"));
        QCOMPARE(DevServer::fieldValue(record, "testMachineName"), QHostInfo::localHostName());
        QVERIFY(qAbs(DevServer::fieldValue(record, "upgradeTime").toLongLong() -
                     QDateTime::currentSecsSinceEpoch()) < 60);
        // The installed tool carries the package's version and can be run.
        const QString exe = stationFile("IPCamSuite/IPCamSuite");
        QCOMPARE(Platform::fileVersionOf(exe), QString("2.0.0.0"));
        QVERIFY(QFileInfo(exe).isExecutable());
        const auto end = qScopeGuard([] { Platform::forceEndImage("IPCamSuite"); });
        w->slotProcessOpen(tile->m_btnInfo);
        QTRY_VERIFY_WITH_TIMEOUT(Platform::imageRunning(Platform::listRunningImages(), "IPCamSuite"), 5000);
    } else if (installed != "-") {
        QCOMPARE(Platform::fileVersionOf(stationFile("IPCamSuite/IPCamSuite")), installed);
    }
    for (const QString &pair : expected) {
        const QString name = pair.section('=', 0, 0), text = pair.section('=', 1);
        if (text == "<kept>")
            QCOMPARE(read("IPCamSuite/" + name), kept.value(name));
        else
            QCOMPARE(read("IPCamSuite/" + name), text);
    }
    // Nothing of this installation is left in staging, whatever the outcome but a failed download.
    if (state == UPGRADE_STATUS_NEW)
        QVERIFY(QDir(stationFile("UpgradePackage/ToolApp")).isEmpty());
    if (keepList.contains("passwd"))
        QVERIFY(logText().contains("IPCamSuite工具:不覆盖的文件名不安全，已忽略:/etc/passwd"));
    if (state == UPGRADE_STATUS_DOWNLOAD_FAILED) {
        QVERIFY(logText().contains("IPCamSuite工具:下载升级包失败"));
        QVERIFY2(logText().contains(kind == "tls" ? "IPCamSuite工具:SSL handshake failed (TLS: "
                                                  : "IPCamSuite工具:Error transferring"),
                 qPrintable(logText()));
    }
}

// A station with "PackageKeys" installs only what a key of its own signed; without it, as before.
void tst_TovarinToolUpdate::signedPackages_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("stationKeys"); // "factory", "old,factory", "" none
    QTest::addColumn<QString>("signature");   // factory, other, changed (package altered after), missing
    QTest::addColumn<bool>("installs");
    QTest::newRow("zip signed well") << "zip" << "factory" << "factory" << true;
    QTest::newRow("zip signed with another key") << "zip" << "factory" << "other" << false;
    QTest::newRow("zip without signature (404)") << "zip" << "factory" << "missing" << false;
    QTest::newRow("exe, keys rotated") << "exe" << "old,factory" << "factory" << true;
    QTest::newRow("exe changed after signing") << "exe" << "factory" << "changed" << false;
    QTest::newRow("station without keys") << "zip" << "" << "missing" << true;
}

void tst_TovarinToolUpdate::signedPackages() {
    QFETCH(QString, kind);
    QFETCH(QString, stationKeys);
    QFETCH(QString, signature);
    QFETCH(bool, installs);
    const PackageSigner factory, other;

    installTool("IPCamSuite", "1.0.0.0", {"config.ini=old"});
    const QString name = offer("IPCamSuite", "2.0.0.0", true, kind, {"config.ini=new"});
    const QString served = m_server.filesDir() + "/" + name;
    QFile::remove(served + ".sig"); // an earlier row's
    if (signature != "missing")
        QVERIFY((signature == "other" ? other : factory).signFile(served));
    if (signature == "changed") {
        QFile package(served);
        QVERIFY(package.open(QIODevice::Append) && package.write("x") == 1);
    }
    publish();
    QByteArray keys;
    for (const QString &key : stationKeys.split(',', Qt::SkipEmptyParts))
        keys += (keys.isEmpty() ? "" : ",") + (key == "factory" ? factory : other).keyLine().toLatin1();
    auto w = window({"IPCamSuite"}, keys.isEmpty() ? QByteArray() : "[Tovarin]\nPackageKeys=" + keys + "\n");

    w->slotToolAppUpdataLoopRequest();

    toolButton *tile = tileOf(*w, "IPCamSuite");
    QCOMPARE(int(tile->m_btnInfo.m_eUpgradeStatus),
             int(installs ? UPGRADE_STATUS_NEW : UPGRADE_STATUS_UPGRADE_FAILED));
    QCOMPARE(toastText(*w), installs ? QString() : QString("升级包签名验证失败，未安装"));
    QCOMPARE(m_server.requests(kRecord).size(), installs ? 1 : 0);
    QCOMPARE(Platform::fileVersionOf(stationFile("IPCamSuite/IPCamSuite")),
             QString(installs ? "2.0.0.0" : "1.0.0.0"));
    QCOMPARE(read("IPCamSuite/config.ini"), QString(installs && kind == "zip" ? "new" : "old"));
    // A refused package is not left where a later step could pick it up.
    QVERIFY(QDir(stationFile("UpgradePackage/ToolApp")).isEmpty());
    QCOMPARE(m_server.requests("files/" + name + ".sig").size(), stationKeys.isEmpty() ? 0 : 1);
    QCOMPARE(logText().contains("IPCamSuite工具:升级包未经签名验证"), stationKeys.isEmpty());
    QCOMPARE(logText().contains("IPCamSuite工具:升级包签名验证失败，未安装"), !installs);
}

void tst_TovarinToolUpdate::checkQueries() {
    installTool("IPCProductCheck", "1.0.0.0");
    installTool("PPCFocus", "");
    installTool("IPCamSuite", "3.1.0.7");
    for (const QString &id : QStringList{"101", "108", "103"})
        m_tools.append(QJsonObject{{"proToolId", id}, {"proToolUniqId", "U-" + id}});
    publish();
    QVERIFY(m_server.setBehaviour(kQuery,
                                  QJsonObject{{"ack", "500"}, {"when", QJsonObject{{"proToolId", "103"}}}}));
    m_szLoginToken = "TOKEN";

    auto w = window({"IPCProductCheck", "PPCFocus", "IPCamSuite"});
    w->m_szControlProToolId = "100";
    w->ui->btnAllUpgrade->show();
    w->slotToolAppUpdataLoopRequest();

    const QJsonArray queries = m_server.requests(kQuery);
    QCOMPARE(queries.size(), 3);
    const QStringList ids{"101", "108", "103"}, versions{"1.0.0.0", "0.0.0.0", "3.1.0.7"};
    for (int i = 0; i < 3; ++i) {
        const QJsonObject query = queries.at(i).toObject();
        QVERIFY(query.value("signOk").toBool());
        QCOMPARE(DevServer::fieldValue(query, "proToolId"), ids.at(i));
        QCOMPARE(DevServer::fieldValue(query, "version"), versions.at(i));
        QCOMPARE(DevServer::fieldValue(query, "loginToken"), QString("TOKEN"));
        QCOMPARE(DevServer::fieldValue(query, "controlProToolId"), QString("100"));
    }
    // Up to date: kept; refused, and not offered for a tool without a version: shown, no record.
    QCOMPARE(w->m_vecToolPackageInfo.size(), 1);
    QVERIFY(!w->m_vecToolPackageInfo.at(0).m_bNeedUpgrade);
    QCOMPARE(toastText(*w), QString("工具请求升级失败500"));
    QCOMPARE(totalUpdataNum, 0);
    QVERIFY(!w->ui->btnAllUpgrade->isVisibleTo(w.get()));

    QVERIFY(m_server.clearBehaviour(kQuery));
    w->slotToolAppUpdataLoopRequest();
    QCOMPARE(w->m_vecToolPackageInfo.size(), 2);
    QCOMPARE(toastText(*w), tileOf(*w, "PPCFocus")->m_btnInfo.m_szToolName + ":工具未开放下载");
    QCOMPARE(int(tileOf(*w, "PPCFocus")->m_btnInfo.m_eUpgradeStatus), int(UPGRADE_STATUS_NORMAL));
}

// A package is installed at most once automatically, however the next check answers.
void tst_TovarinToolUpdate::noEndlessReinstall_data() {
    QTest::addColumn<QString>("version"); // the package's file version ("" none: a first install for ever)
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("state"); // after the second check

    QTest::newRow("tool without a version") << ""
                                            << "" << int(UPGRADE_STATUS_NEW);
    QTest::newRow("failed download") << "2.0.0.0"
                                     << "download" << int(UPGRADE_STATUS_DOWNLOAD_FAILED);
    QTest::newRow("record refused") << "2.0.0.0"
                                    << "record" << int(UPGRADE_STATUS_NEW);
}

void tst_TovarinToolUpdate::noEndlessReinstall() {
    QFETCH(QString, version);
    QFETCH(QString, fault);
    QFETCH(int, state);

    installTool("BPC", "1.0.0.0");
    const QString name = packageName("BPC", "2.0.0.0", "zip");
    QString error;
    QVERIFY2(ToolPackages::makeZip(m_server.filesDir() + "/" + name, "BPC", "BPC", version, {}, {}, &error),
             qPrintable(error));
    offer("PPCFocus", "2.0.0.0", true);
    m_tools.append(QJsonObject{{"proToolId", "102"},
                               {"proToolUniqId", "U-102"},
                               {"package", QJsonObject{{"versionNo", "2.0.0.0"},
                                                       {"versionUniqId", "V-102"},
                                                       {"forceUpgrade", 1},
                                                       {"offer", "always"},
                                                       {"file", name}}}});
    publish();
    if (fault == "download")
        QVERIFY(m_server.setBehaviour("files/" + name, QJsonObject{{"status", 404}}));
    if (fault == "record")
        QVERIFY(m_server.setBehaviour(
            kRecord, QJsonObject{{"ack", "500"}, {"when", QJsonObject{{"proToolUniqId", "U-102"}}}}));
    installTool("PPCFocus", "1.0.0.0");

    auto w = window({"BPC", "PPCFocus"});
    w->slotToolAppUpdataLoopRequest();
    w->slotToolAppUpdataLoopRequest();

    QCOMPARE(m_server.requests(kQuery).size(), 4);
    QCOMPARE(downloads(name), 1);
    QCOMPARE(int(tileOf(*w, "BPC")->m_btnInfo.m_eUpgradeStatus), state);
    // The other forced tool is still installed once.
    QCOMPARE(downloads(packageName("PPCFocus", "2.0.0.0", "zip")), 1);
    // The failure keeps its retry button, which installs again.
    if (fault == "download") {
        QVERIFY(m_server.clearBehaviour("files/" + name));
        tileOf(*w, "BPC")->findChild<QPushButton *>("btnDownload")->click();
        QCOMPARE(int(tileOf(*w, "BPC")->m_btnInfo.m_eUpgradeStatus), int(UPGRADE_STATUS_NEW));
    }
}

void tst_TovarinToolUpdate::countAndAllUpgrade() {
    for (const QString &key : QStringList{"IPCProductCheck", "PPCFocus", "IPCamSuite", "BPC"})
        installTool(key, "1.0.0.0");
    const QString first = offer("IPCProductCheck", "2.0.0.0", false);
    const QString second = offer("PPCFocus", "2.0.0.0", false);
    const QString third = offer("IPCamSuite", "2.0.0.0", false);
    const QString forced = offer("BPC", "2.0.0.0", true);
    publish();
    auto w = window({"IPCProductCheck", "BPC", "PPCFocus", "IPCamSuite"});
    w->slotToolAppUpdataLoopRequest();
    QCOMPARE(totalUpdataNum, 3);
    QCOMPARE(downloads(forced), 1);

    // A second press of the same tile takes nothing more off the count.
    const toolButtonInfo pressed = tileOf(*w, "IPCProductCheck")->m_btnInfo;
    w->slotToolAppDowloadUpgrade(pressed);
    w->slotToolAppDowloadUpgrade(pressed);
    w->slotToolAppDowloadUpgrade(tileOf(*w, "BPC")->m_btnInfo);
    QCOMPARE(totalUpdataNum, 2);
    QVERIFY(w->ui->btnAllUpgrade->isVisibleTo(w.get()));

    // "全部更新" skips the forced package and the one installed by hand.
    w->ui->btnAllUpgrade->click();
    QCOMPARE(downloads(second), 1);
    QCOMPARE(downloads(third), 1);
    QCOMPARE(downloads(first), 2);
    QCOMPARE(downloads(forced), 2);
    QCOMPARE(totalUpdataNum, 0);
    QVERIFY(!w->ui->btnAllUpgrade->isVisibleTo(w.get()));
    for (const QString &key : QStringList{"IPCProductCheck", "PPCFocus", "IPCamSuite", "BPC"})
        QCOMPARE(Platform::fileVersionOf(stationFile(key + "/" + key)), QString("2.0.0.0"));
}

// A tile pressed while the check waits for a later tool's answer installs once the check is
// done: run inside that wait, it would hold the check's request past its limit.
void tst_TovarinToolUpdate::pressDuringCheck() {
    installTool("IPCProductCheck", "1.0.0.0");
    installTool("BPC", "1.0.0.0");
    const QString optional = offer("IPCProductCheck", "2.0.0.0", false);
    offer("BPC", "2.0.0.0", false);
    publish();
    QVERIFY(m_server.setBehaviour(kQuery,
                                  QJsonObject{{"hold", true}, {"when", QJsonObject{{"proToolId", "102"}}}}));
    auto w = window({"IPCProductCheck", "BPC"});

    int downloadsInWait = -1;
    onRequest(m_server, kQuery, 2, [&] {
        w->slotToolAppDowloadUpgrade(tileOf(*w, "IPCProductCheck")->m_btnInfo);
        downloadsInWait = downloads(optional);
        m_server.release(kQuery);
    });
    w->slotToolAppUpdataLoopRequest();
    QCOMPARE(downloadsInWait, 0);
    QCOMPARE(downloads(optional), 1);
    QCOMPARE(Platform::fileVersionOf(stationFile("IPCProductCheck/IPCProductCheck")), QString("2.0.0.0"));
    QCOMPARE(int(tileOf(*w, "BPC")->m_btnInfo.m_eUpgradeStatus), int(UPGRADE_STATUS_UPGRADABLE));
    QCOMPARE(totalUpdataNum, 1); // BPC only
}

// A page switch during a check's wait leads to one more check after it, not one inside it.
void tst_TovarinToolUpdate::checkDuringCheck() {
    installTool("IPCProductCheck", "1.0.0.0");
    installTool("BPC", "1.0.0.0");
    const QString forced = offer("BPC", "2.0.0.0", true);
    offer("IPCProductCheck", "2.0.0.0", false);
    publish();
    QVERIFY(m_server.setBehaviour(kQuery, QJsonObject{{"hold", true}, {"times", 1}}));
    auto w = window({"IPCProductCheck", "BPC"});

    bool acted = false;
    onRequest(m_server, kQuery, 1, [&] {
        w->slotToolAppUpdataLoopRequest();
        QVERIFY(w->m_vecToolPackageInfo.isEmpty());
        acted = true;
        m_server.release(kQuery);
    });
    QSignalSpy again(w.get(), SIGNAL(signalMainUpdataFinished()));
    w->slotToolAppUpdataLoopRequest();
    QVERIFY(acted);
    QCOMPARE(m_server.requests(kQuery).size(), 2);
    QCOMPARE(w->m_vecToolPackageInfo.size(), 2);
    QCOMPARE(totalUpdataNum, 1);
    QCOMPARE(downloads(forced), 1);
    // The request that came in between runs as one more check once this one is done.
    QCOMPARE(again.count(), 1);
}

void tst_TovarinToolUpdate::pressesDuringInstall() {
    installTool("IPCamSuite", "1.0.0.0");
    installTool("IPCProductCheck", "1.0.0.0");
    const QString forced = offer("IPCamSuite", "2.0.0.0", true);
    const QString optional = offer("IPCProductCheck", "2.0.0.0", false);
    publish();
    const qint64 size = QFileInfo(m_server.filesDir() + "/" + forced).size();
    // Sent slowly, so that progress is reported before the download stalls half-way (once).
    QVERIFY(m_server.setBehaviour(
        "files/" + forced, QJsonObject{{"stallAfter", size / 2},
                                       {"times", 1},
                                       {"trickle", QJsonObject{{"chunkBytes", 8192}, {"intervalMs", 30}}}}));
    auto w = window({"IPCProductCheck", "IPCamSuite"});
    toolButton *busy = tileOf(*w, "IPCamSuite");

    int progress = -2;
    onRequest(m_server, "files/" + forced, 1, [&] {
        QTRY_VERIFY_WITH_TIMEOUT(busy->progress() > 0, 10000);
        progress = busy->progress();
        // Neither started nor installed twice while it installs; another tool queues behind it.
        w->slotProcessOpen(busy->m_btnInfo);
        QCOMPARE(toastText(*w), QString("程序正在升级，无法启动"));
        w->slotToolAppDowloadUpgrade(busy->m_btnInfo);
        tileOf(*w, "IPCProductCheck")->findChild<QPushButton *>("btnUpdate")->click();
        QCOMPARE(downloads(optional), 0);
        m_server.release("files/" + forced);
    });
    w->slotToolAppUpdataLoopRequest();

    QVERIFY2(progress > 0 && progress < 70, qPrintable(QString::number(progress)));
    // The cut download went on with the rest and installed; the press queued behind it ran
    // afterwards, the other press not.
    QCOMPARE(downloads(forced), 2);
    QCOMPARE(int(busy->m_btnInfo.m_eUpgradeStatus), int(UPGRADE_STATUS_NEW));
    QCOMPARE(downloads(optional), 1);
    QCOMPARE(int(tileOf(*w, "IPCProductCheck")->m_btnInfo.m_eUpgradeStatus), int(UPGRADE_STATUS_NEW));
    QCOMPARE(busy->progress(), -1);
}

void tst_TovarinToolUpdate::toolStartedDuringDownload() {
    installTool("IPCamSuite", "1.0.0.0");
    const QString forced = offer("IPCamSuite", "2.0.0.0", true);
    publish();
    QVERIFY(m_server.setBehaviour("files/" + forced, QJsonObject{{"hold", true}}));
    auto w = window({"IPCamSuite"});

    // Another program of the tool's name: the running check goes by name.
    QTemporaryDir elsewhere;
    QVERIFY(QFile::copy("/bin/sleep", elsewhere.path() + "/IPCamSuite"));
    onRequest(m_server, "files/" + forced, 1, [&] {
        auto *process = new QProcess;
        m_processes << process;
        process->start(elsewhere.path() + "/IPCamSuite", {"60"});
        QVERIFY(process->waitForStarted());
        QTRY_VERIFY(Platform::imageRunning(Platform::listRunningImages(), "IPCamSuite"));
        m_server.release("files/" + forced);
    });
    w->slotToolAppUpdataLoopRequest();

    QCOMPARE(toastText(*w), QString("请关闭子工具后再升级"));
    QCOMPARE(int(tileOf(*w, "IPCamSuite")->m_btnInfo.m_eUpgradeStatus), int(UPGRADE_STATUS_UPGRADE_FAILED));
    QCOMPARE(Platform::fileVersionOf(stationFile("IPCamSuite/IPCamSuite")), QString("1.0.0.0"));
    QCOMPARE(m_server.requests(kRecord).size(), 0);
}

void tst_TovarinToolUpdate::closeWaitsForInstallation() {
    installTool("IPCamSuite", "1.0.0.0");
    installTool("IPCProductCheck", "1.0.0.0");
    const QString forced = offer("IPCamSuite", "2.0.0.0", true);
    const QString optional = offer("IPCProductCheck", "2.0.0.0", false);
    publish();
    QVERIFY(m_server.setBehaviour("files/" + forced, QJsonObject{{"hold", true}}));
    auto w = window({"IPCProductCheck", "IPCamSuite"});
    QSignalSpy closed(w.get(), SIGNAL(signalForceCloseApp()));

    onRequest(m_server, "files/" + forced, 1, [&] {
        tileOf(*w, "IPCProductCheck")->findChild<QPushButton *>("btnUpdate")->click();
        w->slotCloseWin();
        QCOMPARE(closed.count(), 0);
        QCOMPARE(toastText(*w), QString("工具正在升级，升级完成后自动关闭"));
        // Still saying so after a toast's usual time.
        QTest::qWait(2500);
        QCOMPARE(toastText(*w), QString("工具正在升级，升级完成后自动关闭"));
        m_server.release("files/" + forced);
    });
    w->slotToolAppUpdataLoopRequest();

    QCOMPARE(closed.count(), 1);
    QCOMPARE(Platform::fileVersionOf(stationFile("IPCamSuite/IPCamSuite")), QString("2.0.0.0"));
    QCOMPARE(downloads(optional), 0);
    // Nothing more starts once the close was confirmed.
    w->slotToolAppDowloadUpgrade(tileOf(*w, "IPCProductCheck")->m_btnInfo);
    QCOMPARE(downloads(optional), 0);
}

// A tool with a keep-list is repacked before it is installed; for a large tool that takes a
// while, and the window must go on handling its events meanwhile.
void tst_TovarinToolUpdate::keepListRepackLetsTheWindowRun() {
    installTool("IPCamSuite", "1.0.0.0", {"config.ini=old"});
    QByteArray big(48 << 20, Qt::Uninitialized);
    quint32 seed = 7;
    for (char &byte : big) { // does not compress: the repack costs real time
        seed = seed * 1664525u + 1013904223u;
        byte = char(seed >> 24);
    }
    const QString name = offer("IPCamSuite", "2.0.0.0", true, "zip");
    QString error;
    QVERIFY2(ToolPackages::makeZip(m_server.filesDir() + "/" + name, "IPCamSuite", "IPCamSuite", "2.0.0.0",
                                   {{"config.ini", "new"}, {"data/big.bin", big}}, {}, &error),
             qPrintable(error));
    publish();

    auto w = window({"IPCamSuite"}, "[IPCamSuiteUnupdate]\nf1=config.ini\n");
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        longest = qMax(longest, clock.elapsed() - last);
        last = clock.elapsed();
    });
    probe.start(10);
    clock.start();
    w->slotToolAppUpdataLoopRequest();
    const qint64 total = clock.elapsed();
    QCOMPARE(int(tileOf(*w, "IPCamSuite")->m_btnInfo.m_eUpgradeStatus), int(UPGRADE_STATUS_NEW));
    QCOMPARE(read("IPCamSuite/config.ini"), QString("old"));
    QCOMPARE(QFileInfo(stationFile("IPCamSuite/data/big.bin")).size(), qint64(big.size()));
    // Measured against the installation itself, so a loaded machine stretches both alike.
    QVERIFY2(longest * 4 < total, qPrintable(QString("longest gap %1 ms of %2 ms").arg(longest).arg(total)));
}

QTEST_MAIN(tst_TovarinToolUpdate)
#include "tst_tovarintoolupdate.moc"
