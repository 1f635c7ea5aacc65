// The launcher's own update: when the offer is shown, what the hand-off file holds, how a
// package is staged, what each failing step leaves the operator with, and the hand-off to the
// updater (a small script standing in for it, started for real).
#include "applicationfolder.h"
#include "clock.h"
#include "devserver.h"
#include "downloadtool.h"
#include "globals.h"
#include "imageresources.h"
#include "platform.h"
#include "poptextwidget.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"
#include "zipbuilder.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSettings>
#include <QTcpServer>
#include <QTextCodec>
#include <QTextEdit>
#include <QtTest>

#include <quazip/JlCompress.h>

namespace {

const QDateTime kNow(QDate(2026, 5, 20), QTime(10, 0, 0));
const QString kZip = QStringLiteral("Tovarin-1.2.0.0.zip");
const QString kExe = QStringLiteral("Tovarin-1.2.0.0.exe");
const QByteArray kUpdater = "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > \"$(dirname \"$0\")/started.txt\"\n";

enum PackageKind { NoPackage, GoodPackage, NoUpdater, NoLauncher, UpdaterNotExecutable, NotAZip, ExePackage };

} // namespace

class tst_TovarinSelfUpdate : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void check_data();
    void check();
    void answer_data();
    void answer();
    void handOffFile_data();
    void handOffFile();
    void staging_data();
    void staging();
    void loopGuard_data();
    void loopGuard();
    void whileStaging_data();
    void whileStaging();

private:
    QString stationFile(const QString &name) const { return m_station->path() + QLatin1Char('/') + name; }
    QString staged(const QString &name = QString()) const {
        return stationFile("UpgradePackage/MainApp/" + name);
    }
    // Offers version 1.2.0.0 of the launcher; an empty version offers nothing.
    void offer(const QString &versionNo, bool forced, const QString &remark = "修复若干问题",
               const QString &file = kZip);
    bool writePackage(PackageKind kind);
    QString handOff(const QString &key) const;

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
    QJsonObject launcher = tools.at(0).toObject();
    QCOMPARE(launcher.value("proToolId").toString(), QString("100"));
    launcher.insert("package", QJsonObject{{"versionNo", "1.2.0.0"},
                                           {"versionUniqId", "V-100-1200"},
                                           {"forceUpgrade", forced ? 1 : 0},
                                           {"versionRemark", remark},
                                           {"file", file},
                                           {"offer", versionNo.isEmpty() ? "never" : "always"}});
    tools.replace(0, launcher);
    data.insert("tools", tools);
    QVERIFY(m_server.setData(data));
}

bool tst_TovarinSelfUpdate::writePackage(PackageKind kind) {
    const QString folder = m_server.filesDir() + QLatin1Char('/');
    if (kind == NoPackage)
        return true;
    if (kind == NotAZip || kind == ExePackage)
        return TestFiles::write(folder + (kind == ExePackage ? kExe : kZip), "no archive");
    QList<ZipEntry> entries{{"Tovarin/", {}, ZipEntry::Folder, 0},
                            {"Tovarin/conf/station.txt", "kept", ZipEntry::File, 0}};
    if (kind != NoLauncher)
        entries << ZipEntry{"Tovarin/Tovarin", "new launcher", ZipEntry::File, 0755};
    if (kind != NoUpdater)
        entries << ZipEntry{"Tovarin/Pellock/Pellock", kUpdater, ZipEntry::File,
                            kind == UpdaterNotExecutable ? 0644u : 0755u}
                << ZipEntry{"Tovarin/Pellock/pellock.dat", "updater data", ZipEntry::File, 0};
    return ZipBuilder::write(folder + kZip, entries);
}

QString tst_TovarinSelfUpdate::handOff(const QString &key) const {
    QSettings settings(stationFile("UpgradePackage/UpgradeConfig.ini"), QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
    // The launcher writes one section, named after itself.
    const QString section = settings.childGroups().value(0, QStringLiteral("Tovarin"));
    return settings.value(Platform::findProfileKey(settings, section, key)).toString();
}

void tst_TovarinSelfUpdate::check_data() {
    QTest::addColumn<QString>("limit"); // LimitTime/UpgradeLimit; "-": none
    QTest::addColumn<QString>("offered");
    QTest::addColumn<bool>("forced");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("title"); // of the pop-up; empty: the launcher goes on to its pages

    const auto ago = [](int secs) { return kNow.addSecs(-secs).toString("yyyy-MM-dd hh:mm:ss"); };
    // clang-format off
    QTest::newRow("never postponed") << "-" << "1.2.0.0" << false << "" << "新版本升级";
    QTest::newRow("unreadable time") << "yesterday" << "1.2.0.0" << false << "" << "新版本升级";
    QTest::newRow("time ahead of the clock") << ago(-3600) << "1.2.0.0" << false << "" << "新版本升级";
    QTest::newRow("259199 s ago") << ago(259199) << "1.2.0.0" << false << "" << "";
    QTest::newRow("exactly three days ago") << ago(259200) << "1.2.0.0" << false << "" << "";
    QTest::newRow("259201 s ago") << ago(259201) << "1.2.0.0" << false << "" << "新版本升级";
    QTest::newRow("forced, just postponed") << ago(10) << "1.2.0.0" << true << "" << "下载中...";
    QTest::newRow("nothing offered") << "-" << "" << false << "" << "";
    QTest::newRow("server down") << "-" << "1.2.0.0" << true << "down" << "";
    QTest::newRow("ack not 200") << "-" << "1.2.0.0" << true << "ack" << "";
    QTest::newRow("no domain") << "-" << "1.2.0.0" << true << "domain" << "";
    QTest::newRow("no CONFIGSET.ini") << "-" << "1.2.0.0" << true << "config" << "";
    // clang-format on
}

void tst_TovarinSelfUpdate::check() {
    QFETCH(QString, limit);
    QFETCH(QString, offered);
    QFETCH(bool, forced);
    QFETCH(QString, fault);
    QFETCH(QString, title);

    offer(offered, forced);
    QVERIFY(m_server.setBehaviour("files/*", QJsonObject{{"status", 404}}));
    if (limit != "-")
        writeFile(stationFile("MAINSET.ini"), "[LimitTime]\nUpgradeLimit=" + limit.toUtf8() + "\n");
    const QByteArray earlier = "[Tovarin]\nversionUniqId=V-old\n";
    writeFile(stationFile("UpgradePackage/UpgradeConfig.ini"), earlier);
    if (fault == "down") {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString base = QString("http://127.0.0.1:%1/").arg(closed.serverPort());
        closed.close();
        QVERIFY(
            DevServer::writeServerConfig(m_station->path(), base, m_server.httpBase(), m_server.httpBase()));
    } else if (fault == "ack") {
        QVERIFY(m_server.setBehaviour("ToolClientConfigManageApi/getProToolLastUpgradePackage",
                                      {{"ack", "500"}}));
    } else if (fault == "domain") {
        QVERIFY(DevServer::writeServerConfig(m_station->path(), "127.0.0.1/", m_server.httpBase()));
    } else if (fault == "config") {
        QVERIFY(QFile::remove(stationFile("CONFIGSET.ini")));
    }

    Tovarin w;
    QSignalSpy toolCheck(&w, &Tovarin::signalMainUpdataFinished);
    w.show();
    QCOMPARE(w.m_pPopWidget->isVisible() ? w.m_pPopWidget->findChild<QLabel *>("labTitle")->text() : "",
             title);
    const bool question = title == QStringLiteral("新版本升级");
    QCOMPARE(w.m_pPopWidget->isVisible() &&
                 w.m_pPopWidget->findChild<QPushButton *>("btnConfirm")->isVisible(),
             question);
    QCOMPARE(w.m_pPopWidget->isVisible() &&
                 w.m_pPopWidget->findChild<QProgressBar *>("progressDownload")->isVisible(),
             !title.isEmpty() && !question);
    // The tool check waits for the operator's answer, or for the download to end.
    QCOMPARE(toolCheck.wait(question ? 400 : 10000), !question);
    QCOMPARE(toastText(w), QString(forced && fault.isEmpty() ? "主程序升级包下载失败" : ""));
    if (!fault.isEmpty()) {
        QCOMPARE(TestFiles::read(stationFile("UpgradePackage/UpgradeConfig.ini")), earlier);
        return;
    }
    const QJsonObject asked =
        m_server.requests("ToolClientConfigManageApi/getProToolLastUpgradePackage").at(0).toObject();
    QVERIFY(asked.value("signOk").toBool());
    QCOMPARE(DevServer::fieldValue(asked, "proToolId") + DevServer::fieldValue(asked, "controlProToolId") +
                 DevServer::fieldValue(asked, "version"),
             QString("1001001.1.1.2"));
}

void tst_TovarinSelfUpdate::answer_data() {
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<bool>("remember");

    // clang-format off
    QTest::newRow("cancel") << false << false;
    QTest::newRow("cancel, not for three days") << false << true;
    QTest::newRow("confirm, not for three days") << true << true;
    // clang-format on
}

void tst_TovarinSelfUpdate::answer() {
    QFETCH(bool, confirm);
    QFETCH(bool, remember);

    offer("1.2.0.0", false);
    Tovarin w;
    QSignalSpy toolCheck(&w, &Tovarin::signalMainUpdataFinished);
    w.show();
    QVERIFY(w.m_pPopWidget->isVisible());
    w.m_pPopWidget->findChild<QRadioButton *>("radioButton")->setChecked(remember);
    QTest::mouseClick(w.m_pPopWidget->findChild<QPushButton *>(confirm ? "btnConfirm" : "btnCancel"),
                      Qt::LeftButton);

    QVERIFY(toolCheck.wait(10000));
    QVERIFY(!w.m_pPopWidget->isVisible());
    QCOMPARE(m_server.requests("files/" + kZip).size(), confirm ? 1 : 0);
    QSettings mainSet(stationFile("MAINSET.ini"), QSettings::IniFormat);
    QCOMPARE(mainSet.value("LimitTime/UpgradeLimit").toString(),
             remember ? kNow.toString("yyyy-MM-dd hh:mm:ss") : "");
}

void tst_TovarinSelfUpdate::handOffFile_data() {
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("remark");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("exe");     // the launcher's configured program name
    QTest::addColumn<QString>("section"); // the section it hands over under

    // clang-format off
    QTest::newRow("three lines, punctuation") << "1.2.0.0" << "修复: 登录, 升级; 日志\n\"引号\" 与 'x'\n第三行" << kZip << "zip" << "Tovarin" << "Tovarin";
    QTest::newRow("exe package") << "1.2.0.0" << "一行" << kExe << "exe" << "Tovarin" << "Tovarin";
    QTest::newRow("upper-case suffix is no zip") << "1.2.0.0" << "" << "Tovarin-1.2.0.0.ZIP" << "exe" << "Tovarin" << "Tovarin";
    // No package, no URL: an empty name is no zip either.
    QTest::newRow("nothing offered") << "" << "" << kZip << "exe" << "Tovarin" << "Tovarin";
    // The updater learns the launcher's name from the section.
    QTest::newRow("launcher named otherwise") << "1.2.0.0" << "一行" << kZip << "zip" << "Kamera" << "Kamera";
    QTest::newRow("name that is a path") << "1.2.0.0" << "一行" << kZip << "zip" << "../Kamera" << "Tovarin";
    // clang-format on
}

void tst_TovarinSelfUpdate::handOffFile() {
    QFETCH(QString, offered);
    QFETCH(QString, remark);
    QFETCH(QString, file);
    QFETCH(QString, type);
    QFETCH(QString, exe);
    QFETCH(QString, section);

    writeFile(stationFile("CONFIGSET.ini"), "[Tovarin]\nID=100\nExe=" + exe.toUtf8() + "\n");
    offer(offered, false, remark, file);
    // An earlier run's keys, the updater's among them, must not survive the check.
    writeFile(stationFile("UpgradePackage/UpgradeConfig.ini"),
              "[Tovarin]\nUpgradeSucceed=1\nrecordUpgrade=1\n[X]\nx=1\n");
    Tovarin w;
    bool need = false;
    bool force = false;
    QVERIFY(w.mainAppUpdataQuery(need, force));
    QCOMPARE(need, !offered.isEmpty());

    QList<QByteArray> lines = TestFiles::read(stationFile("UpgradePackage/UpgradeConfig.ini")).split('\n');
    QCOMPARE(lines.takeFirst(), "[" + section.toUtf8() + "]");
    QCOMPARE(lines.takeLast(), QByteArray());
    // Notes of three lines stay one line, with exactly two escaped breaks.
    QCOMPARE(lines.at(2).count("\\n"), offered.isEmpty() ? 0 : remark.count('\n'));
    const QStringList expected{"versionNo=" + offered,
                               "upgradePackageType=" + type,
                               "versionRemark=" + (offered.isEmpty() ? "" : remark),
                               "loginToken=tok-operator-0001",
                               "proToolUniqId=U-LAUNCHER-100",
                               "versionUniqId=" + QString(offered.isEmpty() ? "" : "V-100-1200"),
                               "beforeUpgradeVersion=1.1.1.2",
                               "recordUpgrade=0",
                               QString("needUpgrade=") + (offered.isEmpty() ? "0" : "1")};
    QCOMPARE(lines.size(), expected.size());
    // Key order as written; values as the updater's reader gets them back.
    for (int i = 0; i < expected.size(); ++i) {
        const QString key = expected.at(i).section('=', 0, 0);
        QCOMPARE(QString::fromUtf8(lines.at(i).left(lines.at(i).indexOf('='))), key);
        QCOMPARE(key + "=" + handOff(key), expected.at(i));
    }
}

void tst_TovarinSelfUpdate::staging_data() {
    QTest::addColumn<int>("package");
    QTest::addColumn<QString>("step");    // staging step before which the files are disturbed
    QTest::addColumn<QString>("disturb"); // "file", "folder", "remove", "hidden" (a dot-file)
    QTest::addColumn<QString>("path");    // below the staging folder
    QTest::addColumn<QString>("message"); // empty: handed over

    // clang-format off
    QTest::newRow("handed over") << int(GoodPackage) << "" << "" << "" << "";
    QTest::newRow("updater cannot start") << int(UpdaterNotExecutable) << "" << "" << "" << "启动升级程序Pellock失败";
    // Hidden files (a "Thumbs.db" of the station's explorer) are removed with the rest.
    QTest::newRow("hidden file left in staging") << int(GoodPackage) << "" << "hidden" << "" << "";
    QTest::newRow("download fails") << int(NoPackage) << "" << "" << "" << "主程序升级包下载失败";
    // A download cut off at an earlier start survives the emptying of staging and is continued.
    QTest::newRow("cut-off download continued") << int(GoodPackage) << "" << "part" << "" << "";
    QTest::newRow("exe package") << int(ExePackage) << "" << "" << "" << "主程序只能从zip升级包升级";
    QTest::newRow("damaged package") << int(NotAZip) << "" << "" << "" << "解压主程序升级包到当前目录失败";
    QTest::newRow("no updater in package") << int(NoUpdater) << "" << "" << "" << "主程序升级包缺少主程序或Pellock";
    QTest::newRow("no launcher in package") << int(NoLauncher) << "" << "" << "" << "主程序升级包缺少主程序或Pellock";
    QTest::newRow("copy updater") << int(GoodPackage) << "copyUpdater" << "file" << "Pellock/Pellock" << "移动小工具文件夹到MainApp失败";
    QTest::newRow("pack updater") << int(GoodPackage) << "packUpdater" << "folder" << "Pellock.zip" << "压缩Pellock文件夹失败";
    QTest::newRow("install updater") << int(GoodPackage) << "installUpdater" << "remove" << "Pellock.zip" << "升级Pellock失败";
    QTest::newRow("hidden file in package's updater") << int(GoodPackage) << "removePackageUpdater" << "hidden" << "Tovarin/Pellock" << "";
    QTest::newRow("hidden file in staged updater") << int(GoodPackage) << "removeStagedUpdater" << "hidden" << "Pellock" << "";
    QTest::newRow("copy launcher") << int(GoodPackage) << "copyLauncher" << "file" << "Test/Tovarin/Tovarin" << "移动主程序升级包文件夹失败";
    QTest::newRow("pack launcher") << int(GoodPackage) << "packLauncher" << "folder" << "Tovarin.zip" << "压缩主程序升级包文件夹失败";
    QTest::newRow("hidden file in launcher folder") << int(GoodPackage) << "removeLauncherFolder" << "hidden" << "Tovarin" << "";
    QTest::newRow("hidden file in Test") << int(GoodPackage) << "removeTest" << "hidden" << "Test" << "";
    // clang-format on
}

void tst_TovarinSelfUpdate::staging() {
    QFETCH(int, package);
    QFETCH(QString, step);
    QFETCH(QString, disturb);
    QFETCH(QString, path);
    QFETCH(QString, message);

    offer("1.2.0.0", true, "第一行\n第二行", package == ExePackage ? kExe : kZip);
    QVERIFY(writePackage(PackageKind(package)));
    writeFile(stationFile("Pellock/Pellock"), "old updater");
    const QString target = staged(path);
    auto disturbFiles = [disturb, target] {
        if (disturb == "file") {
            QDir(target).removeRecursively();
            TestFiles::write(target, "in the way");
        } else if (disturb == "folder") {
            QFile::remove(target);
            QDir().mkpath(target + "/in-the-way");
        } else if (disturb == "remove")
            QFile::remove(target);
        else if (disturb == "hidden")
            TestFiles::write(target + "/.held", "held");
    };
    if (step.isEmpty())
        disturbFiles();
    if (disturb == "part") {
        QVERIFY(m_server.setBehaviour("files/" + kZip,
                                      QJsonObject{{"trickle", QJsonObject{{"chunkBytes", 64}, {"intervalMs", 100}}}}));
        {
            DownloadTool cut(m_server.fileUrl(kZip), staged());
            cut.startDownload("Tovarin.zip");
            QVERIFY(QTest::qWaitFor([this] { return QFileInfo(staged("Tovarin.zip.part")).size() > 0; }, 10000));
        }
        QVERIFY(m_server.clearBehaviour("files/" + kZip) && m_server.clearRequests());
    }
    Tovarin::setMainAppStagingWatcherForTesting([step, disturbFiles](const QString &now) {
        if (now == step)
            disturbFiles();
    });

    Tovarin w;
    QSignalSpy quit(&w, &Tovarin::signalForceCloseApp);
    QSignalSpy toolCheck(&w, &Tovarin::signalMainUpdataFinished);
    w.show();
    // The downloading notice has no buttons: it must go away by itself, either way.
    QVERIFY(message.isEmpty() ? quit.wait(20000) : toolCheck.wait(20000));
    QVERIFY(!w.m_pPopWidget->isVisible());
    QCOMPARE(toastText(w), message);
    QCOMPARE(quit.count() + toolCheck.count(), 1);
    const QByteArray log = TestFiles::read(stationFile("log/" + kNow.toString("yyyy-MM-dd") + ".txt"));
    QVERIFY2(log.contains(message.toUtf8()), log.constData());
    if (package != GoodPackage && package != UpdaterNotExecutable)
        return;
    if (!message.isEmpty() && package == GoodPackage) {
        QVERIFY(!QFile::exists(stationFile("Pellock/started.txt")));
        return;
    }
    // The updater came from the package, started with one empty argument (or not at all).
    QTRY_COMPARE_WITH_TIMEOUT(TestFiles::read(stationFile("Pellock/started.txt")),
                              QByteArray(message.isEmpty() ? "1|" : "<missing>"), 10000);
    QCOMPARE(TestFiles::read(stationFile("Pellock/Pellock")), kUpdater);
    QCOMPARE(w.m_pPopWidget->findChild<QProgressBar *>("progressDownload")->value(), 1000);
    // What is left for the updater: the launcher's package without the updater, and its notes.
    QCOMPARE(TestFiles::entriesBelow(staged()), QStringList({"Tovarin.zip"}));
    QStringList packed = JlCompress::getFileList(staged("Tovarin.zip"));
    packed.sort();
    QCOMPARE(packed,
             QStringList({"Tovarin/", "Tovarin/Tovarin", "Tovarin/conf/", "Tovarin/conf/station.txt"}));
    QCOMPARE(handOff("versionRemark"), QString("第一行\n第二行"));
    if (disturb == "part") {
        const QJsonArray fetched = m_server.requests("files/" + kZip);
        QCOMPARE(fetched.size(), 1);
        QVERIFY(fetched.at(0).toObject().value("headers").toObject().contains("range"));
    }
}

// What the record of earlier runs of the offered package decides: a wrong package (refused, or
// installed without changing the version) stays blocked; one whose runs failed for passing
// reasons is offered again, optional ones up to three failed runs, forced ones always.
void tst_TovarinSelfUpdate::loopGuard_data() {
    QTest::addColumn<QString>("lastUniqId");
    QTest::addColumn<QString>("lastSucceed"); // "-": no run of the package ended since the count
    QTest::addColumn<QString>("lastFailure");
    QTest::addColumn<int>("lastAttempts");
    QTest::addColumn<bool>("forced");
    QTest::addColumn<QString>("toast");    // empty: the upgrade goes ahead
    QTest::addColumn<QString>("attempts"); // the count the check records

    const QString refused = "主程序升级包1.2.0.0上次安装失败，不再自动升级";
    // clang-format off
    QTest::newRow("refused, forced") << "V-100-1200" << "0" << "refused" << 0 << true << refused << "";
    QTest::newRow("refused, offered") << "V-100-1200" << "0" << "refused" << 0 << false << refused << "";
    QTest::newRow("installed, version unchanged") << "V-100-1200" << "1" << "" << 0 << true << "主程序升级包1.2.0.0已安装过但版本未变，不再自动升级" << "";
    QTest::newRow("passing failure, offered again") << "V-100-1200" << "0" << "passing" << 0 << false << "" << "1";
    QTest::newRow("third passing failure, offered") << "V-100-1200" << "0" << "passing" << 2 << false << "主程序升级包1.2.0.0已3次安装失败，不再自动升级" << "3";
    QTest::newRow("third passing failure, forced") << "V-100-1200" << "0" << "passing" << 2 << true << "" << "3";
    QTest::newRow("failure of unknown kind counts as passing") << "V-100-1200" << "0" << "" << 0 << true << "" << "1";
    QTest::newRow("count kept while no run ended") << "V-100-1200" << "-" << "" << 2 << false << "" << "2";
    QTest::newRow("an older package was refused") << "V-100-1100" << "0" << "refused" << 2 << true << "" << "";
    // clang-format on
}

void tst_TovarinSelfUpdate::loopGuard() {
    QFETCH(QString, lastUniqId);
    QFETCH(QString, lastSucceed);
    QFETCH(QString, lastFailure);
    QFETCH(int, lastAttempts);
    QFETCH(bool, forced);
    QFETCH(QString, toast);
    QFETCH(QString, attempts);

    offer("1.2.0.0", forced);
    QByteArray last = "[Tovarin]\nversionNo=1.2.0.0\nversionUniqId=" + lastUniqId.toUtf8() + "\n";
    if (lastSucceed != "-")
        last += "UpgradeSucceed=" + lastSucceed.toUtf8() + "\nUpgradeFailure=" + lastFailure.toUtf8() + "\n";
    if (lastAttempts > 0)
        last += "failedAttempts=" + QByteArray::number(lastAttempts) + "\n";
    writeFile(stationFile("UpgradePackage/UpgradeConfig.ini"), last);

    // A blocked package stays blocked at the next start.
    for (int start = 0; start < (toast.isEmpty() ? 1 : 2); ++start) {
        Tovarin w;
        QSignalSpy toolCheck(&w, &Tovarin::signalMainUpdataFinished);
        w.show();
        if (toast.isEmpty() && !forced) {
            QVERIFY(w.m_pPopWidget->isVisible());
            QVERIFY(!toolCheck.wait(300));
        } else if (toast.isEmpty()) {
            QVERIFY(m_server.waitForRequests("files/" + kZip));
        } else {
            QVERIFY(toolCheck.wait(15000));
            QCOMPARE(m_server.requests("files/" + kZip).size(), 0);
            QCOMPARE(toastText(w), toast);
        }
        QCOMPARE(handOff("failedAttempts"), attempts);
    }
}

void tst_TovarinSelfUpdate::whileStaging_data() {
    QTest::addColumn<bool>("destroy");

    // clang-format off
    QTest::newRow("closing refused") << false;
    QTest::newRow("window destroyed") << true;
    // clang-format on
}

void tst_TovarinSelfUpdate::whileStaging() {
    QFETCH(bool, destroy);

    offer("1.2.0.0", true, "第一行\n第二行\n第三行\n第四行\n第五行\n第六行");
    QVERIFY(writePackage(GoodPackage));
    QVERIFY(
        m_server.setBehaviour("files/*", QJsonObject{{"hold", true}, {"holdMs", destroy ? 1500 : 20000}}));
    std::unique_ptr<Tovarin> w(new Tovarin);
    QSignalSpy quit(w.get(), &Tovarin::signalForceCloseApp);
    w->show();
    QVERIFY(m_server.waitForRequests("files/" + kZip));
    if (destroy) {
        // The window waits for its worker, which stops at its next step: no updater, no crash.
        w.reset();
        QVERIFY(!QFile::exists(stationFile("Pellock/Pellock")));
        return;
    }
    QVERIFY(!w->close());
    w->slotCloseWin();
    QVERIFY(w->isVisible());
    QCOMPARE(toastText(*w), QString("主程序升级中，请稍后再关闭"));

    // The downloading notice: the notes get several lines before they scroll, and the rounded
    // scroll bar's corners show the notes' grey, not a dark fill.
    QTextEdit *notes = w->m_pPopWidget->findChild<QTextEdit *>("txtboxMessage");
    QVERIFY(notes->viewport()->height() >= 7 * notes->fontMetrics().lineSpacing());
    QWidget *card = w->m_pPopWidget->findChild<QWidget *>("widgetMain");
    const QImage image = card->grab().toImage();
    if (qEnvironmentVariableIsSet("TOVARIN_SCREENSHOT_DIR"))
        image.save(qEnvironmentVariable("TOVARIN_SCREENSHOT_DIR") + "/popwidget-downloading.png");
    const QRect bar(notes->verticalScrollBar()->mapTo(card, QPoint()), notes->verticalScrollBar()->size());
    for (const QPoint &corner : {bar.topLeft(), bar.topRight(), bar.bottomLeft(), bar.bottomRight()})
        QVERIFY2(qGray(image.pixel(corner)) >= 0xC0, qPrintable(image.pixelColor(corner).name()));

    QVERIFY(m_server.release());
    QVERIFY(quit.wait(20000));
    QCOMPARE(quit.count(), 1);
}

QTEST_MAIN(tst_TovarinSelfUpdate)
#include "tst_tovarinselfupdate.moc"
