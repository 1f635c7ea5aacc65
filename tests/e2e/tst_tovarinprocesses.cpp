// Starting, refusing and ending real tool processes from the tool page, closing the launcher,
// and the toast's size and time.
#include "applicationfolder.h"
#include "frametop.h"
#include "platform.h"
#include "popclosewidget.h"
#include "poptextwidget.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"
#include "ui_tovarin.h"

#include <QCloseEvent>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <unistd.h>

namespace {

const QStringList kToolKeys = {
    "IPCProductCheck", "BPC",         "IPCamSuite",      "IPCTestMulti", "MACSetting",   "WifiModuleTest",
    "XVRProductCheck", "PPCFocus",    "PPCAirTight",     "CompareLabel", "PrintSNLabel", "BoxWeightCheck",
    "PPCPackage",      "WeightCheck", "WifiConnectTool", "JBM"};

// Program names unique to this run, so parallel test runs never end each other's tools.
QString exeOf(const QString &key) {
    return QStringLiteral("tv%1%2").arg(QCoreApplication::applicationPid()).arg(key);
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool running(const QString &image) {
    return Platform::listRunningImages().contains(image);
}

// Similar names: another program whose name ends with the tool's ("xJBM") or begins with it
// ("JBMonitor") runs meanwhile.
enum Preparation { Installed, NotInstalled, ScriptBlocked, LongerNameRunning, PrefixNameRunning };

// The other program of a similar-name case.
QString similarName(int preparation, const QString &exe) {
    return preparation == LongerNameRunning ? "x" + exe : exe + "onitor";
}

} // namespace

class tst_TovarinProcesses : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startRules_data();
    void startRules();
    void startScriptWrittenOnce();
    void quickPressesStartOnce_data();
    void quickPressesStartOnce();
    void existingScriptReused_data();
    void existingScriptReused();
    void closing_data();
    void closing();
    void toolThatCannotBeEnded_data();
    void toolThatCannotBeEnded();
    void toast_data();
    void toast();

private:
    QString stationFile(const QString &name) const { return m_station->path() + QLatin1Char('/') + name; }
    QString toolFolder(const QString &key) const { return stationFile(key) + QLatin1Char('/'); }
    QString scriptOf(const QString &key) const { return toolFolder(key) + Platform::toolStartScriptName(); }
    // A tool program that runs until it is ended.
    void install(const QString &key, const QString &exe);
    std::unique_ptr<Tovarin> toolPageWindow(const QByteArray &extraMainSet = QByteArray());
    toolButton *tileOf(Tovarin &w, const QString &key);
    void press(Tovarin &w, const QString &key);
    QVariant stored(const QString &key) const;

    std::unique_ptr<QTemporaryDir> m_station;
    QString m_previousCurrent;
    QStringList m_started;
};

void tst_TovarinProcesses::init() {
    m_station.reset(new QTemporaryDir);
    QVERIFY(m_station->isValid());
    ApplicationFolder::setPathForTesting(m_station->path());
    m_previousCurrent = QDir::currentPath();
    QDir::setCurrent(m_station->path());

    QByteArray config = "[MainConfig]\nbEmpWorkCheck=false\n";
    for (int i = 0; i < kToolKeys.size(); ++i) {
        const QByteArray key = kToolKeys.at(i).toUtf8();
        config += "[" + key + "]\nID=" + QByteArray::number(101 + i) + "\nPath=./" + key +
                  "/\nExe=" + exeOf(kToolKeys.at(i)).toUtf8() + "\n";
    }
    writeFile(stationFile("CONFIGSET.ini"), config);
    m_started.clear();
}

void tst_TovarinProcesses::cleanup() {
    for (const QString &image : qAsConst(m_started))
        Platform::forceEndImage(image);
    QDir::setCurrent(m_previousCurrent);
    ApplicationFolder::setPathForTesting(QString());
    m_station.reset();
}

void tst_TovarinProcesses::install(const QString &key, const QString &exe) {
    QVERIFY(QDir().mkpath(toolFolder(key)));
    const QString program = toolFolder(key) + exe;
    QVERIFY(QFile::copy(SLEEPER_PROGRAM, program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner));
    m_started << exe;
}

std::unique_ptr<Tovarin> tst_TovarinProcesses::toolPageWindow(const QByteArray &extraMainSet) {
    writeFile(stationFile("MAINSET.ini"),
              "[UserInfo]\nUserPosition=P1\nUserLinePosition=L1\nUserWorkPosition=W1\n"
              "[SelectedTools]\ntool1=101\ntool2=102\ntool3=103\ntool4=115\ntool5=116\n" +
                  extraMainSet);
    std::unique_ptr<Tovarin> w(new Tovarin);
    w->show();
    if (!QTest::qWaitForWindowExposed(w.get()) || w->ui->widgetMain->currentWidget() != w->ui->qwidgetTool)
        return nullptr;
    return w;
}

toolButton *tst_TovarinProcesses::tileOf(Tovarin &w, const QString &key) {
    for (toolButton *tile : qAsConst(w.m_vecToolButtons)) {
        if (tile->m_btnInfo.m_szToolKey == key)
            return tile;
    }
    return nullptr;
}

void tst_TovarinProcesses::press(Tovarin &w, const QString &key) {
    toolButton *tile = tileOf(w, key);
    QVERIFY(tile);
    QTest::mouseClick(tile->findChild<QPushButton *>("btnMain"), Qt::LeftButton);
}

QVariant tst_TovarinProcesses::stored(const QString &key) const {
    QSettings settings(stationFile("MAINSET.ini"), QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
    return settings.value(key);
}

void tst_TovarinProcesses::startRules_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("localPath");
    QTest::addColumn<QString>("pid");
    QTest::addColumn<int>("productType");
    QTest::addColumn<int>("ownerId");
    QTest::addColumn<QString>("ownerName");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("preparation");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("starts");

    const QString conf = "conf/A100";
    QTest::newRow("mains tool without product")
        << "IPCProductCheck" << QString() << QString() << 1 << 5 << "客户甲" << 0 << int(Installed)
        << "请选择产品后再开始产测" << false;
    QTest::newRow("low-power tool with mains product")
        << "BPC" << conf << QString() << 1 << 5 << "客户甲" << 0 << int(Installed)
        << "选择的产品是常电类型,无法选择低功耗工具测试，请重新选择" << false;
    QTest::newRow("mains tool with low-power product")
        << "IPCProductCheck" << conf << QString() << 0 << 5 << "客户甲" << 0 << int(Installed)
        << "选择的产品是低功耗类型,无法选择常电工具测试，请重新选择" << false;
    QTest::newRow("one-character customer") << "IPCProductCheck" << conf << QString() << 1 << 5 << "甲" << 0
                                            << int(Installed) << "请选择客户后再开始产测" << false;
    QTest::newRow("no customer id") << "BPC" << conf << QString() << 0 << 0 << "客户甲" << 0 << int(Installed)
                                    << "请选择客户后再开始产测" << false;
    QTest::newRow("fitting local product")
        << "BPC" << conf << QString() << 0 << 7 << "客户乙" << 0 << int(Installed) << QString() << true;
    QTest::newRow("catalogue product") << "IPCProductCheck" << QString() << "D12345678" << 1 << 7 << "客户乙"
                                       << 0 << int(Installed) << QString() << true;
    QTest::newRow("catalogue product on a low-power tool")
        << "BPC" << QString() << "D12345678" << 1 << 7 << "客户乙" << 0 << int(Installed) << QString()
        << true;
    QTest::newRow("catalogue product without customer")
        << "BPC" << QString() << "D12345678" << 1 << -1 << QString() << 0 << int(Installed)
        << "请选择客户后再开始产测" << false;
    QTest::newRow("any-product tool with a low-power configuration")
        << "IPCamSuite" << conf << QString() << 0 << 0 << QString() << 0 << int(Installed) << QString()
        << true;
    QTest::newRow("any-product tool without product")
        << "IPCamSuite" << QString() << QString() << 1 << 0 << QString() << 0 << int(Installed) << QString()
        << true;
    QTest::newRow("tile upgrading") << "IPCamSuite" << QString() << QString() << 1 << 0 << QString() << 5
                                    << int(Installed) << "程序正在升级，无法启动" << false;
    QTest::newRow("tile marked new") << "WifiConnectTool" << QString() << QString() << 1 << 0 << QString()
                                     << 6 << int(Installed) << QString() << true;
    QTest::newRow("tool not installed") << "IPCamSuite" << QString() << QString() << 1 << 0 << QString() << 0
                                        << int(NotInstalled) << "搜索工具:工具未开放下载" << false;
    QTest::newRow("start script cannot be written")
        << "IPCamSuite" << QString() << QString() << 1 << 0 << QString() << 0 << int(ScriptBlocked)
        << "子程序打开失败" << false;
    // Only the whole name counts: Linux names carry no ".exe" to close a substring match.
    QTest::newRow("a longer name running does not count")
        << "IPCamSuite" << QString() << QString() << 1 << 0 << QString() << 0 << int(LongerNameRunning)
        << QString() << true;
    QTest::newRow("JBMonitor running does not block JBM") << "JBM" << conf << QString() << 1 << 7 << "客户乙"
                                                          << 0 << int(PrefixNameRunning) << QString() << true;
}

void tst_TovarinProcesses::startRules() {
    QFETCH(QString, key);
    QFETCH(QString, localPath);
    QFETCH(QString, pid);
    QFETCH(int, productType);
    QFETCH(int, ownerId);
    QFETCH(QString, ownerName);
    QFETCH(int, status);
    QFETCH(int, preparation);
    QFETCH(QString, message);
    QFETCH(bool, starts);

    const QString exe = exeOf(key);
    if (preparation != NotInstalled)
        install(key, exe);
    if (preparation == ScriptBlocked) {
        // A link into a missing folder: the script cannot be created, the program is there.
        QVERIFY(QFile::link(stationFile("missing/folder/script"), scriptOf(key)));
    }
    const bool similar = preparation == LongerNameRunning || preparation == PrefixNameRunning;
    if (similar) {
        const QString other = similarName(preparation, exe);
        install(key, other);
        QVERIFY(Platform::startDetached(toolFolder(key) + other, {}, toolFolder(key)));
        QTRY_VERIFY(running(other));
    }

    auto w = toolPageWindow();
    QVERIFY(w);
    w->m_productInfo.m_szLocalPath = localPath.isEmpty() ? QString() : stationFile(localPath);
    w->m_productInfo.m_szPID = pid;
    w->m_productInfo.m_szProductName = "A100";
    w->m_productInfo.m_eProductType = ELECTRICTYPE_E(productType);
    w->m_iOwnerId = ownerId;
    w->m_szOwnerName = ownerName;
    if (status != 0)
        w->slotTbtnChangeStatus(tileOf(*w, key)->m_btnInfo.m_szToolId, UPGRADESTATUS_E(status));

    press(*w, key);
    QCOMPARE(toastText(*w), message);
    if (starts) {
        QTRY_VERIFY(running(exe));
        QCOMPARE(readFile(scriptOf(key)), Platform::toolStartScriptText(exe));
        // The choice is recorded for the next start.
        QCOMPARE(stored("Owner/ID").toString(), QString::number(ownerId));
        QCOMPARE(stored("Owner/Name").toString(), ownerName);
        QCOMPARE(stored("FAST_CONF/lastConf").toString(), QString("A100"));
        QCOMPARE(stored("FAST_CONF/ConfOLType").toString(), pid.isEmpty() ? QString("1") : QString("0"));
        // A tool for any product records the chosen configuration's type, so that the next
        // start lists it again.
        const ELECTRICTYPE_E toolType = tileOf(*w, key)->m_btnInfo.m_eElectricType;
        const bool lowPower = toolType == ELECTRIC_TYPE_ANY ? !localPath.isEmpty() && productType == 0
                                                            : toolType == ELECTRIC_TYPE_LOW_POWER;
        QCOMPARE(stored("FAST_CONF/ConfType").toString(), lowPower ? QString("0") : QString("1"));
        QCOMPARE(tileOf(*w, key)->m_btnInfo.m_eUpgradeStatus, UPGRADE_STATUS_NORMAL);
        QCOMPARE(Platform::listRunningImages().count(exe), 1);
        if (similar)
            QVERIFY(running(similarName(preparation, exe)));
    } else {
        QVERIFY(!running(exe));
        if (preparation != ScriptBlocked)
            QVERIFY(!QFile::exists(scriptOf(key)));
    }
}

void tst_TovarinProcesses::startScriptWrittenOnce() {
    const QString exe = exeOf("IPCamSuite");
    install("IPCamSuite", exe);
    auto w = toolPageWindow();
    QVERIFY(w);

    press(*w, "IPCamSuite");
    QTRY_VERIFY(running(exe));
    const QByteArray script = readFile(scriptOf("IPCamSuite"));
    QCOMPARE(script, Platform::toolStartScriptText(exe));
    QVERIFY(QFileInfo(scriptOf("IPCamSuite")).isExecutable());

    // At most once at a time.
    press(*w, "IPCamSuite");
    QCOMPARE(toastText(*w), QString("程序已打开，无法再次启动"));
    QCOMPARE(Platform::listRunningImages().count(exe), 1);

    // Ended, and configured under another name meanwhile: the script stays as it was and
    // starts the program it names.
    w->shutDownProcess(exe);
    QVERIFY(!running(exe));
    toolButton *tile = tileOf(*w, "IPCamSuite");
    toolButtonInfo renamed = tile->m_btnInfo;
    renamed.m_szExeName = exe + "New";
    tile->setBtnInfo(renamed);
    press(*w, "IPCamSuite");
    QTRY_VERIFY(running(exe));
    QCOMPARE(readFile(scriptOf("IPCamSuite")), script);
}

void tst_TovarinProcesses::quickPressesStartOnce_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("showsAfterMs");
    QTest::addColumn<int>("presses");

    // -1: the launcher writes the start script itself.
    QTest::newRow("own start script") << "WifiConnectTool" << -1 << 2;
    QTest::newRow("tool shows at once") << "IPCamSuite" << 0 << 2;
    QTest::newRow("tool shows late") << "IPCamSuite" << 500 << 2;
    QTest::newRow("five presses, tool shows late") << "IPCamSuite" << 300 << 5;
}

void tst_TovarinProcesses::quickPressesStartOnce() {
    QFETCH(QString, key);
    QFETCH(int, showsAfterMs);
    QFETCH(int, presses);

    const QString exe = exeOf(key);
    if (showsAfterMs < 0) {
        install(key, exe);
    } else {
        // A compiled program that runs until it is ended (tail following a file), handed over
        // by a start script already in the tool's folder, after a while like a slow loader.
        QVERIFY(QDir().mkpath(toolFolder(key)));
        QVERIFY(QFile::copy(QStandardPaths::findExecutable("tail"), toolFolder(key) + exe));
        writeFile(toolFolder(key) + "follow.txt", QByteArray());
        writeFile(scriptOf(key), "#!/bin/sh\ncd \"$(dirname \"$0\")\" || exit 1\n(sleep " +
                                     QByteArray::number(showsAfterMs / 1000.0) + "; exec setsid ./" +
                                     exe.toUtf8() + " -f follow.txt) </dev/null >/dev/null 2>&1 &\n");
        m_started << exe;
    }
    auto w = toolPageWindow();
    QVERIFY(w);

    // Presses arriving one right after the other, as queued presses do.
    const toolButtonInfo info = tileOf(*w, key)->m_btnInfo;
    for (int i = 0; i < presses; ++i) {
        w->slotProcessOpen(info);
        // The start returns at once, not when the slow tool shows.
        if (i == 0 && showsAfterMs >= 300)
            QVERIFY(!running(exe));
    }
    QTRY_COMPARE_WITH_TIMEOUT(Platform::listRunningImages().count(exe), 1, 10000);
    // Room for a wrong second copy to show as late as the first did. A slow machine can only hide
    // a fault here, never fail a sound start.
    QTest::qWait(showsAfterMs + 300);
    QCOMPARE(Platform::listRunningImages().count(exe), 1);
    QCOMPARE(toastText(*w), QString("程序已打开，无法再次启动"));
}

void tst_TovarinProcesses::existingScriptReused_data() {
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("logged");

    QTest::newRow("ends well") << QByteArray("#!/bin/sh\necho started > \"$(dirname \"$0\")/marker\"\n")
                               << QString();
    QTest::newRow("exit code logged")
        << QByteArray("#!/bin/sh\necho started > \"$(dirname \"$0\")/marker\"\nexit 3\n") << "ErrorNum =3 : ";
    // The press returns while the script still runs: the window never waits for it.
    QTest::newRow("slow script") << QByteArray(
                                        "#!/bin/sh\nsleep 1\necho started > \"$(dirname \"$0\")/marker\"\n")
                                 << QString();
}

void tst_TovarinProcesses::existingScriptReused() {
    QFETCH(QByteArray, script);
    QFETCH(QString, logged);

    install("WifiConnectTool", exeOf("WifiConnectTool"));
    writeFile(scriptOf("WifiConnectTool"), script);
    auto w = toolPageWindow();
    QVERIFY(w);
    press(*w, "WifiConnectTool");
    if (script.contains("sleep"))
        QVERIFY(!QFile::exists(toolFolder("WifiConnectTool") + "marker"));
    // The script runs beside the window; its end is followed through its process.
    QTRY_VERIFY(w->findChildren<QProcess *>().isEmpty());

    QCOMPARE(readFile(toolFolder("WifiConnectTool") + "marker"), QByteArray("started\n"));
    QCOMPARE(readFile(scriptOf("WifiConnectTool")), script);
    QVERIFY(toastText(*w).isEmpty());
    const QByteArray log =
        readFile(stationFile("log/" + QDate::currentDate().toString("yyyy-MM-dd") + ".txt"));
    QCOMPARE(log.contains("ErrorNum ="), !logged.isEmpty());
    if (!logged.isEmpty())
        QVERIFY(log.contains(logged.toUtf8()));
}

void tst_TovarinProcesses::closing_data() {
    QTest::addColumn<bool>("ask");
    QTest::addColumn<int>("startCount");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<bool>("byWindowSystem");

    QTest::newRow("ask, nothing running") << true << 0 << QString() << true << false;
    QTest::newRow("ask, confirmed") << true << 2 << "btnConfirm" << true << false;
    QTest::newRow("ask, cancelled") << true << 1 << "btnCancel" << false << false;
    QTest::newRow("do not ask") << false << 2 << QString() << true << false;
    // Closed by a key or the task bar rather than the title bar's button.
    QTest::newRow("window system, ask, confirmed") << true << 1 << "btnConfirm" << true << true;
    QTest::newRow("window system, ask, cancelled") << true << 2 << "btnCancel" << false << true;
    QTest::newRow("window system, do not ask") << false << 1 << QString() << true << true;
}

void tst_TovarinProcesses::closing() {
    QFETCH(bool, ask);
    QFETCH(int, startCount);
    QFETCH(QString, answer);
    QFETCH(bool, closes);
    QFETCH(bool, byWindowSystem);

    const QStringList keys = QStringList{"IPCamSuite", "WifiConnectTool"}.mid(0, startCount);
    for (const QString &key : keys)
        install(key, exeOf(key));
    // A program of the same name that the launcher does not show stays untouched.
    install("MACSetting", exeOf("MACSetting"));
    QVERIFY(Platform::startDetached(toolFolder("MACSetting") + exeOf("MACSetting"), {},
                                    toolFolder("MACSetting")));
    // Nor does one whose name only begins with a tool's on the page: it is not that tool.
    const QString monitor = similarName(PrefixNameRunning, exeOf("JBM"));
    install("JBM", monitor);
    QVERIFY(Platform::startDetached(toolFolder("JBM") + monitor, {}, toolFolder("JBM")));
    QTRY_VERIFY(running(monitor));

    auto w = toolPageWindow(ask ? QByteArray() : QByteArray("[UISetting]\nbClosePop=false\n"));
    QVERIFY(w);
    QCOMPARE(w->m_bClosePop, ask);
    for (const QString &key : keys) {
        press(*w, key);
        QTRY_VERIFY(running(exeOf(key)));
    }

    QSignalSpy closed(w.get(), &Tovarin::signalForceCloseApp);
    if (byWindowSystem) {
        QCloseEvent event;
        // Delivered the way the window system's events are (sendEvent would clear the mark).
        QSpontaneKeyEvent::setSpontaneous(&event);
        qApp->notify(w.get(), &event);
        // The window stays until the launcher itself ends.
        QVERIFY(!event.isAccepted());
        QVERIFY(w->isVisible());
    } else {
        QTest::mouseClick(w->ui->widgetTop->ui->btnClose, Qt::LeftButton);
    }
    const bool asked = ask && startCount > 0;
    QCOMPARE(w->m_pPopCloseWidget->isVisible(), asked);
    if (asked) {
        QCOMPARE(closed.count(), 0);
        QCOMPARE(w->m_pPopCloseWidget->geometry().size(), w->size());
        for (const QString &key : keys)
            QVERIFY(running(exeOf(key)));
        QTest::mouseClick(w->m_pPopCloseWidget->findChild<QPushButton *>(answer), Qt::LeftButton);
        QTRY_VERIFY(!w->m_pPopCloseWidget->isVisible());
    }

    QCOMPARE(closed.count(), closes ? 1 : 0);
    for (const QString &key : keys)
        QCOMPARE(running(exeOf(key)), !closes);
    QVERIFY(running(exeOf("MACSetting")));
    QVERIFY(running(monitor));
    QVERIFY(!w->m_listRunningTools.contains(exeOf("JBM")));
}

// A tool the launcher cannot end (here: one of another user, as a tool with more rights on
// Windows) keeps the launcher open with a message naming it; the next confirmed close quits.
void tst_TovarinProcesses::toolThatCannotBeEnded_data() {
    QTest::addColumn<bool>("ask");
    QTest::newRow("asked first") << true;
    QTest::newRow("not asked") << false;
}

void tst_TovarinProcesses::toolThatCannotBeEnded() {
    QFETCH(bool, ask);
    if (::getuid() != 0)
        QSKIP("needs root to start a tool as another user");
    install("IPCamSuite", exeOf("IPCamSuite"));
    // The other user must reach the program.
    for (QString folder = toolFolder("IPCamSuite"); folder.startsWith(QDir::tempPath() + "/");
         folder = QFileInfo(folder).path())
        QFile::setPermissions(folder, QFile::permissions(folder) | QFile::ExeOther | QFile::ReadOther);
    QProcess foreign;
    foreign.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                              toolFolder("IPCamSuite") + exeOf("IPCamSuite")});
    QVERIFY(foreign.waitForStarted());
    const auto end = qScopeGuard([&] {
        foreign.kill();
        foreign.waitForFinished(5000);
    });
    QTRY_VERIFY(running(exeOf("IPCamSuite")));

    auto w = toolPageWindow(ask ? QByteArray() : QByteArray("[UISetting]\nbClosePop=false\n"));
    QVERIFY(w);
    QSignalSpy closed(w.get(), &Tovarin::signalForceCloseApp);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        QTest::mouseClick(w->ui->widgetTop->ui->btnClose, Qt::LeftButton);
        if (ask) {
            QVERIFY(w->m_pPopCloseWidget->isVisible());
            QTest::mouseClick(w->m_pPopCloseWidget->findChild<QPushButton *>("btnConfirm"), Qt::LeftButton);
        }
        QCOMPARE(closed.count(), attempt == 1 ? 0 : 1);
        QVERIFY(running(exeOf("IPCamSuite")));
        if (attempt == 1)
            QVERIFY2(toastText(*w).remove("\r").remove("\n").contains(exeOf("IPCamSuite")),
                     qPrintable(toastText(*w)));
    }
}

void tst_TovarinProcesses::toast_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("shownMs");
    QTest::addColumn<int>("textLines");

    // A line per 40 characters and no break after the last one: height, lines and time agree.
    QTest::newRow("empty") << 0 << 40 << 2000 << 1;
    QTest::newRow("short") << 12 << 40 << 2000 << 1;
    QTest::newRow("39 characters") << 39 << 40 << 2000 << 1;
    QTest::newRow("40 characters") << 40 << 40 << 2000 << 1;
    QTest::newRow("41 characters") << 41 << 80 << 3000 << 2;
    QTest::newRow("80 characters") << 80 << 80 << 3000 << 2;
    QTest::newRow("81 characters") << 81 << 120 << 4000 << 3;
    QTest::newRow("120 characters") << 120 << 120 << 4000 << 3;
}

void tst_TovarinProcesses::toast() {
    QFETCH(int, length);
    QFETCH(int, height);
    QFETCH(int, shownMs);
    QFETCH(int, textLines);

    writeFile(stationFile("MAINSET.ini"), QByteArray());
    Tovarin w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.move(40, 30);
    const QString message = QString("请").repeated(length);
    // Checks against timers on the same event loop rather than the wall clock: of two due
    // timers the earlier-due one runs first, however late a loaded machine wakes up. The toast's
    // timer may be coarse (5 % either way); these are precise, one set before it, one after.
    bool shownAtEarly = false, hiddenAtLate = false, late = false;
    QTimer::singleShot(shownMs * 94 / 100, Qt::PreciseTimer, &w,
                       [&] { shownAtEarly = w.m_pPopTextWidget->isVisible(); });
    w.slotPopMessage(message);
    QTimer::singleShot(shownMs + shownMs / 20 + 300, Qt::PreciseTimer, &w, [&] {
        hiddenAtLate = !w.m_pPopTextWidget->isVisible();
        late = true;
    });

    QVERIFY(w.m_pPopTextWidget->isVisible());
    const QRect geometry = w.m_pPopTextWidget->geometry();
    QCOMPARE(geometry.topLeft(), QPoint(w.x() + 201, w.y() + 160));
    QCOMPARE(geometry.height(), height);
    // 426 pixels wide, or as wide as the text needs: never clipped.
    const QLabel *label = w.m_pPopTextWidget->findChild<QLabel *>("labText");
    QVERIFY(geometry.width() >= 426);
    QVERIFY(label->width() >= label->sizeHint().width());
    if (length <= 20)
        QCOMPARE(geometry.width(), 426);
    const QString shown = toastText(w);
    const QStringList lines = shown.split("\r\n");
    QCOMPARE(lines.size(), textLines);
    for (int i = 0; i + 1 < lines.size(); ++i)
        QCOMPARE(lines.at(i).size(), 40);
    QVERIFY(label->height() >= label->sizeHint().height());
    QCOMPARE(QString(shown).remove("\r\n"), message);

    QTRY_VERIFY_WITH_TIMEOUT(late, shownMs + 10000);
    QVERIFY(shownAtEarly);
    QVERIFY(hiddenAtLate);
}

QTEST_MAIN(tst_TovarinProcesses)
#include "tst_tovarinprocesses.moc"
