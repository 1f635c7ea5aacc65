#include "pellock.h"
#include "ui_pellock.h"

#include "applicationfolder.h"
#include "common.h"
#include "installservice.h"
#include "logrecorder.h"
#include "packageguard.h"
#include "packagesignature.h"
#include "platform.h"
#include "popwidget.h"
#include "secretmask.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTextCodec>
#include <QThread>

namespace {

const char kDefaultLauncherName[] = "Tovarin";

int g_iLauncherExitWaitMs = 30000;
int g_iRestartDelayMs = 5000;
// A window that is never painted (no screen) still installs after this long.
const int kFirstPaintWaitMs = 1000;
// Windows lists processes through tasklist, which takes a while: not too often.
const int kLauncherPollMs = 500;

bool isFolderEntry(const QString &name) {
    return name.endsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('\\'));
}

} // namespace

void pellock::setLauncherExitWaitForTesting(int iMs) {
    g_iLauncherExitWaitMs = iMs;
}

void pellock::setRestartDelayForTesting(int iMs) {
    g_iRestartDelayMs = iMs;
}

pellock::pellock(QWidget *parent) : QMainWindow(parent), ui(new Ui::pellock) {
    ui->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setObjectName(QStringLiteral("pellock"));
    setWindowTitle(QStringLiteral("pellock"));
    resize(400, 280);

    const QString ud = ApplicationFolder::path();
    m_szLauncherFolder = QDir::cleanPath(ud + QStringLiteral("/.."));
    // The hand-off file and the package lie in the launcher's folder: an installation that a
    // killed updater left half-done is finished or undone before anything reads it.
    QString problem;
    if (!InstallService::recoverInterrupted(m_szLauncherFolder, &m_bRecoveredInstall, &problem)) {
        qDebug() << "上次安装未能恢复";
        writeLogrecord(QStringLiteral("小工具:上次安装未能恢复"));
    }
    if (!problem.isEmpty())
        writeLogrecord(QStringLiteral("小工具:") + problem);

    m_szConfigPath = ud + QStringLiteral("/../UpgradePackage/UpgradeConfig.ini");
    m_pSettings = new QSettings(m_szConfigPath, QSettings::IniFormat, this);
    m_pSettings->setIniCodec(QTextCodec::codecForName("UTF-8"));
    m_szHandOffSection = launcherNameFromHandOff();
    m_szLauncherName = launcherProgramName();
    qDebug() << "configPath:" << m_szConfigPath;

    m_pPopWidget = new popWidget(this);
    m_pPopWidget->setCoveringLook();
    m_pPopWidget->installEventFilter(this);
    slotPopWidgetUpgrade();

    m_timerRestart.setSingleShot(true);
    connect(&m_timerRestart, &QTimer::timeout, this, &pellock::slotTmpCloseWin);
}

pellock::~pellock() {
    delete ui;
}

QString pellock::launcherNameFromHandOff() const {
    // The launcher writes one section, named after itself; its name builds every path below,
    // so only one plain file name is taken.
    const QStringList sections = m_pSettings->childGroups();
    QString name = sections.size() == 1 ? sections.first() : QString::fromLatin1(kDefaultLauncherName);
    if (PackageGuard::entryPath(name) != name || name.contains(QLatin1Char('/')))
        name = QString::fromLatin1(kDefaultLauncherName);
    return name;
}

QString pellock::launcherProgramName() const {
    // INI sections match without regard to case; the program is named as the folder holds it.
    const QString wanted = m_szHandOffSection + Platform::executableSuffix();
    const QStringList present = QDir(m_szLauncherFolder).entryList(QDir::Files);
    for (const QString &file : present) {
        if (QString::compare(file, wanted, Qt::CaseInsensitive) == 0)
            return file.left(file.size() - Platform::executableSuffix().size());
    }
    return m_szHandOffSection;
}

QString pellock::handOffValue(const QString &szKey) const {
    // Windows INI files match keys without regard to case; the launcher spells some differently.
    const QVariant value =
        m_pSettings->value(Platform::findProfileKey(*m_pSettings, m_szHandOffSection, szKey));
    // An unquoted value with commas reads as a list: it was one text.
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

bool pellock::writeHandOff(const QString &szKey, const QString &szValue) {
    const bool written =
        Platform::writeProfileString(QFile::encodeName(m_szConfigPath), m_szHandOffSection, szKey, szValue);
    m_pSettings->sync();
    return written;
}

QString pellock::launcherPath() const {
    return m_szLauncherFolder + QLatin1Char('/') + m_szLauncherName + Platform::executableSuffix();
}

void pellock::writeLogrecord(QString szMessage) {
    LogRecorder::recordInWorkingFolder(szMessage);
}

void pellock::slotPopWidgetUpgrade() {
    const QString version = handOffValue(QStringLiteral("versionNo"));
    QString remark = handOffValue(QStringLiteral("versionRemark"));
    // The INI reader turns the writer's escapes back into line breaks. A launcher that put the
    // two characters backslash and "n" in place of each line feed itself leaves them literal.
    if (!remark.contains(QLatin1Char('\n')) && !remark.contains(QLatin1Char('\r')))
        remark.replace(QLatin1String("\\n"), QLatin1String("\n"));
    remark.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    remark.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QStringList lines = remark.split(QLatin1Char('\n'));
    m_pPopWidget->slotSetPopUI(version, lines, POP_TYPE_INSTALLING);
    m_pPopWidget->setGeometry(0, 0, width(), height());
    m_pPopWidget->show();
    m_pPopWidget->move(pos());
}

void pellock::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    // A window shown again (restored after minimising) must not install a second time.
    if (m_bInstallStarted)
        return;
    m_bInstallStarted = true;
    // Placed where the window came up, which is known only now.
    m_pPopWidget->move(pos());
    // The installation starts once the pop-up has painted "安装中" (see eventFilter); without a
    // screen to paint on it starts anyway.
    QTimer::singleShot(kFirstPaintWaitMs, this, [this] {
        if (m_bInstallQueued)
            return;
        m_bInstallQueued = true;
        slotInstall();
    });
}

bool pellock::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_pPopWidget && event->type() == QEvent::Paint && m_bInstallStarted && !m_bInstallQueued) {
        m_bInstallQueued = true;
        // Queued: the paint in progress reaches the screen first.
        QMetaObject::invokeMethod(this, "slotInstall", Qt::QueuedConnection);
    }
    return QMainWindow::eventFilter(watched, event);
}

void pellock::slotInstallProgress(int filesInstalled, int filesTotal, qint64 bytesInstalled,
                                  qint64 bytesTotal) {
    int percent = 0;
    if (bytesTotal > 0)
        percent = int(bytesInstalled * 100 / bytesTotal);
    else if (filesTotal > 0)
        percent = filesInstalled * 100 / filesTotal;
    m_pPopWidget->slotSetProgress(percent);
}

void pellock::fail(const QString &szMessage) {
    qDebug().noquote() << szMessage;
    writeLogrecord(QStringLiteral("小工具:") + szMessage);
    m_szFailure = szMessage;
}

void pellock::slotInstall() {
    const QString ud = ApplicationFolder::path();
    const QString type = handOffValue(QStringLiteral("UpgradePackageType"));
    m_szFailure.clear();
    m_bPackageRefused = false;
    bool installed = false;
    const QString package =
        ud + QStringLiteral("/../UpgradePackage/MainApp/") + m_szLauncherName +
        (type == QLatin1String("zip") ? QStringLiteral(".zip") : Platform::executableSuffix());
    if (m_bRecoveredInstall && (type == QLatin1String("zip") || type == QLatin1String("exe")) &&
        !QFileInfo::exists(package)) {
        // A run killed after its installation was complete: the start finished it and removed
        // the package. The launcher is the new one; it only remains to be recorded.
        qDebug() << "主程序升级成功";
        writeLogrecord(QStringLiteral("小工具:主程序升级成功"));
        installed = true;
    } else if ((type == QLatin1String("zip") || type == QLatin1String("exe")) && !packageTrusted(package)) {
        installed = false;
    } else if (type == QLatin1String("zip")) {
        installed = UpdataZip(package, m_szLauncherFolder);
    } else if (type == QLatin1String("exe")) {
        installed = UpdataExe(package, launcherPath());
    } else {
        qDebug() << "未填写类型";
        writeLogrecord(QStringLiteral("小工具:未填写类型"));
        m_szFailure = QStringLiteral("未填写类型");
    }

    if (installed) {
        QFile::remove(package + QStringLiteral(".sig"));
        writeHandOff(QStringLiteral("needUpgrade"), QStringLiteral("0"));
        writeHandOff(QStringLiteral("UpgradeSucceed"), QStringLiteral("1"));
        if (recordProToolUpgrade()) {
            qDebug() << "上传mainapp升级信息成功";
            writeLogrecord(QStringLiteral("小工具:上传mainapp升级信息成功"));
            writeHandOff(QStringLiteral("recordUpgrade"), QStringLiteral("1"));
        } else {
            qDebug() << "上传mainapp升级信息失败";
            writeLogrecord(QStringLiteral("小工具:上传mainapp升级信息失败"));
        }
    } else {
        writeHandOff(QStringLiteral("UpgradeSucceed"), QStringLiteral("0"));
        // Tells the launcher whether offering the package again can help.
        writeHandOff(QStringLiteral("UpgradeFailure"),
                     m_bPackageRefused ? QStringLiteral("refused") : QStringLiteral("passing"));
        writeLogrecord(QStringLiteral("小工具:主程序升级失败"));
        m_pPopWidget->slotSetStatus(QStringLiteral("主程序升级失败:") + m_szFailure);
    }

    m_timerRestart.start(g_iRestartDelayMs);
    emit sigInstallFinished(installed);
}

bool pellock::packageTrusted(const QString &szPackage) {
    const PackageSignature::STATIONKEYS_S keys =
        PackageSignature::stationKeys(m_szLauncherFolder + QStringLiteral("/CONFIGSET.ini"));
    if (!keys.m_bRequired) {
        writeLogrecord(QStringLiteral("小工具:主程序升级包未经签名验证(本站未配置PackageKeys)"));
        return true;
    }
    for (const QString &invalid : keys.m_listInvalid)
        writeLogrecord(QStringLiteral("小工具:PackageKeys中的公钥无效:") + invalid);
    // The installation itself reports a package that is not there.
    if (!QFileInfo(szPackage).isFile())
        return true;
    // A large package takes a while to read: the window keeps painting meanwhile.
    PackageSignature::VERDICT_E verdict = PackageSignature::SIGNATURE_MISSING;
    QEventLoop loop;
    QThread *worker = QThread::create(
        [&] { verdict = PackageSignature::checkPackageFile(szPackage, keys.m_listKeys); });
    connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();
    delete worker;
    if (verdict == PackageSignature::SIGNATURE_GOOD)
        return true;
    fail(QStringLiteral("主程序升级包签名验证失败:") + PackageSignature::verdictText(verdict));
    m_bPackageRefused = true;
    return false;
}

QString pellock::zipPackageProblem(const QString &szPackage, QString &szTopFolder) const {
    QStringList names;
    if (!PackageGuard::readEntryNames(szPackage, names))
        return QStringLiteral("解压失败");
    const QString unsafe = PackageGuard::namesProblem(names);
    if (!unsafe.isEmpty())
        return unsafe;
    // One top-level folder holding the launcher: what goes into the launcher's folder.
    QString top;
    bool launcherFound = false;
    const QString launcherName = m_szLauncherName + Platform::executableSuffix();
    for (const QString &entry : qAsConst(names)) {
        const QString name = PackageGuard::entryPath(entry);
        const int slash = name.indexOf(QLatin1Char('/'));
        const bool folder = isFolderEntry(entry);
        if (slash <= 0 && !folder)
            return QStringLiteral("安装包结构不符");
        const QString first = slash > 0 ? name.left(slash) : name;
        if (top.isEmpty())
            top = first;
        else if (QString::compare(first, top, Platform::fileNameCase()) != 0)
            return QStringLiteral("安装包结构不符");
        if (!folder && slash > 0 &&
            QString::compare(name.mid(slash + 1), launcherName, Platform::fileNameCase()) == 0)
            launcherFound = true;
    }
    if (!launcherFound)
        return QStringLiteral("安装包中没有主程序");
    szTopFolder = top;
    return QString();
}

QString pellock::exePackageProblem(const QString &szSource) const {
    QFile file(szSource);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("exe不存在");
    const QByteArray head = file.read(4);
    // A program of any of the formats the launcher ships in: PE, ELF, or a script.
    if (head.startsWith("MZ") ||
        head.startsWith("\x7f"
                        "ELF") ||
        head.startsWith("#!"))
        return QString();
    return QStringLiteral("安装包中没有主程序");
}

bool pellock::waitForLauncherExit() {
    const QString launcher = launcherPath();
    if (!Platform::programRunning(launcher))
        return true;
    qDebug() << "等待主程序退出";
    QElapsedTimer elapsed;
    elapsed.start();
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!Platform::programRunning(launcher) || elapsed.elapsed() >= g_iLauncherExitWaitMs)
            loop.quit();
    });
    poll.start(kLauncherPollMs);
    loop.exec();
    return !Platform::programRunning(launcher);
}

bool pellock::UpdataZip(QString szPackage, QString szTargetFolder) {
    if (!QFileInfo(szPackage).isFile()) {
        fail(QStringLiteral("安装包不存在"));
        return false;
    }
    if (!QFileInfo(szTargetFolder).isDir()) {
        fail(QStringLiteral("解压路径不存在"));
        return false;
    }
    QString top;
    const QString problem = zipPackageProblem(szPackage, top);
    if (!problem.isEmpty()) {
        fail(problem);
        // An archive that cannot be read may be a damaged transfer, fetched anew next time.
        m_bPackageRefused = problem != QLatin1String("解压失败");
        return false;
    }
    return installOverLauncher(szPackage, szTargetFolder, InstallService::PACKAGE_ZIP, top);
}

bool pellock::UpdataExe(QString szSource, QString szTarget) {
    if (!QFileInfo(szSource).isFile()) {
        fail(QStringLiteral("exe不存在"));
        return false;
    }
    if (!QFileInfo(szTarget).isFile()) {
        fail(QStringLiteral("目标exe文件不存在"));
        return false;
    }
    const QString problem = exePackageProblem(szSource);
    if (!problem.isEmpty()) {
        fail(problem);
        m_bPackageRefused = true;
        return false;
    }
    // The engine moves the old executable aside and the new one in: never a moment without one.
    return installOverLauncher(szSource, szTarget, InstallService::PACKAGE_EXE, QString());
}

bool pellock::installOverLauncher(const QString &szPackage, const QString &szTarget,
                                  InstallService::PACKAGEKIND_E kind, const QString &szArchiveFolder) {
    if (!waitForLauncherExit()) {
        fail(QStringLiteral("主程序未退出"));
        return false;
    }
    InstallService service;
    if (!szArchiveFolder.isEmpty()) {
        service.setArchiveFolder(szArchiveFolder);
        // This program's own folder: refreshed by the launcher before the hand-over, and
        // never replaced while it runs from it.
        service.setSkippedFolder(QDir(ApplicationFolder::path()).dirName());
    }
    connect(&service, &InstallService::sigInstallProgress, this, &pellock::slotInstallProgress);
    if (service.install(szPackage, szTarget, QStringList(), kind) != InstallService::INSTALL_OK) {
        if (!service.detail().isEmpty())
            writeLogrecord(QStringLiteral("小工具:") + service.detail());
        fail(service.message());
        m_bPackageRefused = service.packageRefused();
        return false;
    }
    qDebug() << "主程序升级成功";
    writeLogrecord(QStringLiteral("小工具:主程序升级成功"));
    return true;
}

bool pellock::recordProToolUpgrade() {
    Common common;
    // The launcher's server settings, its CA setting included, not a file beside the updater.
    common.setServerConfigPath(m_szLauncherFolder + QStringLiteral("/serverConfig.ini"));
    QMap<QString, QString> params;
    params.insert(QStringLiteral("loginToken"), handOffValue(QStringLiteral("loginToken")));
    params.insert(QStringLiteral("proToolUniqId"), handOffValue(QStringLiteral("proToolUniqId")));
    params.insert(QStringLiteral("versionUniqId"), handOffValue(QStringLiteral("versionUniqId")));
    params.insert(QStringLiteral("testMachineName"), QHostInfo::localHostName());
    params.insert(QStringLiteral("beforeUpgradeVersion"),
                  handOffValue(QStringLiteral("beforeUpgradeVersion")));
    params.insert(QStringLiteral("afterUpgradeVersion"), handOffValue(QStringLiteral("versionNo")));
    params.insert(QStringLiteral("upgradeTime"), QString::number(QDateTime::currentSecsSinceEpoch()));
    // The values in ascending order of the field names, then the key.
    params.insert(QStringLiteral("sign"), common.valueChainSign(params));
    qDebug() << "sign:" << params.value(QStringLiteral("sign"));

    const QString domain = common.getDomainName();
    const QString url = domain + QStringLiteral("ToolClientConfigManageApi/recordProToolUpgrade");
    QString resultHttp;
    if (domain.startsWith(QLatin1String("http://"))) {
        qDebug() << "is http";
        resultHttp = common.httpPostRequest(url, params);
    } else if (domain.startsWith(QLatin1String("https://"))) {
        qDebug() << "is https";
        resultHttp = common.httpsPostRequest(url, params);
    } else {
        qDebug() << "没有设置域名";
        writeLogrecord(QStringLiteral("小工具:没有设置域名"));
        return false;
    }
    qDebug().noquote() << "resultHttp:" << SecretMask::maskAnswer(resultHttp);
    if (resultHttp.isEmpty()) {
        qDebug() << "http请求超时";
        writeLogrecord(QStringLiteral("小工具:http请求超时"));
        return false;
    }
    const QJsonObject resultHttpObj = QJsonDocument::fromJson(resultHttp.toUtf8()).object();
    qDebug().noquote() << "resultHttpObj:" << SecretMask::maskAnswer(resultHttpObj);
    const QJsonValue ackValue = resultHttpObj.value(QStringLiteral("ack"));
    const QString ack = ackValue.isDouble() ? QString::number(ackValue.toDouble()) : ackValue.toString();
    if (ack == QLatin1String("200")) {
        qDebug() << "上传升级信息成功";
        writeLogrecord(QStringLiteral("小工具:上传升级信息成功"));
        return true;
    }
    qDebug().noquote() << "上传升级信息失败，ack:" << ack;
    writeLogrecord(QStringLiteral("小工具:上传升级信息失败，ack:") + ack);
    return false;
}

void pellock::slotTmpCloseWin() {
    // A launcher that never ended keeps running: a second one would only meet its guard.
    const QString launcher = launcherPath();
    if (Platform::programRunning(launcher)) {
        qDebug() << "主程序仍在运行，不再启动";
    } else if (!Platform::startDetached(launcher, QStringList{QString()}, m_szLauncherFolder)) {
        qDebug() << "启动主程序失败";
        writeLogrecord(QStringLiteral("小工具:启动主程序失败"));
    }
    m_pPopWidget->close();
    close();
}
