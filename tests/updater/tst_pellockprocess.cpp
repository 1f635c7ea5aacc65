// The updater as the launcher starts it: a real process in a temporary station, the stand-in
// server for its record and a stand-in launcher whose restart is written down.
#include "devserver.h"
#include "installservice.h"
#include "platform.h"
#include "updaterstation.h"

#include <QProcess>
#include <QtTest>

#include <memory>

namespace {

const char kRecordPath[] = "ToolClientConfigManageApi/recordProToolUpgrade";

} // namespace

class TstPellockProcess : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void installs_data();
    void installs();
    void refuses_data();
    void refuses();
    void killedMidInstall_data();
    void killedMidInstall();

private:
    QProcess *startUpdater(UpdaterStation &station);
    bool runUpdater(UpdaterStation &station);

    DevServer m_server;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TstPellockProcess::initTestCase() {
    QVERIFY2(m_server.start(QString(), {QStringLiteral("--no-https")}), qPrintable(m_server.lastError()));
}

void TstPellockProcess::cleanup() {
    UpdaterStation::setLauncherName(QStringLiteral("Tovarin"));
    // Every updater this test started ends here, by its own process.
    for (auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    m_processes.clear();
    m_server.clearRequests();
}

QProcess *TstPellockProcess::startUpdater(UpdaterStation &station) {
    m_processes.emplace_back(new QProcess);
    QProcess *process = m_processes.back().get();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setWorkingDirectory(station.root());
    process->start(station.updaterFolder() + QStringLiteral("/Pellock"), {QString()});
    return process->waitForStarted(10000) ? process : nullptr;
}

// Runs the updater to its end: installation, record, 5 s, launcher started.
bool TstPellockProcess::runUpdater(UpdaterStation &station) {
    QProcess *process = startUpdater(station);
    return process && process->waitForFinished(60000) && process->exitStatus() == QProcess::NormalExit &&
           process->exitCode() == 0;
}

void TstPellockProcess::installs_data() {
    QTest::addColumn<QString>("folderName");
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("upperCaseKeys");
    QTest::addColumn<bool>("serverUp");
    // launcher's spelling "upgradePackageType" read through "UpgradePackageType"
    QTest::newRow("zip") << "Tovarin"
                         << "zip" << false << true;
    QTest::newRow("exe, keys in upper case") << "Tovarin"
                                             << "exe" << true << true;
    QTest::newRow("zip, server down: installed, not recorded") << "Tovarin"
                                                               << "zip" << false << false;
    QTest::newRow("zip into a folder of another name") << "产测 Station7"
                                                       << "zip" << false << true;
    // Its name comes through the hand-off section.
    QTest::newRow("zip of a launcher named otherwise") << "Kamera"
                                                       << "zip" << false << true;
    QTest::newRow("exe of a launcher named otherwise") << "Kamera"
                                                       << "exe" << false << true;
}

void TstPellockProcess::installs() {
    QFETCH(QString, folderName);
    QFETCH(QString, type);
    QFETCH(bool, upperCaseKeys);
    QFETCH(bool, serverUp);

    UpdaterStation::setLauncherName(folderName == "Kamera" ? folderName : QStringLiteral("Tovarin"));
    UpdaterStation station(folderName);
    QVERIFY(station.isReady());
    QVERIFY(station.copyUpdater());
    QVERIFY(DevServer::writeServerConfig(
        station.launcherFolder(), serverUp
                                      ? m_server.httpBase()
                                      : QStringLiteral("http://127.0.0.1:%1/").arg(DevServer::closedPort())));
    QVERIFY(station.writeHandOff(type));
    if (upperCaseKeys) {
        QByteArray text = TestFiles::read(station.handOffPath());
        for (const QByteArray key : {"versionNo", "upgradePackageType", "loginToken", "proToolUniqId",
                                     "versionUniqId", "beforeUpgradeVersion", "needUpgrade"})
            text.replace(key + '=', key.toUpper() + '=');
        QVERIFY(TestFiles::write(station.handOffPath(), text.replace("[Tovarin]", "[TOVARIN]")));
    }
    TestFiles::Tree expected = UpdaterStation::newLauncher();
    if (type == QLatin1String("zip")) {
        QVERIFY(station.stageZip(UpdaterStation::newPackage()));
    } else {
        QVERIFY(station.stageExe(UpdaterStation::launcherScript("new")));
        expected = UpdaterStation::oldLauncher();
        expected.insert(UpdaterStation::launcherName(), UpdaterStation::launcherScript("new"));
    }

    QVERIFY(runUpdater(station));

    QCOMPARE(station.launcherTree(), expected);
    QVERIFY(!QFileInfo::exists(type == QLatin1String("zip") ? station.stagedZip() : station.stagedExe()));
    // Nothing beside the launcher's folder: no sibling unpacked, no journal left.
    QCOMPARE(
        station.rootEntries().filter(QRegularExpression(QStringLiteral("^(?!started\\.log$|.*\\.txt$)"))),
        QStringList{folderName});
    QCOMPARE(station.handOffValue(QStringLiteral("UpgradeSucceed")), QStringLiteral("1"));
    QCOMPARE(station.handOffValue(QStringLiteral("needUpgrade")), QStringLiteral("0"));
    QCOMPARE(station.handOffValue(QStringLiteral("recordUpgrade")),
             serverUp ? QStringLiteral("1") : QStringLiteral("0"));
    // The new launcher, started once with one empty argument.
    QTRY_COMPARE_WITH_TIMEOUT(station.startedLines(), QStringList{QStringLiteral("1||new")}, 10000);

    const QJsonArray records = m_server.requests(QLatin1String(kRecordPath));
    QCOMPARE(records.size(), serverUp ? 1 : 0);
    if (serverUp) {
        const QJsonObject record = records.at(0).toObject();
        QVERIFY(record.value(QStringLiteral("signOk")).toBool());
        QCOMPARE(DevServer::fieldValue(record, QStringLiteral("afterUpgradeVersion")),
                 QStringLiteral("1.1.2.0"));
        QCOMPARE(DevServer::fieldValue(record, QStringLiteral("beforeUpgradeVersion")),
                 QStringLiteral("1.1.1.2"));
        QCOMPARE(DevServer::fieldValue(record, QStringLiteral("loginToken")), QStringLiteral("token-42"));
        QCOMPARE(DevServer::fieldValue(record, QStringLiteral("proToolUniqId")), QStringLiteral("uniq-100"));
        QCOMPARE(DevServer::fieldValue(record, QStringLiteral("versionUniqId")), QStringLiteral("ver-7"));
        QVERIFY(station.logText().contains(QStringLiteral("小工具:上传mainapp升级信息成功")));
    } else {
        QVERIFY(station.logText().contains(QStringLiteral("小工具:上传mainapp升级信息失败")));
    }
    QVERIFY(station.logText().contains(QStringLiteral("小工具:主程序升级成功")));
}

void TstPellockProcess::refuses_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("package"); // 0 none, 1 damaged, 2 no launcher, 3 flat, 4 two top
                                      // folders, 5 zip as exe, 6 an entry climbing out
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("failure"); // whether offering the package again can help
    QTest::newRow("no hand-off file") << "" << 0 << "未填写类型"
                                      << "passing";
    QTest::newRow("damaged zip") << "zip" << 1 << "解压失败"
                                 << "passing";
    QTest::newRow("zip without the launcher") << "zip" << 2 << "安装包中没有主程序"
                                              << "refused";
    QTest::newRow("zip without its top folder") << "zip" << 3 << "安装包结构不符"
                                                << "refused";
    QTest::newRow("zip with two top folders") << "zip" << 4 << "安装包结构不符"
                                              << "refused";
    QTest::newRow("exe package that is an archive") << "exe" << 5 << "安装包中没有主程序"
                                                    << "refused";
    QTest::newRow("zip with an entry climbing out") << "zip" << 6 << "安装包含有不安全的文件名"
                                                    << "refused";
}

void TstPellockProcess::refuses() {
    QFETCH(QString, type);
    QFETCH(int, package);
    QFETCH(QString, reason);
    QFETCH(QString, failure);

    UpdaterStation station;
    QVERIFY(station.isReady());
    QVERIFY(station.copyUpdater());
    QVERIFY(DevServer::writeServerConfig(station.launcherFolder(), m_server.httpBase()));
    if (!type.isEmpty())
        QVERIFY(station.writeHandOff(type));
    QList<ZipEntry> entries = UpdaterStation::newPackage();
    switch (package) {
    case 1:
        QVERIFY(station.stageZip(entries));
        QVERIFY(ZipBuilder::corrupt(station.stagedZip(), "new-b"));
        break;
    case 2:
        entries.removeAt(1);
        QVERIFY(station.stageZip(entries));
        break;
    case 3:
        QVERIFY(station.stageZip(UpdaterStation::newPackage(QString())));
        break;
    case 4:
        entries << ZipEntry{QStringLiteral("Other/readme.txt"), "x"};
        QVERIFY(station.stageZip(entries));
        break;
    case 5:
        QVERIFY(station.stageZip(entries));
        QVERIFY(QFile::rename(station.stagedZip(), station.stagedExe()));
        break;
    case 6:
        entries << ZipEntry{QStringLiteral("Tovarin/../outside.txt"), "x"};
        QVERIFY(station.stageZip(entries));
        break;
    }
    const QString staged = type == QLatin1String("exe") ? station.stagedExe() : station.stagedZip();
    const QByteArray packageBefore = TestFiles::read(staged);

    QVERIFY(runUpdater(station));

    QCOMPARE(station.launcherTree(), UpdaterStation::oldLauncher());
    QCOMPARE(TestFiles::read(staged), packageBefore);
    QCOMPARE(station.handOffValue(QStringLiteral("UpgradeSucceed")), QStringLiteral("0"));
    QCOMPARE(station.handOffValue(QStringLiteral("UpgradeFailure")), failure);
    QCOMPARE(m_server.requests(QLatin1String(kRecordPath)).size(), 0);
    QVERIFY2(station.logText().contains(QStringLiteral("小工具:") + reason), qPrintable(station.logText()));
    QVERIFY(station.logText().contains(QStringLiteral("小工具:主程序升级失败")));
    // The old launcher keeps working.
    QTRY_COMPARE_WITH_TIMEOUT(station.startedLines(), QStringList{QStringLiteral("1||old")}, 10000);
}

void TstPellockProcess::killedMidInstall_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("killWhen"); // a folder in the journal; its first file is the moment
    QTest::newRow("zip, while unpacking") << "zip"
                                          << "new";
    QTest::newRow("zip, while moving files in") << "zip"
                                                << "old";
    QTest::newRow("exe, while copying") << "exe"
                                        << "new";
}

void TstPellockProcess::killedMidInstall() {
    QFETCH(QString, type);
    QFETCH(QString, killWhen);
    const bool zip = type == QLatin1String("zip");
    const int files = zip ? 3000 : 0;
    // A large launcher program: the script ends before its padding.
    const QByteArray bigLauncher =
        UpdaterStation::launcherScript("new") + "exit 0\n" + QByteArray(48 << 20, '#');
    TestFiles::Tree newTree = UpdaterStation::newLauncher(files);
    if (!zip) {
        newTree = UpdaterStation::oldLauncher();
        newTree.insert(QStringLiteral("Tovarin"), bigLauncher);
    }

    UpdaterStation station;
    QVERIFY(station.isReady());
    QVERIFY(station.copyUpdater());
    QVERIFY(DevServer::writeServerConfig(station.launcherFolder(), m_server.httpBase()));
    QVERIFY(station.writeHandOff(type));
    if (zip)
        QVERIFY(station.stageZip(UpdaterStation::newPackage(QStringLiteral("Tovarin"), files)));
    else
        QVERIFY(station.stageExe(bigLauncher));

    QProcess *first = startUpdater(station);
    QVERIFY(first);
    const QString mark =
        InstallService::journalPathOf(station.launcherFolder()) + QLatin1Char('/') + killWhen;
    // The moment is a file below the mark, not the mark itself: the folder is made just before
    // the first file arrives, and a kill between the two would find nothing touched yet.
    const auto reached = [&mark] {
        return QDirIterator(mark, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories).hasNext();
    };
    // Busy polling: the moment lasts a fraction of a second.
    QElapsedTimer waited;
    waited.start();
    while (!reached() && first->state() == QProcess::Running && waited.elapsed() < 60000)
        first->waitForFinished(1);
    QVERIFY2(reached(), "the installation never reached the moment");
    first->kill();
    QVERIFY(first->waitForFinished(5000));
    QVERIFY(station.startedLines().isEmpty());
    // The launcher's program is never missing, not even half-way.
    QVERIFY(QFileInfo(station.launcherPath()).isFile());
    if (killWhen == QLatin1String("old"))
        QVERIFY2(station.launcherTree() != UpdaterStation::oldLauncher(),
                 "killed before the folder was touched");

    // The next start settles what the killed one left before anything else; this one has
    // nothing to install, so what it leaves is the settled folder.
    QVERIFY(Platform::writeProfileString(QFile::encodeName(station.handOffPath()), QStringLiteral("Tovarin"),
                                         QStringLiteral("upgradePackageType"), QString()));
    QVERIFY(runUpdater(station));
    const TestFiles::Tree after = station.launcherTree();
    const bool isNew = after == newTree;
    QVERIFY2(isNew || after == UpdaterStation::oldLauncher(),
             "the launcher's folder is a mix of old and new");
    QVERIFY(!QFileInfo::exists(InstallService::journalPathOf(station.launcherFolder())));
    QTRY_COMPARE_WITH_TIMEOUT(station.startedLines(),
                              QStringList{isNew ? QStringLiteral("1||new") : QStringLiteral("1||old")},
                              10000);
    qInfo("settled as the %s launcher", isNew ? "new" : "old");
}

QTEST_GUILESS_MAIN(TstPellockProcess)
#include "tst_pellockprocess.moc"
