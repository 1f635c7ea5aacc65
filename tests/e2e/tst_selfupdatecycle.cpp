// The launcher's self-update from end to end with the real updater. The old launcher runs in
// this process, so that its login and its pop-up's buttons can be pressed without a display:
// through its own start-up (guard, login against the stand-in server, main window) where no
// other launcher runs, as a bare main window with the server's token where a real old launcher
// process is kept running beside it. It finds a newer launcher package built from this build's
// Tovarin and Pellock, stages it, starts the real Pellock and quits; Pellock installs the
// package over the station, reports it and starts the real Tovarin again, which runs offscreen
// and is only seen running.
#include "applicationfolder.h"
#include "devserver.h"
#include "globals.h"
#include "imageresources.h"
#include "installservice.h"
#include "kovalogin.h"
#include "packagesigner.h"
#include "platform.h"
#include "poptextwidget.h"
#include "startup.h"
#include "testpaths.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"
#include "zipbuilder.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTextCodec>
#include <QtTest>

#include <signal.h>
#include <sys/stat.h>

namespace {

const QString kZip = QStringLiteral("Tovarin-1.2.0.0.zip");
const QString kToken = QStringLiteral("tok-operator-0001");
const QByteArray kMarker = "launcher 1.2.0.0";
const QByteArray kUpdaterMarker = "updater 1.2.0.0";
const QString kInstalledAgain = QStringLiteral("主程序升级包1.2.0.0已安装过但版本未变，不再自动升级");

enum class Answer { Forced, Confirm, Cancel, Postpone };
enum class Fault { None, SlowLauncher, DamagedWhileWaiting, NoUpdaterInPackage };

// Processes whose program is the given file (a replaced program still counts as its path).
QList<qint64> processesOf(const QString &program) {
    QList<qint64> pids;
    const QString wanted = QFileInfo(program).absoluteFilePath();
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry));
        exe.remove(QStringLiteral(" (deleted)"));
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        const bool zombie = stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
        if (!zombie && exe == wanted)
            pids << pid;
    }
    return pids;
}

} // namespace

Q_DECLARE_METATYPE(Answer)
Q_DECLARE_METATYPE(Fault)

class tst_SelfUpdateCycle : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void cycle_data();
    void cycle();
    void signedPackage_data();
    void signedPackage();
    void killedMidInstall();
    void launcherStartedDuringInstall();

private:
    QString stationFile(const QString &name) const { return m_station->path() + QLatin1Char('/') + name; }
    QString handOff(const QString &key) const;
    void offer(bool forced, int offerTimes = 0);
    bool writePackage(const QList<ZipEntry> &extra = {}, bool withUpdater = true);
    QProcess *startOldLauncher();
    bool handOverUntilUnpacking(int files);
    int runLauncherAndLogIn(Answer answer);
    void endAll(const QString &program);
    bool waitForRestartedLauncher();
    void expectInstalled(int extraFiles = 0);

    QTemporaryDir m_ipcDir;
    DevServer m_server;
    std::unique_ptr<QTemporaryDir> m_station;
    QByteArray m_launcherBytes;
    QByteArray m_updaterBytes;
    QString m_previousCurrent;
    PackageSigner m_factory; // the stand-in server signs with it
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void tst_SelfUpdateCycle::initTestCase() {
    initImageResources();
    // The restarted launchers' single-instance key, away from any other launcher.
    QVERIFY(m_ipcDir.isValid());
    qputenv("TMPDIR", QFile::encodeName(m_ipcDir.path()));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QFile launcher(TestPaths::programPath("Tovarin"));
    QFile updater(TestPaths::programPath("Pellock"));
    QVERIFY2(launcher.open(QIODevice::ReadOnly) && updater.open(QIODevice::ReadOnly),
             "build the Tovarin and Pellock programs first");
    m_launcherBytes = launcher.readAll();
    m_updaterBytes = updater.readAll();
    const QString pem = m_ipcDir.filePath("factory.pem");
    QVERIFY(m_factory.writePem(pem));
    QVERIFY2(m_server.start(QString(), {"--signing-key", pem}), qPrintable(m_server.lastError()));
}

void tst_SelfUpdateCycle::cleanupTestCase() {
    for (const char *key : {"SingleApp", "SingleAppLock"})
        QSystemSemaphore(QString::fromLatin1(key), 1, QSystemSemaphore::Create);
}

void tst_SelfUpdateCycle::init() {
    QVERIFY(m_server.reset());
    QFile::remove(m_server.filesDir() + QLatin1Char('/') + kZip);
    QFile::remove(m_server.filesDir() + QLatin1Char('/') + kZip + QStringLiteral(".sig"));
    m_station.reset(new QTemporaryDir);
    QVERIFY(m_station->isValid());
    writeFile(stationFile("Tovarin"), m_launcherBytes);
    writeFile(stationFile("Pellock/Pellock"), m_updaterBytes);
    for (const char *program : {"Tovarin", "Pellock/Pellock"})
        QVERIFY(QFile::setPermissions(stationFile(program),
                                      QFile::permissions(stationFile(program)) | QFile::ExeOwner));
    writeFile(stationFile("CONFIGSET.ini"),
              "[MainConfig]\nbEmpWorkCheck=false\n\n[Tovarin]\nID=100\nExe=Tovarin\n");
    writeFile(stationFile("MAINSET.ini"), "[UISetting]\nbClosePop=false\n");
    QVERIFY(DevServer::writeServerConfig(m_station->path(), m_server.httpBase()));
    ApplicationFolder::setPathForTesting(m_station->path());
    m_previousCurrent = QDir::currentPath();
    // The updater inherits it and writes its log there.
    QDir::setCurrent(m_station->path());
    m_szLoginToken = kToken;
}

void tst_SelfUpdateCycle::cleanup() {
    for (auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    m_processes.clear();
    endAll(stationFile("Pellock/Pellock"));
    endAll(stationFile("Tovarin"));
    QSharedMemory orphan(QStringLiteral("SingleApp"));
    if (orphan.attach())
        orphan.detach();
    QDir::setCurrent(m_previousCurrent);
    ApplicationFolder::setPathForTesting(QString());
    m_station.reset();
}

QString tst_SelfUpdateCycle::handOff(const QString &key) const {
    QSettings settings(stationFile("UpgradePackage/UpgradeConfig.ini"), QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
    return settings.value(Platform::findProfileKey(settings, "Tovarin", key), "<none>").toString();
}

// Launcher 1.2.0.0, offered to this version every time (offerTimes 0) or at most that often.
void tst_SelfUpdateCycle::offer(bool forced, int offerTimes) {
    QJsonObject data = DevServer::demoData();
    QJsonArray tools = data.value("tools").toArray();
    QJsonObject launcher = tools.at(0).toObject();
    QCOMPARE(launcher.value("proToolId").toString(), QString("100"));
    QJsonObject package{{"versionNo", "1.2.0.0"},
                        {"versionUniqId", "V-100-1200"},
                        {"forceUpgrade", forced ? 1 : 0},
                        {"versionRemark", "修复升级\n\n新增标记"},
                        {"file", kZip},
                        {"offer", "always"}};
    if (offerTimes > 0)
        package.insert("offerTimes", offerTimes);
    launcher.insert("package", package);
    tools.replace(0, launcher);
    data.insert("tools", tools);
    QVERIFY(m_server.setData(data));
}

// The launcher package as it is published: the folder "Tovarin" with the launcher, a marker,
// and the updater in "Tovarin/Pellock".
bool tst_SelfUpdateCycle::writePackage(const QList<ZipEntry> &extra, bool withUpdater) {
    QList<ZipEntry> entries{{"Tovarin/", {}, ZipEntry::Folder, 0},
                            {"Tovarin/Tovarin", m_launcherBytes, ZipEntry::File, 0755},
                            {"Tovarin/marker.txt", kMarker, ZipEntry::File, 0}};
    if (withUpdater)
        entries << ZipEntry{"Tovarin/Pellock/", {}, ZipEntry::Folder, 0}
                << ZipEntry{"Tovarin/Pellock/Pellock", m_updaterBytes, ZipEntry::File, 0755}
                << ZipEntry{"Tovarin/Pellock/marker.txt", kUpdaterMarker, ZipEntry::File, 0};
    return ZipBuilder::write(m_server.filesDir() + QLatin1Char('/') + kZip, entries + extra);
}

// The station's own launcher, started before the hand-off and still running (at its login).
QProcess *tst_SelfUpdateCycle::startOldLauncher() {
    m_processes.emplace_back(new QProcess);
    QProcess *process = m_processes.back().get();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setWorkingDirectory(m_station->path());
    process->start(stationFile("Tovarin"), QStringList());
    return process->waitForStarted(10000) ? process : nullptr;
}

// The launcher's start-up as its main() runs it: the operator logs in with the demo account
// and answers the offer; returns the event loop's result once the launcher asked to quit.
int tst_SelfUpdateCycle::runLauncherAndLogIn(Answer answer) {
    bool loginPressed = false;
    bool answered = answer == Answer::Forced;
    QTimer operatorHand;
    // Each press runs inside the window's own waits: the flags keep it to one of each.
    connect(&operatorHand, &QTimer::timeout, this, [&] {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            auto *login = qobject_cast<KovaLogin *>(top);
            if (login && login->isVisible() && !loginPressed) {
                loginPressed = true;
                login->findChild<QLineEdit *>("lineAccount")->setText(DevServer::demoAccount());
                login->findChild<QLineEdit *>("linePassword")->setText(DevServer::demoPassword());
                QTest::mouseClick(login->findChild<QPushButton *>("qbtnLogin"), Qt::LeftButton);
                return;
            }
            auto *window = qobject_cast<Tovarin *>(top);
            QPushButton *confirm =
                window ? window->m_pPopWidget->findChild<QPushButton *>("btnConfirm") : nullptr;
            if (!answered && confirm && confirm->isVisible()) {
                answered = true;
                QTest::mouseClick(confirm, Qt::LeftButton);
                return;
            }
        }
    });
    operatorHand.start(20);
    // A launcher that never asks to quit fails the case instead of hanging it.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, qApp, [] { qApp->exit(99); });
    watchdog.start(60000);
    return runLauncher(*qobject_cast<QApplication *>(qApp));
}

// Processes the programs started detached: found by their program file, ended by their id.
void tst_SelfUpdateCycle::endAll(const QString &program) {
    for (qint64 pid : processesOf(program))
        ::kill(pid_t(pid), SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(processesOf(program).isEmpty(), 5000);
}

bool tst_SelfUpdateCycle::waitForRestartedLauncher() {
    // The updater restarts the launcher 5 s after the installation, then ends.
    return QTest::qWaitFor([this] { return !processesOf(stationFile("Tovarin")).isEmpty(); }, 30000) &&
           QTest::qWaitFor([this] { return processesOf(stationFile("Pellock/Pellock")).isEmpty(); }, 10000);
}

void tst_SelfUpdateCycle::expectInstalled(int extraFiles) {
    QCOMPARE(TestFiles::read(stationFile("marker.txt")), kMarker);
    QCOMPARE(TestFiles::read(stationFile("Tovarin")), m_launcherBytes);
    QVERIFY(QFileInfo(stationFile("Tovarin")).isExecutable());
    for (int i = 0; i < extraFiles; ++i)
        QCOMPARE(TestFiles::read(stationFile(QString("data/f%1.bin").arg(i))),
                 QByteArray(2048, char('a' + i % 26)));
    // The launcher refreshed the updater from the package before handing over.
    QCOMPARE(TestFiles::read(stationFile("Pellock/marker.txt")), kUpdaterMarker);
    QCOMPARE(TestFiles::read(stationFile("Pellock/Pellock")), m_updaterBytes);
    // Everything consumed: no package, no journal of the installation.
    QCOMPARE(TestFiles::entriesBelow(stationFile("UpgradePackage/MainApp")), QStringList());
    QVERIFY(!QFileInfo::exists(InstallService::journalPathOf(m_station->path())));
    QCOMPARE(handOff("UpgradeSucceed"), QString("1"));
    QCOMPARE(handOff("recordUpgrade"), QString("1"));
    QCOMPARE(handOff("needUpgrade"), QString("0"));
    const QJsonArray records = m_server.requests("ToolClientConfigManageApi/recordProToolUpgrade");
    QCOMPARE(records.size(), 1);
    const QJsonObject record = records.at(0).toObject();
    QVERIFY(record.value("signOk").toBool());
    QCOMPARE(DevServer::fieldValue(record, "loginToken"), kToken);
    QCOMPARE(DevServer::fieldValue(record, "versionUniqId"), QString("V-100-1200"));
    QCOMPARE(DevServer::fieldValue(record, "beforeUpgradeVersion") + " -> " +
                 DevServer::fieldValue(record, "afterUpgradeVersion"),
             QString("1.1.1.2 -> 1.2.0.0"));
}

void tst_SelfUpdateCycle::cycle_data() {
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<bool>("startUp"); // through the launcher's start-up and login
    QTest::addColumn<bool>("handedOver");
    QTest::addColumn<bool>("installed");

    // clang-format off
    QTest::newRow("forced") << Answer::Forced << Fault::None << true << true << true;
    QTest::newRow("optional, accepted") << Answer::Confirm << Fault::None << true << true << true;
    QTest::newRow("optional, declined") << Answer::Cancel << Fault::None << false << false << false;
    QTest::newRow("optional, postponed") << Answer::Postpone << Fault::None << false << false << false;
    QTest::newRow("no updater in the package") << Answer::Forced << Fault::NoUpdaterInPackage << false << false << false;
    QTest::newRow("launcher slow to exit") << Answer::Forced << Fault::SlowLauncher << false << true << true;
    QTest::newRow("package damaged while the updater waits") << Answer::Forced << Fault::DamagedWhileWaiting << false << true << false;
    // clang-format on
}

void tst_SelfUpdateCycle::cycle() {
    QFETCH(Answer, answer);
    QFETCH(Fault, fault);
    QFETCH(bool, startUp);
    QFETCH(bool, handedOver);
    QFETCH(bool, installed);

    offer(answer == Answer::Forced);
    QVERIFY(writePackage({}, fault != Fault::NoUpdaterInPackage));
    QProcess *oldLauncher = nullptr;
    if (fault == Fault::SlowLauncher || fault == Fault::DamagedWhileWaiting) {
        oldLauncher = startOldLauncher();
        QVERIFY(oldLauncher);
    }
    const TestFiles::Tree before = TestFiles::snapshot(m_station->path());

    if (startUp) {
        m_szLoginToken.clear();
        QCOMPARE(runLauncherAndLogIn(answer), 0);
        const QJsonArray logins = m_server.requests("ToolClientConfigManageApi/toolLogin");
        QCOMPARE(logins.size(), 1);
        QVERIFY(logins.at(0).toObject().value("signOk").toBool());
        QCOMPARE(handOff("loginToken"), kToken);
    } else {
        Tovarin w;
        QSignalSpy quit(&w, &Tovarin::signalForceCloseApp);
        QSignalSpy toolCheck(&w, &Tovarin::signalMainUpdataFinished);
        w.show();
        QVERIFY(w.m_pPopWidget->isVisible());
        if (answer != Answer::Forced) {
            w.m_pPopWidget->findChild<QRadioButton *>("radioButton")->setChecked(answer == Answer::Postpone);
            QTest::mouseClick(w.m_pPopWidget->findChild<QPushButton *>(
                                  answer == Answer::Confirm ? "btnConfirm" : "btnCancel"),
                              Qt::LeftButton);
        }
        if (!handedOver) {
            // The launcher carries on with its pages and tools, and does not quit.
            QVERIFY(toolCheck.wait(30000));
            QCOMPARE(quit.count(), 0);
            QCOMPARE(m_server.requests("files/" + kZip).size(), fault == Fault::NoUpdaterInPackage ? 1 : 0);
            QCOMPARE(toastText(w),
                     QString(fault == Fault::NoUpdaterInPackage ? "主程序升级包缺少主程序或Pellock" : ""));
            QVERIFY(processesOf(stationFile("Pellock/Pellock")).isEmpty());
            QCOMPARE(TestFiles::read(stationFile("Tovarin")), m_launcherBytes);
            QVERIFY(!QFileInfo::exists(stationFile("marker.txt")));
            QCOMPARE(handOff("needUpgrade"), QString("1"));
            if (fault == Fault::NoUpdaterInPackage) {
                // A wrong package: refused, and not fetched again at the next start.
                QCOMPARE(handOff("UpgradeFailure"), QString("refused"));
                Tovarin again;
                QSignalSpy againChecked(&again, &Tovarin::signalMainUpdataFinished);
                again.show();
                QVERIFY(againChecked.wait(15000));
                QCOMPARE(toastText(again), QString("主程序升级包1.2.0.0上次安装失败，不再自动升级"));
                QCOMPARE(m_server.requests("files/" + kZip).size(), 1);
            } else {
                QCOMPARE(handOff("UpgradeSucceed"), QString("<none>"));
            }
        } else {
            QVERIFY(quit.wait(60000));
            QCOMPARE(toolCheck.count(), 0);
        }
    }
    if (answer == Answer::Postpone) {
        // Not asked again within three days.
        Tovarin w;
        QSignalSpy toolCheck(&w, &Tovarin::signalMainUpdataFinished);
        w.show();
        QVERIFY(!w.m_pPopWidget->isVisible());
        QVERIFY(toolCheck.wait(10000));
    }
    if (!handedOver)
        return;

    QVERIFY(
        QTest::qWaitFor([this] { return !processesOf(stationFile("Pellock/Pellock")).isEmpty(); }, 10000) ||
        handOff("UpgradeSucceed") != "<none>");
    if (oldLauncher) {
        // The updater keeps waiting while the old launcher runs: nothing is installed or written.
        QVERIFY(!QTest::qWaitFor([this] { return handOff("UpgradeSucceed") != "<none>"; }, 3000));
        QVERIFY(!QFileInfo::exists(stationFile("marker.txt")));
        if (fault == Fault::DamagedWhileWaiting) {
            // Cut short, as by a full disk or a copy gone wrong.
            const QString staged = stationFile("UpgradePackage/MainApp/Tovarin.zip");
            const QByteArray bytes = TestFiles::read(staged);
            QVERIFY(bytes.size() > 1000);
            writeFile(staged, bytes.left(bytes.size() / 2));
        }
        oldLauncher->terminate();
        QVERIFY(oldLauncher->waitForFinished(10000));
    }
    QTRY_VERIFY_WITH_TIMEOUT(handOff("UpgradeSucceed") != "<none>", 30000);
    QVERIFY(waitForRestartedLauncher());
    endAll(stationFile("Tovarin"));

    if (!installed) {
        QCOMPARE(handOff("UpgradeSucceed"), QString("0"));
        QCOMPARE(handOff("recordUpgrade"), QString("0"));
        QCOMPARE(m_server.requests("ToolClientConfigManageApi/recordProToolUpgrade").size(), 0);
        QVERIFY(!QFileInfo::exists(stationFile("marker.txt")));
        QCOMPARE(TestFiles::read(stationFile("Tovarin")), m_launcherBytes);
        QCOMPARE(handOff("UpgradeFailure"), QString("passing"));
        // A damage in passing: the next start fetches the package again and the updater installs it.
        {
            Tovarin w;
            QSignalSpy quit(&w, &Tovarin::signalForceCloseApp);
            w.show();
            QVERIFY(quit.wait(60000));
            QCOMPARE(handOff("failedAttempts"), QString("1"));
        }
        QCOMPARE(m_server.requests("files/" + kZip).size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(handOff("UpgradeSucceed") != "<none>", 30000);
        QVERIFY(waitForRestartedLauncher());
        endAll(stationFile("Tovarin"));
        expectInstalled();
        return;
    }
    expectInstalled();
    // A station without keys installs as before, and both programs say the package went unchecked.
    QString logs;
    for (const QString &log : TestFiles::entriesBelow(m_station->path(), QDir::Files).filter(".txt"))
        logs += QString::fromUtf8(TestFiles::read(stationFile(log)));
    QVERIFY(logs.contains(QRegularExpression("(?<!小工具:)主程序升级包未经签名验证")));
    QVERIFY(logs.contains("小工具:主程序升级包未经签名验证"));
    // What the old launcher did not own stays as it was.
    const TestFiles::Tree after = TestFiles::snapshot(m_station->path());
    for (const char *kept : {"CONFIGSET.ini", "serverConfig.ini"})
        QCOMPARE(after.value(kept), before.value(kept));

    // The same package is offered again to the same version; the new launcher does not take it.
    Tovarin w;
    QSignalSpy quit(&w, &Tovarin::signalForceCloseApp);
    QSignalSpy toolCheck(&w, &Tovarin::signalMainUpdataFinished);
    w.show();
    QVERIFY(toolCheck.wait(15000));
    QCOMPARE(quit.count(), 0);
    QCOMPARE(toastText(w), kInstalledAgain);
    QCOMPARE(m_server.requests("files/" + kZip).size(), 1);
    QCOMPARE(m_server.offerCount("100"), 2);
}

// A station with "PackageKeys": the launcher checks the package before staging it, and the
// updater checks the staged package again before it writes anything.
void tst_SelfUpdateCycle::signedPackage_data() {
    QTest::addColumn<QString>("fault"); // "", "other key", "staged package replaced"
    QTest::newRow("signed well") << "";
    QTest::newRow("signed with another key") << "other key";
    QTest::newRow("staged package replaced while the updater waits") << "staged package replaced";
}

void tst_SelfUpdateCycle::signedPackage() {
    QFETCH(QString, fault);
    writeFile(stationFile("CONFIGSET.ini"), "[MainConfig]\nbEmpWorkCheck=false\n\n[Tovarin]\nID=100\nExe=Tovarin\n"
                                            "PackageKeys=" + m_factory.keyLine().toLatin1() + "\n");
    offer(true);
    QVERIFY(writePackage());
    // The server signs what it serves; a signature lying beside the package is served instead.
    if (fault == "other key")
        QVERIFY(PackageSigner().signFile(m_server.filesDir() + QLatin1Char('/') + kZip));
    QProcess *oldLauncher = fault == "staged package replaced" ? startOldLauncher() : nullptr;
    {
        Tovarin w;
        QSignalSpy quit(&w, &Tovarin::signalForceCloseApp);
        QSignalSpy toolCheck(&w, &Tovarin::signalMainUpdataFinished);
        w.show();
        if (fault == "other key") {
            // Refused before anything is unpacked; the launcher goes on with its pages.
            QVERIFY(toolCheck.wait(30000));
            QCOMPARE(quit.count(), 0);
            QCOMPARE(toastText(w), QString("主程序升级包签名验证失败，未安装"));
            QCOMPARE(handOff("UpgradeFailure"), QString("refused"));
            QCOMPARE(m_server.requests("files/" + kZip + ".sig").size(), 1);
            QCOMPARE(TestFiles::read(stationFile("Pellock/Pellock")), m_updaterBytes);
            QVERIFY(!QFileInfo::exists(stationFile("Pellock/marker.txt")));
            QCOMPARE(TestFiles::entriesBelow(stationFile("UpgradePackage/MainApp")), QStringList());
            return;
        }
        QVERIFY(quit.wait(60000));
    }
    if (oldLauncher) {
        QVERIFY(QTest::qWaitFor([this] { return !processesOf(stationFile("Pellock/Pellock")).isEmpty(); }, 10000));
        // Another package of the right shape, staged in place of the verified one.
        const QString staged = stationFile("UpgradePackage/MainApp/Tovarin.zip");
        QVERIFY(QFileInfo::exists(staged + ".sig"));
        QVERIFY(ZipBuilder::write(staged, {{"Tovarin/", {}, ZipEntry::Folder, 0},
                                           {"Tovarin/Tovarin", m_launcherBytes, ZipEntry::File, 0755},
                                           {"Tovarin/marker.txt", "planted", ZipEntry::File, 0}}));
        oldLauncher->terminate();
        QVERIFY(oldLauncher->waitForFinished(10000));
    }
    QTRY_VERIFY_WITH_TIMEOUT(handOff("UpgradeSucceed") != "<none>", 30000);
    QVERIFY(waitForRestartedLauncher());
    endAll(stationFile("Tovarin"));
    if (oldLauncher) {
        QCOMPARE(handOff("UpgradeSucceed"), QString("0"));
        QCOMPARE(handOff("UpgradeFailure"), QString("refused"));
        QVERIFY(!QFileInfo::exists(stationFile("marker.txt")));
        QCOMPARE(TestFiles::read(stationFile("Tovarin")), m_launcherBytes);
        QCOMPARE(m_server.requests("ToolClientConfigManageApi/recordProToolUpgrade").size(), 0);
        return;
    }
    // Installed from the package as signed, the updater's folder left to the launcher's refresh.
    expectInstalled();
}

// A forced package of that many extra files, handed over to the real updater; returns once the
// updater is unpacking it into its journal.
bool tst_SelfUpdateCycle::handOverUntilUnpacking(int files) {
    QList<ZipEntry> extra{{"Tovarin/data/", {}, ZipEntry::Folder, 0}};
    for (int i = 0; i < files; ++i)
        extra << ZipEntry{QString("Tovarin/data/f%1.bin").arg(i), QByteArray(2048, char('a' + i % 26)),
                          ZipEntry::File, 0};
    offer(true);
    if (!writePackage(extra))
        return false;
    {
        Tovarin w;
        QSignalSpy quit(&w, &Tovarin::signalForceCloseApp);
        w.show();
        if (!quit.wait(60000))
            return false;
    }
    const QString mark = InstallService::journalPathOf(m_station->path()) + QStringLiteral("/new");
    QElapsedTimer waited;
    waited.start();
    // Busy polling: the moment lasts a fraction of a second.
    while (!QFileInfo::exists(mark) && waited.elapsed() < 60000)
        QTest::qWait(1);
    return QFileInfo::exists(mark);
}

void tst_SelfUpdateCycle::killedMidInstall() {
    // Enough files that the installation lasts long enough to be interrupted.
    const int files = 800;
    QVERIFY2(handOverUntilUnpacking(files), "the installation never started");
    endAll(stationFile("Pellock/Pellock"));
    QVERIFY(processesOf(stationFile("Tovarin")).isEmpty());
    QVERIFY(QFileInfo(stationFile("Tovarin")).isFile());

    // Started again by hand: it settles the interrupted installation, then finishes the job.
    m_processes.emplace_back(new QProcess);
    QProcess *again = m_processes.back().get();
    again->setWorkingDirectory(m_station->path());
    again->setStandardOutputFile(QProcess::nullDevice());
    again->setStandardErrorFile(QProcess::nullDevice());
    again->start(stationFile("Pellock/Pellock"), QStringList{QString()});
    QVERIFY(again->waitForStarted(10000));
    QVERIFY(again->waitForFinished(60000));
    QVERIFY(waitForRestartedLauncher());
    endAll(stationFile("Tovarin"));
    expectInstalled(files);
}

void tst_SelfUpdateCycle::launcherStartedDuringInstall() {
    // Long enough an installation that a launcher started by hand meets it half-way.
    const int files = 4000;
    QVERIFY2(handOverUntilUnpacking(files), "the installation never started");

    m_processes.emplace_back(new QProcess);
    QProcess *byHand = m_processes.back().get();
    byHand->setWorkingDirectory(m_station->path());
    byHand->setStandardOutputFile(QProcess::nullDevice());
    byHand->setReadChannel(QProcess::StandardError);
    byHand->start(stationFile("Tovarin"), QStringList());
    QVERIFY(byHand->waitForStarted(10000));
    QVERIFY(QTest::qWaitFor([&] { return processesOf(stationFile("Pellock/Pellock")).isEmpty(); }, 60000));
    QVERIFY2(QTest::qWaitFor([&] { return byHand->peek(1 << 20).contains("登录窗口已显示"); }, 20000),
             qPrintable(QString("the launcher started by hand never reached its login (%1, exit %2):\n%3")
                            .arg(byHand->state() == QProcess::Running ? "running" : "ended")
                            .arg(byHand->exitCode())
                            .arg(QString::fromUtf8(byHand->peek(1 << 20)))));
    const QByteArray said = byHand->readAllStandardError();
    QVERIFY2(said.contains("等待安装结束"), "the launcher did not meet the installation");
    // It took the updater's journal for nothing of its own: the folder is wholly new, and the
    // updater left the running launcher alone instead of starting a second one.
    expectInstalled(files);
    QCOMPARE(byHand->state(), QProcess::Running);
    // It runs the replaced program; a second launcher would run the new one, the file now there.
    struct stat now {};
    QVERIFY(::stat(QFile::encodeName(stationFile("Tovarin")).constData(), &now) == 0);
    for (qint64 pid : processesOf(stationFile("Tovarin"))) {
        struct stat running {};
        QVERIFY(::stat(QByteArray("/proc/") + QByteArray::number(pid) + "/exe", &running) == 0);
        QVERIFY2(running.st_ino != now.st_ino || running.st_dev != now.st_dev, "a second launcher runs");
    }
}

QTEST_MAIN(tst_SelfUpdateCycle)
#include "tst_selfupdatecycle.moc"
