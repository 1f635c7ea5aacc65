// The launcher's own update: when the offer is shown, what the hand-off file holds, how a
// package is staged, what each failing step leaves the operator with, and the hand-off to the
// updater (a small script standing in for it, started for real).
#include "applicationfolder.h"
#include "clock.h"
#include "devserver.h"
#include "globals.h"
#include "imageresources.h"
#include "platform.h"
#include "poptextwidget.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"
#include "zipbuilder.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTextEdit>
#include <QtTest>

#include <quazip/JlCompress.h>

namespace {

const QDateTime kNow(QDate(2026, 5, 20), QTime(10, 0, 0));
const QString kPackageFile = QStringLiteral("Tovarin-1.2.0.0.zip");
const QByteArray kUpdaterScript =
    "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > \"$(dirname \"$0\")/started.txt\"\n";

// What a staged package may lack or carry.
enum PackageKind { GoodPackage, NoUpdater, NoLauncher, UpdaterNotExecutable, NotAZip, ExePackage };
const QString kExePackageFile = QStringLiteral("Tovarin-1.2.0.0.exe");

QString toastText(Tovarin &w) {
    if (!w.m_pPopTextWidget->isVisible())
        return QString();
    return w.m_pPopTextWidget->findChild<QLabel *>("labText")->text();
}

QString popTitle(Tovarin &w) {
    return w.m_pPopWidget->findChild<QLabel *>("labTitle")->text();
}

} // namespace

class tst_TovarinSelfUpdate : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void offerShown_data();
    void offerShown();
    void operatorAnswer_data();
    void operatorAnswer();
    void handOffFile_data();
    void handOffFile();
    void checkFails_data();
    void checkFails();
    void stagingFails_data();
    void stagingFails();
    void handOver_data();
    void handOver();
    void loopGuard_data();
    void loopGuard();
    void closingWhileStaging_data();
    void closingWhileStaging();
    void downloadingLook();

private:
    QString stationFile(const QString &name) const { return m_station->path() + QLatin1Char('/') + name; }
    QString staging(const QString &name = QString()) const {
        return stationFile(QStringLiteral("UpgradePackage/MainApp/") + name);
    }
    // Offers the launcher package: version "1.2.0.0" unless empty (nothing offered).
    void offer(const QString &versionNo, bool forced, const QString &remark = QStringLiteral("修复若干问题"),
               const QString &file = kPackageFile);
    bool writePackage(PackageKind kind, const QString &file = kPackageFile);
    std::unique_ptr<Tovarin> shownWindow();
    QString upgradeValue(const QString &key) const;

    DevServer m_server;
    std::unique_ptr<QTemporaryDir> m_station;
    QString m_previousCurrent;
};

void tst_TovarinSelfUpdate::initTestCase() {
    initImageResources();
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
}

void tst_TovarinSelfUpdate::init() {
    QVERIFY(m_server.reset());
    // Packages of an earlier case would otherwise still be served.
    for (const QString &name : QDir(m_server.filesDir()).entryList({"Tovarin-*"}, QDir::Files))
        QVERIFY(QFile::remove(m_server.filesDir() + QLatin1Char('/') + name));
    m_station.reset(new QTemporaryDir);
    QVERIFY(m_station->isValid());
    ApplicationFolder::setPathForTesting(m_station->path());
    m_previousCurrent = QDir::currentPath();
    QDir::setCurrent(m_station->path());
    Clock::setNowForTesting([] { return kNow; });
    m_szLoginToken = QStringLiteral("tok-operator-0001");
    QVERIFY(DevServer::writeServerConfig(m_station->path(), m_server.httpBase()));
    writeFile(stationFile("CONFIGSET.ini"), "[Tovarin]\nID=100\nExe=Tovarin\n");
}

void tst_TovarinSelfUpdate::cleanup() {
    Tovarin::setMainAppStagingWatcherForTesting(nullptr);
    Clock::setNowForTesting(nullptr);
    QDir::setCurrent(m_previousCurrent);
    ApplicationFolder::setPathForTesting(QString());
    m_station.reset();
}

void tst_TovarinSelfUpdate::offer(const QString &versionNo, bool forced, const QString &remark,
                                  const QString &file) {
    QJsonObject data = DevServer::demoData();
    QJsonArray tools = data.value("tools").toArray();
    for (int i = 0; i < tools.size(); ++i) {
        QJsonObject tool = tools.at(i).toObject();
        if (tool.value("proToolId").toString() != QLatin1String("100"))
            continue;
        QJsonObject package;
        package.insert("versionNo", versionNo.isEmpty() ? QStringLiteral("1.2.0.0") : versionNo);
        package.insert("versionUniqId", "V-100-1200");
        package.insert("forceUpgrade", forced ? 1 : 0);
        package.insert("versionRemark", remark);
        package.insert("file", file);
        package.insert("offer", versionNo.isEmpty() ? "never" : "always");
        tool.insert("package", package);
        tools.replace(i, tool);
    }
    data.insert("tools", tools);
    QVERIFY(m_server.setData(data));
}

bool tst_TovarinSelfUpdate::writePackage(PackageKind kind, const QString &file) {
    const QString path = m_server.filesDir() + QLatin1Char('/') + file;
    if (kind == NotAZip)
        return TestFiles::write(path, "this is no archive");
    if (kind == ExePackage)
        return TestFiles::write(m_server.filesDir() + QLatin1Char('/') + kExePackageFile, "MZ launcher");
    QList<ZipEntry> entries;
    entries << ZipEntry{"Tovarin/", {}, ZipEntry::Folder, 0};
    if (kind != NoLauncher)
        entries << ZipEntry{"Tovarin/Tovarin", "new launcher", ZipEntry::File, 0755};
    entries << ZipEntry{"Tovarin/conf/", {}, ZipEntry::Folder, 0}
            << ZipEntry{"Tovarin/conf/station.txt", "kept settings", ZipEntry::File, 0};
    if (kind != NoUpdater) {
        entries << ZipEntry{"Tovarin/Pellock/", {}, ZipEntry::Folder, 0}
                << ZipEntry{"Tovarin/Pellock/Pellock", kUpdaterScript, ZipEntry::File,
                            kind == UpdaterNotExecutable ? 0644u : 0755u}
                << ZipEntry{"Tovarin/Pellock/pellock.dat", "updater data", ZipEntry::File, 0};
    }
    return ZipBuilder::write(path, entries);
}

std::unique_ptr<Tovarin> tst_TovarinSelfUpdate::shownWindow() {
    std::unique_ptr<Tovarin> w(new Tovarin);
    w->show();
    if (!QTest::qWaitForWindowExposed(w.get()))
        return nullptr;
    return w;
}

QString tst_TovarinSelfUpdate::upgradeValue(const QString &key) const {
    QSettings settings(stationFile("UpgradePackage/UpgradeConfig.ini"), QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
    return settings.value(Platform::findProfileKey(settings, "Tovarin", key)).toString();
}

void tst_TovarinSelfUpdate::offerShown_data() {
    QTest::addColumn<QString>("limit");   // LimitTime/UpgradeLimit; "-" none
    QTest::addColumn<QString>("offered"); // versionNo offered; empty: none
    QTest::addColumn<bool>("forced");
    QTest::addColumn<QString>("shownTitle"); // the pop-up's title, empty when hidden

    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    QTest::newRow("never postponed") << "-"
                                     << "1.2.0.0" << false << "新版本升级";
    QTest::newRow("unreadable time") << "yesterday"
                                     << "1.2.0.0" << false << "新版本升级";
    QTest::newRow("time ahead of the clock")
        << kNow.addSecs(3600).toString(format) << "1.2.0.0" << false << "新版本升级";
    QTest::newRow("259199 s ago") << kNow.addSecs(-259199).toString(format) << "1.2.0.0" << false << "";
    QTest::newRow("exactly three days ago")
        << kNow.addSecs(-259200).toString(format) << "1.2.0.0" << false << "";
    QTest::newRow("259201 s ago") << kNow.addSecs(-259201).toString(format) << "1.2.0.0" << false
                                  << "新版本升级";
    QTest::newRow("forced, just postponed")
        << kNow.addSecs(-10).toString(format) << "1.2.0.0" << true << "下载中...";
    QTest::newRow("nothing offered") << "-"
                                     << "" << false << "";
}

void tst_TovarinSelfUpdate::offerShown() {
    QFETCH(QString, limit);
    QFETCH(QString, offered);
    QFETCH(bool, forced);
    QFETCH(QString, shownTitle);

    offer(offered, forced);
    QVERIFY(writePackage(GoodPackage));
    if (limit != QLatin1String("-"))
        writeFile(stationFile("MAINSET.ini"), "[LimitTime]\nUpgradeLimit=" + limit.toUtf8() + "\n");
    // A forced download waits here, so the notice can be looked at.
    QVERIFY(m_server.setBehaviour("files/*", QJsonObject{{"hold", true}, {"holdMs", 20000}}));

    auto w = shownWindow();
    QVERIFY(w);
    QSignalSpy toolCheck(w.get(), &Tovarin::signalMainUpdataFinished);
    const QJsonArray asked = m_server.requests("ToolClientConfigManageApi/getProToolLastUpgradePackage");
    QCOMPARE(asked.size(), 1);
    QVERIFY(asked.at(0).toObject().value("signOk").toBool());
    QCOMPARE(DevServer::fieldValue(asked.at(0).toObject(), "proToolId"), QString("100"));
    QCOMPARE(DevServer::fieldValue(asked.at(0).toObject(), "controlProToolId"), QString("100"));
    QCOMPARE(DevServer::fieldValue(asked.at(0).toObject(), "version"), QString("1.1.1.2"));

    QCOMPARE(w->m_pPopWidget->isVisible() ? popTitle(*w) : QString(), shownTitle);
    if (shownTitle.isEmpty()) {
        QVERIFY(toolCheck.wait(5000));
    } else {
        const bool question = shownTitle == QStringLiteral("新版本升级");
        QCOMPARE(w->m_pPopWidget->findChild<QPushButton *>("btnConfirm")->isVisibleTo(w->m_pPopWidget),
                 question);
        QCOMPARE(w->m_pPopWidget->findChild<QProgressBar *>("progressDownload")->isVisibleTo(w->m_pPopWidget),
                 !question);
        // Offered and waiting: the tool check is not started meanwhile.
        QVERIFY(!toolCheck.wait(400));
    }
    if (forced) {
        QVERIFY(m_server.waitForRequests("files/" + kPackageFile));
        // The offer goes on to the hand-off once the download is let through.
        QSignalSpy quit(w.get(), &Tovarin::signalForceCloseApp);
        QVERIFY(m_server.release());
        QVERIFY(quit.wait(20000));
    }
}

void tst_TovarinSelfUpdate::operatorAnswer_data() {
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<bool>("remember");
    QTest::addColumn<QString>("toast");

    QTest::newRow("cancel") << false << false << "";
    QTest::newRow("cancel, not for three days") << false << true << "";
    // The package is not there: the download fails and the launcher goes on.
    QTest::newRow("confirm, not for three days") << true << true << "主程序升级包下载失败";
}

void tst_TovarinSelfUpdate::operatorAnswer() {
    QFETCH(bool, confirm);
    QFETCH(bool, remember);
    QFETCH(QString, toast);

    offer("1.2.0.0", false);
    auto w = shownWindow();
    QVERIFY(w);
    QSignalSpy toolCheck(w.get(), &Tovarin::signalMainUpdataFinished);
    QVERIFY(w->m_pPopWidget->isVisible());
    w->m_pPopWidget->findChild<QRadioButton *>("radioButton")->setChecked(remember);
    QTest::mouseClick(w->m_pPopWidget->findChild<QPushButton *>(confirm ? "btnConfirm" : "btnCancel"),
                      Qt::LeftButton);

    QVERIFY(toolCheck.wait(10000));
    QVERIFY(!w->m_pPopWidget->isVisible());
    QCOMPARE(toastText(*w), toast);
    QCOMPARE(m_server.requests("files/" + kPackageFile).size(), confirm ? 1 : 0);
    QSettings mainSet(stationFile("MAINSET.ini"), QSettings::IniFormat);
    QCOMPARE(mainSet.value("LimitTime/UpgradeLimit").toString(),
             remember ? kNow.toString("yyyy-MM-dd hh:mm:ss") : QString());
}

void tst_TovarinSelfUpdate::handOffFile_data() {
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("remark");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("type");

    QTest::newRow("three lines, punctuation")
        << "1.2.0.0"
        << "修复: 登录, 升级; 日志\n\"引号\" 与 'single'\n第三行" << kPackageFile << "zip";
    QTest::newRow("exe package") << "1.2.0.0"
                                 << "一行"
                                 << "Tovarin-1.2.0.0.exe"
                                 << "exe";
    QTest::newRow("upper-case suffix is no zip") << "1.2.0.0"
                                                 << ""
                                                 << "Tovarin-1.2.0.0.ZIP"
                                                 << "exe";
    // No package, no URL: the type rule reads an empty name as no zip.
    QTest::newRow("nothing offered") << ""
                                     << "" << kPackageFile << "exe";
}

void tst_TovarinSelfUpdate::handOffFile() {
    QFETCH(QString, offered);
    QFETCH(QString, remark);
    QFETCH(QString, file);
    QFETCH(QString, type);

    offer(offered, false, remark, file);
    // An earlier run's keys, the updater's among them, must not survive the check.
    writeFile(stationFile("UpgradePackage/UpgradeConfig.ini"),
              "[Tovarin]\nversionNo=0.9\nUpgradeSucceed=1\nrecordUpgrade=1\n[Other]\nx=1\n");

    Tovarin w;
    bool need = false;
    bool force = false;
    QVERIFY(w.mainAppUpdataQuery(need, force));
    QCOMPARE(need, !offered.isEmpty());
    QVERIFY(!force);

    const QByteArray bytes = TestFiles::read(stationFile("UpgradePackage/UpgradeConfig.ini"));
    QList<QByteArray> lines = bytes.split('\n');
    QCOMPARE(lines.takeFirst(), QByteArray("[Tovarin]"));
    QCOMPARE(lines.takeLast(), QByteArray());
    QStringList keys;
    for (const QByteArray &line : lines)
        keys << QString::fromUtf8(line.left(line.indexOf('=')));
    QCOMPARE(keys,
             QStringList({"versionNo", "upgradePackageType", "versionRemark", "loginToken", "proToolUniqId",
                          "versionUniqId", "beforeUpgradeVersion", "recordUpgrade", "needUpgrade"}));

    // The updater's reader gets every value back, line breaks and punctuation included.
    QCOMPARE(upgradeValue("versionNo"), offered);
    QCOMPARE(upgradeValue("UpgradePackageType"), type);
    QCOMPARE(upgradeValue("versionRemark"), offered.isEmpty() ? QString() : remark);
    QCOMPARE(upgradeValue("loginToken"), QString("tok-operator-0001"));
    QCOMPARE(upgradeValue("proToolUniqId"), QString("U-LAUNCHER-100"));
    QCOMPARE(upgradeValue("versionUniqId"), offered.isEmpty() ? QString() : QString("V-100-1200"));
    QCOMPARE(upgradeValue("beforeUpgradeVersion"), QString("1.1.1.2"));
    QCOMPARE(upgradeValue("recordUpgrade"), QString("0"));
    QCOMPARE(upgradeValue("needUpgrade"), QString(offered.isEmpty() ? "0" : "1"));
    // Notes of three lines stay one line in the file, with exactly two escaped breaks.
    const QByteArray remarkLine = lines.at(2);
    QCOMPARE(remarkLine.count("\\n"), remark.count('\n') * (offered.isEmpty() ? 0 : 1));
}

void tst_TovarinSelfUpdate::checkFails_data() {
    QTest::addColumn<QString>("fault");

    QTest::newRow("server down") << "down";
    QTest::newRow("ack not 200") << "ack";
    QTest::newRow("no domain") << "domain";
    QTest::newRow("no CONFIGSET.ini") << "config";
}

void tst_TovarinSelfUpdate::checkFails() {
    QFETCH(QString, fault);

    offer("1.2.0.0", true);
    const QByteArray earlier = "[Tovarin]\nversionUniqId=V-old\nUpgradeSucceed=0\n";
    writeFile(stationFile("UpgradePackage/UpgradeConfig.ini"), earlier);
    if (fault == QLatin1String("down")) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString base = QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort());
        closed.close();
        QVERIFY(
            DevServer::writeServerConfig(m_station->path(), base, m_server.httpBase(), m_server.httpBase()));
    } else if (fault == QLatin1String("ack")) {
        QVERIFY(m_server.setBehaviour("ToolClientConfigManageApi/getProToolLastUpgradePackage",
                                      QJsonObject{{"ack", "500"}}));
    } else if (fault == QLatin1String("domain")) {
        QVERIFY(DevServer::writeServerConfig(m_station->path(), "127.0.0.1/", m_server.httpBase(),
                                             m_server.httpBase()));
    } else {
        QVERIFY(QFile::remove(stationFile("CONFIGSET.ini")));
    }

    auto w = shownWindow();
    QVERIFY(w);
    QSignalSpy toolCheck(w.get(), &Tovarin::signalMainUpdataFinished);
    QVERIFY(toolCheck.wait(15000));
    QVERIFY(!w->m_pPopWidget->isVisible());
    QCOMPARE(toastText(*w), QString());
    QCOMPARE(TestFiles::read(stationFile("UpgradePackage/UpgradeConfig.ini")), earlier);
}

void tst_TovarinSelfUpdate::stagingFails_data() {
    QTest::addColumn<int>("package");
    QTest::addColumn<QString>("step");    // staging step the file system is disturbed before
    QTest::addColumn<QString>("disturb"); // "file", "folder", "remove" or "hidden" (a file delDir skips)
    QTest::addColumn<QString>("path");    // below the staging folder
    QTest::addColumn<QString>("message");

    QTest::newRow("staging folder not emptied") << int(GoodPackage) << ""
                                                << "hidden"
                                                << ""
                                                << "清空主程序升级目录MainApp失败";
    QTest::newRow("download fails") << -1 << ""
                                    << ""
                                    << ""
                                    << "主程序升级包下载失败";
    QTest::newRow("exe package") << int(ExePackage) << ""
                                 << ""
                                 << ""
                                 << "主程序只能从zip升级包升级";
    QTest::newRow("damaged package") << int(NotAZip) << ""
                                     << ""
                                     << ""
                                     << "解压主程序升级包到当前目录失败";
    QTest::newRow("no updater in package") << int(NoUpdater) << ""
                                           << ""
                                           << ""
                                           << "主程序升级包缺少主程序或Pellock";
    QTest::newRow("no launcher in package") << int(NoLauncher) << ""
                                            << ""
                                            << ""
                                            << "主程序升级包缺少主程序或Pellock";
    QTest::newRow("copy updater") << int(GoodPackage) << "copyUpdater"
                                  << "file"
                                  << "Pellock/Pellock"
                                  << "移动小工具文件夹到MainApp失败";
    QTest::newRow("pack updater") << int(GoodPackage) << "packUpdater"
                                  << "folder"
                                  << "Pellock.zip"
                                  << "压缩Pellock文件夹失败";
    QTest::newRow("install updater") << int(GoodPackage) << "installUpdater"
                                     << "remove"
                                     << "Pellock.zip"
                                     << "升级Pellock失败";
    QTest::newRow("remove package's updater") << int(GoodPackage) << "removePackageUpdater"
                                              << "hidden"
                                              << "Tovarin/Pellock"
                                              << "删除主程序下的Pellock文件夹失败";
    QTest::newRow("remove staged updater") << int(GoodPackage) << "removeStagedUpdater"
                                           << "hidden"
                                           << "Pellock"
                                           << "删除MainApp下的Pellock文件夹失败";
    QTest::newRow("copy launcher") << int(GoodPackage) << "copyLauncher"
                                   << "file"
                                   << "Test/Tovarin/Tovarin"
                                   << "移动主程序升级包文件夹失败";
    QTest::newRow("pack launcher") << int(GoodPackage) << "packLauncher"
                                   << "folder"
                                   << "Tovarin.zip"
                                   << "压缩主程序升级包文件夹失败";
    QTest::newRow("remove launcher folder") << int(GoodPackage) << "removeLauncherFolder"
                                            << "hidden"
                                            << "Tovarin"
                                            << "删除主程序升级包文件夹失败";
    QTest::newRow("remove Test") << int(GoodPackage) << "removeTest"
                                 << "hidden"
                                 << "Test"
                                 << "删除Test文件夹失败";
}

void tst_TovarinSelfUpdate::stagingFails() {
    QFETCH(int, package);
    QFETCH(QString, step);
    QFETCH(QString, disturb);
    QFETCH(QString, path);
    QFETCH(QString, message);

    offer("1.2.0.0", true, "修复若干问题", package == ExePackage ? kExePackageFile : kPackageFile);
    if (package >= 0)
        QVERIFY(writePackage(PackageKind(package)));
    const QString target = staging(path);
    auto disturbFiles = [disturb, target] {
        if (disturb == QLatin1String("file")) {
            QDir(target).removeRecursively();
            TestFiles::write(target, "in the way");
        } else if (disturb == QLatin1String("folder")) {
            QFile::remove(target);
            QDir().mkpath(target + "/in-the-way");
        } else if (disturb == QLatin1String("remove")) {
            QFile::remove(target);
        } else if (disturb == QLatin1String("hidden")) {
            TestFiles::write(target + "/.held", "held");
        }
    };
    if (step.isEmpty())
        disturbFiles();
    else
        Tovarin::setMainAppStagingWatcherForTesting([step, disturbFiles](const QString &now) {
            if (now == step)
                disturbFiles();
        });

    auto w = shownWindow();
    QVERIFY(w);
    QSignalSpy quit(w.get(), &Tovarin::signalForceCloseApp);
    QSignalSpy toolCheck(w.get(), &Tovarin::signalMainUpdataFinished);
    // The downloading notice has no buttons: it must go away by itself.
    QVERIFY(toolCheck.wait(20000));
    QVERIFY(!w->m_pPopWidget->isVisible());
    QCOMPARE(toastText(*w), message);
    QCOMPARE(quit.count(), 0);
    QVERIFY(!w->m_bMainAppUpgrading);
    QVERIFY(!QFile::exists(stationFile("Pellock/started.txt")));
    // Only a folder that could not be emptied stops before the download.
    QCOMPARE(m_server.requests("files/" + (package == ExePackage ? kExePackageFile : kPackageFile)).size(),
             path.isEmpty() && disturb == QLatin1String("hidden") ? 0 : 1);
    const QByteArray log = TestFiles::read(stationFile("log/" + kNow.toString("yyyy-MM-dd") + ".txt"));
    QVERIFY2(log.contains(message.toUtf8()), log.constData());
}

void tst_TovarinSelfUpdate::handOver_data() {
    QTest::addColumn<bool>("executable");

    QTest::newRow("updater starts") << true;
    QTest::newRow("updater cannot start") << false;
}

void tst_TovarinSelfUpdate::handOver() {
    QFETCH(bool, executable);

    offer("1.2.0.0", true, "第一行\n第二行");
    QVERIFY(writePackage(executable ? GoodPackage : UpdaterNotExecutable));
    // An old updater is replaced by the package's.
    writeFile(stationFile("Pellock/Pellock"), "old updater");
    writeFile(stationFile("Pellock/old.dat"), "old data");

    auto w = shownWindow();
    QVERIFY(w);
    QSignalSpy quit(w.get(), &Tovarin::signalForceCloseApp);
    QSignalSpy toolCheck(w.get(), &Tovarin::signalMainUpdataFinished);
    if (executable) {
        QVERIFY(quit.wait(20000));
        QTRY_COMPARE_WITH_TIMEOUT(TestFiles::read(stationFile("Pellock/started.txt")), QByteArray("1|"),
                                  10000);
        QCOMPARE(quit.count(), 1);
        QCOMPARE(toolCheck.count(), 0);
    } else {
        QVERIFY(toolCheck.wait(20000));
        QCOMPARE(quit.count(), 0);
        QCOMPARE(toastText(*w), QString("启动升级程序Pellock失败"));
    }
    QVERIFY(!w->m_pPopWidget->isVisible());
    // The download was shown to its end.
    QCOMPARE(w->m_pPopWidget->findChild<QProgressBar *>("progressDownload")->value(), 1000);

    // The updater came from the package; the staged package is the launcher without it.
    QCOMPARE(TestFiles::read(stationFile("Pellock/Pellock")), kUpdaterScript);
    QCOMPARE(TestFiles::read(stationFile("Pellock/pellock.dat")), QByteArray("updater data"));
    QCOMPARE(TestFiles::entriesBelow(staging()), QStringList({"Tovarin.zip"}));
    QStringList packed = JlCompress::getFileList(staging("Tovarin.zip"));
    packed.sort();
    QCOMPARE(packed,
             QStringList({"Tovarin/", "Tovarin/Tovarin", "Tovarin/conf/", "Tovarin/conf/station.txt"}));
    QCOMPARE(upgradeValue("versionRemark"), QString("第一行\n第二行"));
}

void tst_TovarinSelfUpdate::loopGuard_data() {
    QTest::addColumn<QString>("lastUniqId");
    QTest::addColumn<QString>("lastSucceed"); // "-": the updater did not run
    QTest::addColumn<bool>("forced");
    QTest::addColumn<QString>("toast"); // empty: the upgrade goes ahead

    QTest::newRow("same package failed, forced")
        << "V-100-1200"
        << "0" << true << "主程序升级包1.2.0.0上次安装失败，不再自动升级";
    QTest::newRow("same package failed, offered")
        << "V-100-1200"
        << "0" << false << "主程序升级包1.2.0.0上次安装失败，不再自动升级";
    QTest::newRow("installed, version unchanged")
        << "V-100-1200"
        << "1" << true << "主程序升级包1.2.0.0已安装过但版本未变，不再自动升级";
    QTest::newRow("an older package failed") << "V-100-1100"
                                             << "0" << true << "";
    QTest::newRow("updater never ran") << "V-100-1200"
                                       << "-" << true << "";
}

void tst_TovarinSelfUpdate::loopGuard() {
    QFETCH(QString, lastUniqId);
    QFETCH(QString, lastSucceed);
    QFETCH(bool, forced);
    QFETCH(QString, toast);

    offer("1.2.0.0", forced);
    // Whatever goes ahead stops at the download, before any hand-off.
    QVERIFY(m_server.setBehaviour("files/*", QJsonObject{{"status", 404}}));
    QByteArray last =
        "[Tovarin]\nversionNo=1.2.0.0\nversionUniqId=" + lastUniqId.toUtf8() + "\nneedUpgrade=0\n";
    if (lastSucceed != QLatin1String("-"))
        last += "UpgradeSucceed=" + lastSucceed.toUtf8() + "\nrecordUpgrade=0\n";
    writeFile(stationFile("UpgradePackage/UpgradeConfig.ini"), last);

    for (int start = 0; start < (toast.isEmpty() ? 1 : 2); ++start) {
        auto w = shownWindow();
        QVERIFY(w);
        QSignalSpy toolCheck(w.get(), &Tovarin::signalMainUpdataFinished);
        QVERIFY(toolCheck.wait(15000));
        QVERIFY(!w->m_pPopWidget->isVisible());
        QCOMPARE(m_server.requests("files/" + kPackageFile).size(), toast.isEmpty() ? 1 : 0);
        if (!toast.isEmpty()) {
            QCOMPARE(toastText(*w), toast);
            // The next start still knows: the guard holds as long as the same package is offered.
            QCOMPARE(upgradeValue("UpgradeSucceed"), lastSucceed);
        }
    }
}

void tst_TovarinSelfUpdate::closingWhileStaging_data() {
    QTest::addColumn<bool>("destroy");

    QTest::newRow("close is refused") << false;
    QTest::newRow("window destroyed") << true;
}

void tst_TovarinSelfUpdate::closingWhileStaging() {
    QFETCH(bool, destroy);

    offer("1.2.0.0", true);
    QVERIFY(writePackage(GoodPackage));
    QVERIFY(
        m_server.setBehaviour("files/*", QJsonObject{{"hold", true}, {"holdMs", destroy ? 1500 : 20000}}));

    auto w = shownWindow();
    QVERIFY(w);
    QVERIFY(m_server.waitForRequests("files/" + kPackageFile));
    QSignalSpy quit(w.get(), &Tovarin::signalForceCloseApp);
    if (destroy) {
        // The window waits for its worker, which stops at its next step: no updater, no crash.
        w.reset();
        QVERIFY(!QFile::exists(stationFile("Pellock/Pellock")));
        return;
    }
    QVERIFY(!w->close());
    w->slotCloseWin();
    QVERIFY(w->isVisible());
    QCOMPARE(quit.count(), 0);
    QCOMPARE(toastText(*w), QString("主程序升级中，请稍后再关闭"));
    QVERIFY(m_server.release());
    QVERIFY(quit.wait(20000));
    QTRY_COMPARE_WITH_TIMEOUT(TestFiles::read(stationFile("Pellock/started.txt")), QByteArray("1|"), 10000);
}

void tst_TovarinSelfUpdate::downloadingLook() {
    offer("1.2.0.0", true, "第一行\n第二行\n第三行\n第四行\n第五行\n第六行\n第七行\n第八行");
    QVERIFY(writePackage(GoodPackage));
    QVERIFY(m_server.setBehaviour("files/*", QJsonObject{{"hold", true}, {"holdMs", 20000}}));
    auto w = shownWindow();
    QVERIFY(w);
    QVERIFY(m_server.waitForRequests("files/" + kPackageFile));
    w->m_pPopWidget->slotSetDownloadProgress(40, 100);

    QTextEdit *notes = w->m_pPopWidget->findChild<QTextEdit *>("txtboxMessage");
    const int lineHeight = notes->fontMetrics().lineSpacing();
    // Version, heading and at least a few lines of the notes before anything scrolls.
    QVERIFY2(
        notes->viewport()->height() >= 7 * lineHeight,
        qPrintable(QString("%1 px for lines of %2 px").arg(notes->viewport()->height()).arg(lineHeight)));
    QWidget *card = w->m_pPopWidget->findChild<QWidget *>("widgetMain");
    const QImage image = card->grab().toImage();
    if (!qEnvironmentVariableIsEmpty("TOVARIN_SCREENSHOT_DIR"))
        image.save(qEnvironmentVariable("TOVARIN_SCREENSHOT_DIR") + "/popwidget-downloading.png");
    // The rounded scroll bar's corners show the notes' grey, not a dark fill.
    QScrollBar *scroll = notes->verticalScrollBar();
    const QRect scrollRect(scroll->mapTo(card, QPoint(0, 0)), scroll->size());
    for (const QPoint &corner :
         {scrollRect.topLeft(), scrollRect.topRight(), scrollRect.bottomLeft(), scrollRect.bottomRight()}) {
        const QColor colour = image.pixelColor(corner);
        QVERIFY2(qGray(colour.rgb()) >= 0xC0, qPrintable(colour.name()));
    }
    QProgressBar *bar = w->m_pPopWidget->findChild<QProgressBar *>("progressDownload");
    QVERIFY(bar->isVisible());
    QVERIFY(bar->geometry().top() > notes->geometry().bottom());

    QSignalSpy quit(w.get(), &Tovarin::signalForceCloseApp);
    QVERIFY(m_server.release());
    QVERIFY(quit.wait(20000));
}

QTEST_MAIN(tst_TovarinSelfUpdate)
#include "tst_tovarinselfupdate.moc"
