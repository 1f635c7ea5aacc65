// The launcher's own update: the check against the configuration server, the postponement,
// staging the package on a worker thread and the hand-off to the updater.
#include "tovarin.h"

#include "applicationfolder.h"
#include "clock.h"
#include "globals.h"
#include "packageguard.h"
#include "packagesignature.h"
#include "platform.h"
#include "popclosewidget.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTextCodec>
#include <QThread>
#include <QUrl>

namespace {

// The hand-off section is named after the launcher, which is how the updater learns its name.
const QString kDefaultLauncherName = QStringLiteral("Tovarin");
const qint64 kPostponeSeconds = 3 * 24 * 60 * 60;
// Starts at which a package whose runs failed for passing reasons is still offered by itself.
const int kMainAppPassingAttempts = 3;

std::function<void(const QString &)> s_stagingWatcher;

QString appFolder() {
    return ApplicationFolder::path();
}

// APP + "/UpgradePackage/MainApp/"
QString stagingFolder() {
    return appFolder() + QStringLiteral("/UpgradePackage/MainApp/");
}

QString updaterProgram() {
    return appFolder() + QStringLiteral("/Pellock/Pellock") + Platform::executableSuffix();
}

// Whether the optional upgrade may be offered now. A missing time, or one ahead of the clock
// (the clock was set back, or the file edited), would otherwise hide the offer for good.
bool upgradePromptDue(const QDateTime &now, const QDateTime &limit) {
    const qint64 nowSecs = now.toSecsSinceEpoch();
    const qint64 lastSecs = limit.isValid() ? limit.toSecsSinceEpoch() : 0;
    qDebug() << "datetimeNow-lastTime-3*24*60*60:" << nowSecs - lastSecs - kPostponeSeconds;
    qDebug() << "datetimeNow:" << nowSecs;
    qDebug() << "lastTime:" << lastSecs;
    if (!limit.isValid() || lastSecs > nowSecs)
        return true;
    return nowSecs - lastSecs > kPostponeSeconds;
}

void watchStagingStep(const QString &step) {
    if (s_stagingWatcher)
        s_stagingWatcher(step);
}

// The launcher's configured program name when it is one plain file name, else empty.
QString plainLauncherName(const QString &exeName) {
    const QString rel = PackageGuard::entryPath(exeName);
    return rel == exeName && !rel.contains(QLatin1Char('/')) ? rel : QString();
}

QString handOffSection(const QString &exeName) {
    const QString name = plainLauncherName(exeName);
    return name.isEmpty() ? kDefaultLauncherName : name;
}

bool stagingInterrupted() {
    return QThread::currentThread()->isInterruptionRequested();
}

} // namespace

void MainAppUpgradeThreadDeleter::operator()(QThread *thread) const {
    thread->requestInterruption();
    thread->wait();
    delete thread;
}

void Tovarin::setMainAppStagingWatcherForTesting(std::function<void(const QString &)> watcher) {
    s_stagingWatcher = std::move(watcher);
}

bool Tovarin::writeUpgradeConfig(const QString &key, const QString &value) {
    return Platform::writeProfileString(QFile::encodeName(m_szUpgradeConfigPath),
                                        handOffSection(m_mainAppPackageInfo.m_szExeName), key, value);
}

bool Tovarin::mainAppUpdataQuery(bool &bNeedUpgrade, bool &bForceUpgrade) {
    const QString configPath = resolveInAppFolder(QStringLiteral("CONFIGSET.ini"));
    QFile configFile(configPath);
    if (!configFile.exists() || !configFile.open(QIODevice::ReadOnly))
        return false;
    configFile.close();

    QSettings config(configPath, QSettings::IniFormat);
    config.setIniCodec(QTextCodec::codecForName("UTF-8"));
    m_szControlProToolId = config.value(QStringLiteral("Tovarin/ID")).toString();
    const QString exeName = config.value(QStringLiteral("Tovarin/Exe")).toString();

    QMap<QString, QString> params;
    params.insert(QStringLiteral("loginToken"), m_szLoginToken);
    params.insert(QStringLiteral("proToolId"), m_szControlProToolId);
    params.insert(QStringLiteral("controlProToolId"), m_szControlProToolId);
    params.insert(QStringLiteral("version"), QStringLiteral(TOVARIN_APP_VERSION));
    params.insert(QStringLiteral("sign"), m_common.valueChainSign(params));

    QJsonObject answer;
    if (!askConfigService(QStringLiteral("ToolClientConfigManageApi/getProToolLastUpgradePackage"), params,
                          answer))
        return false;
    const QString ack = answer.value(QStringLiteral("ack")).toString();
    if (ack != QLatin1String("200")) {
        qDebug() << "error ack:" << ack;
        return false;
    }

    const QJsonObject data = answer.value(QStringLiteral("data")).toObject();
    UPGRADEPACKAGEINFO_S info;
    info.m_szProToolUniqId = data.value(QStringLiteral("proToolUniqId")).toString();
    qDebug() << "proToolUniqId:" << info.m_szProToolUniqId;
    info.m_szVersionUniqId = data.value(QStringLiteral("versionUniqId")).toString();
    qDebug() << "versionUniqId:" << info.m_szVersionUniqId;
    info.m_szVersionNo = data.value(QStringLiteral("versionNo")).toString();
    qDebug() << "versionNo:" << info.m_szVersionNo;
    info.m_bForceUpgrade = data.value(QStringLiteral("forceUpgrade")).toVariant().toInt() != 0;
    qDebug() << "forceUpgrade:" << info.m_bForceUpgrade;
    info.m_szVersionRemark = data.value(QStringLiteral("versionRemark")).toString();
    qDebug() << "versionRemark:" << info.m_szVersionRemark;
    info.m_szUpgradePackageUrl = data.value(QStringLiteral("upgradePackageUrl")).toString();
    qDebug() << "upgradePackageUrl:" << info.m_szUpgradePackageUrl;
    info.m_szUpgradePackageType = QUrl(info.m_szUpgradePackageUrl).fileName().endsWith(QLatin1String("zip"))
                                      ? QStringLiteral("zip")
                                      : QStringLiteral("exe");
    info.m_szProToolId = m_szControlProToolId;
    info.m_szExeName = exeName;
    info.m_szCurrentVersion = QStringLiteral(TOVARIN_APP_VERSION);
    bForceUpgrade = info.m_bForceUpgrade;
    m_mainAppPackageInfo = info;

    m_szUpgradeConfigPath = appFolder() + QStringLiteral("/UpgradePackage/UpgradeConfig.ini");
    const QString upgradeFolder = appFolder() + QStringLiteral("/UpgradePackage");
    if (!QDir(upgradeFolder).exists() && !QDir().mkpath(upgradeFolder))
        return false;

    // What the updater recorded about the last package goes with the emptying; keep it to
    // recognise a package that already failed or changed nothing.
    m_szLastVersionUniqId.clear();
    m_szLastVersionNo.clear();
    m_szLastUpgradeSucceed.clear();
    m_szLastUpgradeFailure.clear();
    m_iLastFailedAttempts = 0;
    m_iMainAppFailedAttempts = 0;
    QFile upgradeConfig(m_szUpgradeConfigPath);
    if (upgradeConfig.exists()) {
        {
            QSettings last(m_szUpgradeConfigPath, QSettings::IniFormat);
            last.setIniCodec(QTextCodec::codecForName("UTF-8"));
            const QString section = handOffSection(m_mainAppPackageInfo.m_szExeName);
            auto lastValue = [&last, &section](const QString &key) {
                return last.value(Platform::findProfileKey(last, section, key)).toString();
            };
            m_szLastVersionUniqId = lastValue(QStringLiteral("versionUniqId"));
            m_szLastVersionNo = lastValue(QStringLiteral("versionNo"));
            m_szLastUpgradeSucceed = lastValue(QStringLiteral("UpgradeSucceed"));
            m_szLastUpgradeFailure = lastValue(QStringLiteral("UpgradeFailure"));
            m_iLastFailedAttempts = qMax(0, lastValue(QStringLiteral("failedAttempts")).toInt());
        }
        qDebug() << "目标ini文件存在";
        if (upgradeConfig.open(QIODevice::WriteOnly | QIODevice::Truncate))
            upgradeConfig.close();
        else
            qDebug() << "文件清空失败";
    }

    // The writer escapes line breaks itself, so the notes go in as they are and come back
    // unchanged; replacing them beforehand would have them escaped twice.
    qDebug() << "m_mainAppPackageInfo.m_szVersionRemark替换换行符后:"
             << QString::fromUtf8(Platform::iniEncodeValue(info.m_szVersionRemark));

    writeUpgradeConfig(QStringLiteral("versionNo"), info.m_szVersionNo);
    writeUpgradeConfig(QStringLiteral("upgradePackageType"), info.m_szUpgradePackageType);
    writeUpgradeConfig(QStringLiteral("versionRemark"), info.m_szVersionRemark);
    writeUpgradeConfig(QStringLiteral("loginToken"), m_szLoginToken);
    writeUpgradeConfig(QStringLiteral("proToolUniqId"), info.m_szProToolUniqId);
    writeUpgradeConfig(QStringLiteral("versionUniqId"), info.m_szVersionUniqId);
    writeUpgradeConfig(QStringLiteral("beforeUpgradeVersion"), QStringLiteral(TOVARIN_APP_VERSION));
    writeUpgradeConfig(QStringLiteral("recordUpgrade"), QStringLiteral("0"));

    if (!info.m_szVersionNo.isEmpty()) {
        qDebug() << "需要升级，当前版本:" << TOVARIN_APP_VERSION << ",最新版本:" << info.m_szVersionNo;
        bNeedUpgrade = true;
        m_mainAppPackageInfo.m_bNeedUpgrade = true;
        writeUpgradeConfig(QStringLiteral("needUpgrade"), QStringLiteral("1"));
        // The guard's record of this package, kept while the same package is offered.
        if (lastRecordIsOfferedPackage()) {
            if (m_szLastUpgradeSucceed == QLatin1String("1") ||
                m_szLastUpgradeFailure == QLatin1String("refused")) {
                writeUpgradeConfig(QStringLiteral("UpgradeSucceed"), m_szLastUpgradeSucceed);
                writeUpgradeConfig(QStringLiteral("UpgradeFailure"), m_szLastUpgradeFailure);
            } else {
                // A failure that may pass (launcher slow to exit, a locked file, a broken
                // download) is counted once and the package offered again.
                m_iMainAppFailedAttempts = m_iLastFailedAttempts;
                if (m_szLastUpgradeSucceed == QLatin1String("0")) {
                    ++m_iMainAppFailedAttempts;
                    slotLogRecord(tr("主程序升级包%1第%2次安装失败")
                                      .arg(info.m_szVersionNo)
                                      .arg(m_iMainAppFailedAttempts));
                }
            }
            if (m_iMainAppFailedAttempts > 0)
                writeUpgradeConfig(QStringLiteral("failedAttempts"),
                                   QString::number(m_iMainAppFailedAttempts));
        }
    } else {
        qDebug() << "最新版本，无需升级";
        writeUpgradeConfig(QStringLiteral("needUpgrade"), QStringLiteral("0"));
    }
    return true;
}

bool Tovarin::lastRecordIsOfferedPackage() const {
    const UPGRADEPACKAGEINFO_S &info = m_mainAppPackageInfo;
    if (!info.m_szVersionUniqId.isEmpty() || !m_szLastVersionUniqId.isEmpty())
        return info.m_szVersionUniqId == m_szLastVersionUniqId;
    return !info.m_szVersionNo.isEmpty() && info.m_szVersionNo == m_szLastVersionNo;
}

QString Tovarin::mainAppUpgradeBlockedReason(bool bForced) const {
    if (!lastRecordIsOfferedPackage())
        return QString();
    const QString version = m_mainAppPackageInfo.m_szVersionNo;
    // "UpgradeSucceed" = "1" is only ever written by the updater: it installed this package. Had
    // that made a newer launcher, the server would not offer the same package to this version.
    if (m_szLastUpgradeSucceed == QLatin1String("1"))
        return tr("主程序升级包%1已安装过但版本未变，不再自动升级").arg(version);
    if (m_szLastUpgradeFailure == QLatin1String("refused"))
        return tr("主程序升级包%1上次安装失败，不再自动升级").arg(version);
    // A forced package is the factory's order: never given up for failures that may pass.
    if (!bForced && m_iMainAppFailedAttempts >= kMainAppPassingAttempts)
        return tr("主程序升级包%1已%2次安装失败，不再自动升级").arg(version).arg(m_iMainAppFailedAttempts);
    return QString();
}

void Tovarin::recordMainAppFailure(bool bRefused) {
    // Read at the next check, like the updater's own result.
    writeUpgradeConfig(QStringLiteral("UpgradeSucceed"), QStringLiteral("0"));
    writeUpgradeConfig(QStringLiteral("UpgradeFailure"),
                       bRefused ? QStringLiteral("refused") : QStringLiteral("passing"));
}

void Tovarin::continueWithoutMainAppUpgrade() {
    initConfigurationPageSwitch();
    mTimerToolUpCheck.start(200);
}

void Tovarin::slotMainAppUpdataQuery() {
    bool bNeedUpgrade = false;
    bool bForceUpgrade = false;
    const bool result = mainAppUpdataQuery(bNeedUpgrade, bForceUpgrade);
    if (!result)
        qDebug() << "获取主程序升级信息失败";
    qDebug() << "result:" << result << ",needUpdata:" << bNeedUpgrade << ",force:" << bForceUpgrade;

    if (bNeedUpgrade) {
        const bool due = bForceUpgrade || upgradePromptDue(Clock::now(), m_dateUpgradeLimit);
        const QString blocked = due ? mainAppUpgradeBlockedReason(bForceUpgrade) : QString();
        if (!blocked.isEmpty()) {
            const QString message = blocked;
            slotLogRecord(message);
            slotPopMessage(message);
        } else if (due && bForceUpgrade) {
            slotMainAppDowloadUpgrade(true);
            return;
        } else if (due) {
            slotPopWidgetUpgrade(m_mainAppPackageInfo.m_szVersionNo, m_mainAppPackageInfo.m_szVersionRemark,
                                 POP_TYPE_UPGRADE);
            return;
        }
    } else {
        qDebug() << "-----------进入子工具查询升级-----------";
    }
    continueWithoutMainAppUpgrade();
}

void Tovarin::slotMainAppDowloadUpgrade(bool bUpgrade) {
    if (!bUpgrade) {
        continueWithoutMainAppUpgrade();
        return;
    }
    // One staging at a time: it owns the staging folder.
    if (m_bMainAppUpgrading)
        return;

    slotPopWidgetUpgrade(m_mainAppPackageInfo.m_szVersionNo, m_mainAppPackageInfo.m_szVersionRemark,
                         POP_TYPE_DOWNLOADING);
    const QString staging = stagingFolder();
    // Emptied, but for a package download cut off earlier: the new download continues it.
    bool emptied = true;
    for (const QFileInfo &entry : QDir(staging).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                              QDir::Hidden | QDir::System)) {
        const QString name = entry.fileName();
        if (entry.isFile() && (name.endsWith(QLatin1String(".part")) || name.endsWith(QLatin1String(".part.json"))))
            continue;
        emptied = (entry.isDir() && !entry.isSymLink() ? m_common.removeTree(entry.filePath())
                                                        : QFile::remove(entry.filePath())) &&
                  emptied;
    }
    if (!emptied) {
        // The downloading notice has no buttons: leaving it up would lock the launcher.
        const QString message = tr("清空主程序升级目录MainApp失败");
        slotLogRecord(message);
        m_pPopWidget->close();
        slotPopMessage(message);
        continueWithoutMainAppUpgrade();
        return;
    }
    qDebug() << "删除主程序MainApp下所有的文件成功！！！！" << true;
    m_common.mkMutiDir(QDir::cleanPath(staging));
    qDebug() << "进入主程序升级流程";

    m_bMainAppUpgrading = true;
    m_bMainAppStaged = false;
    m_bMainAppPackageRefused = false;
    m_szMainAppStagingError.clear();
    m_pMainAppUpgradeThread.reset(QThread::create(&slotMainAppDowloadUpgradeFun_, static_cast<void *>(this),
                                                  static_cast<void *>(m_pPopWidget)));
    connect(m_pMainAppUpgradeThread.get(), &QThread::finished, this,
            &Tovarin::slotMainAppUpgradeWorkerFinished);
    m_pMainAppUpgradeThread->start();
}

void slotMainAppDowloadUpgradeFun_(void *pWindow, void *pPopWidget) {
    auto *window = static_cast<Tovarin *>(pWindow);
    window->m_pMainAppProgressTarget = static_cast<popWidget *>(pPopWidget);
    // Widgets, timers and the updater's start belong to the GUI thread: the window takes the
    // result from here once this thread has finished.
    window->m_bMainAppStaged = window->doUpgradeMainToolWorks();
}

void Tovarin::slotMainAppUpgradeWorkerFinished() {
    if (!m_bMainAppUpgrading)
        return;
    QString message = m_szMainAppStagingError;
    if (m_bMainAppStaged) {
        const QString updater = updaterProgram();
        if (Platform::startDetached(updater, QStringList() << QString(), QString())) {
            qDebug() << "启动Pellock成功:" << updater;
            // Nothing is written any more: the way out is open again.
            m_bMainAppUpgrading = false;
            m_pPopWidget->close();
            emit signalForceCloseApp();
            return;
        }
        // Quitting now would leave the station without a launcher until someone starts it.
        message = tr("启动升级程序Pellock失败");
        slotLogRecord(message + QStringLiteral(":") + updater);
    }
    m_bMainAppUpgrading = false;
    recordMainAppFailure(m_bMainAppPackageRefused);
    m_pPopWidget->close();
    if (!message.isEmpty())
        slotPopMessage(message);
    continueWithoutMainAppUpgrade();
}

bool Tovarin::refuseCloseWhileSelfUpgrading() {
    if (!m_bMainAppUpgrading)
        return false;
    slotPopMessage(tr("主程序升级中，请稍后再关闭"));
    return true;
}

bool Tovarin::failMainAppStaging(Common &common, const QString &message) {
    if (!common.lastInstallDetail().isEmpty())
        common.slotLogRecord(common.lastInstallDetail());
    common.slotLogRecord(message);
    m_szMainAppStagingError = message;
    return false;
}

bool Tovarin::doUpgradeMainToolWorks() {
    // Lives on this thread: the network objects of its download become its children.
    Common common;
    if (m_pMainAppProgressTarget)
        connect(&common, &Common::sigDownloadProgress, m_pMainAppProgressTarget,
                &popWidget::slotSetDownloadProgress, Qt::QueuedConnection);

    const UPGRADEPACKAGEINFO_S info = m_mainAppPackageInfo;
    qDebug() << "进入子线程进行主程序升级操作:" << QThread::currentThreadId();
    qDebug() << "m_mainAppPackageInfo.m_szUpgradePackageUrl:" << info.m_szUpgradePackageUrl;
    qDebug() << "m_mainAppPackageInfo.m_szUpgradePackageType:" << info.m_szUpgradePackageType;

    const QString app = appFolder();
    const QString ma = stagingFolder();
    // It names staging paths: one plain file name or nothing.
    const QString exe = plainLauncherName(info.m_szExeName);
    const bool zip = info.m_szUpgradePackageType == QLatin1String("zip");

    const PackageSignature::STATIONKEYS_S keys =
        PackageSignature::stationKeys(resolveInAppFolder(QStringLiteral("CONFIGSET.ini")));
    common.setDownloadDigestWanted(keys.m_bRequired);
    if (!common.DownloadFiles(info.m_szUpgradePackageUrl, app + QStringLiteral("/UpgradePackage/MainApp"),
                              exe + (zip ? QStringLiteral(".zip") : QStringLiteral(".exe")))) {
        if (!common.lastDownloadError().isEmpty())
            common.slotLogRecord(QStringLiteral("主程序升级包下载失败:") + common.lastDownloadError());
        return failMainAppStaging(common, tr("主程序升级包下载失败"));
    }
    const QString package = ma + exe + (zip ? QStringLiteral(".zip") : QStringLiteral(".exe"));
    if (!keys.m_bRequired) {
        common.slotLogRecord(QStringLiteral("主程序升级包未经签名验证(本站未配置PackageKeys)"));
    } else {
        for (const QString &invalid : keys.m_listInvalid)
            common.slotLogRecord(QStringLiteral("PackageKeys中的公钥无效:") + invalid);
        const PackageSignature::VERDICT_E verdict =
            common.fetchPackageSignature(info.m_szUpgradePackageUrl, package, keys.m_listKeys);
        if (verdict != PackageSignature::SIGNATURE_GOOD) {
            QFile::remove(package);
            QFile::remove(package + QStringLiteral(".sig"));
            m_bMainAppPackageRefused = true;
            common.slotLogRecord(QStringLiteral("主程序升级包") + PackageSignature::verdictText(verdict) +
                                 QLatin1Char(':') + PackageSignature::signatureAddressOf(info.m_szUpgradePackageUrl));
            return failMainAppStaging(common, tr("主程序升级包签名验证失败，未安装"));
        }
    }
    if (!zip) {
        m_bMainAppPackageRefused = true;
        return failMainAppStaging(common, tr("主程序只能从zip升级包升级"));
    }
    // A signed package is handed to the updater as it came, signature beside it, so that the
    // updater can check it again; the updater leaves out its own folder. Unpacked from a copy.
    const bool handOverSigned = keys.m_bRequired;
    const QString unpackFrom = handOverSigned ? ma + exe + QStringLiteral(".unpack.zip") : package;
    if (handOverSigned && !QFile::copy(package, unpackFrom))
        return failMainAppStaging(common, tr("解压主程序升级包到当前目录失败"));

    // Each step may be the one the window is waiting to be closed behind.
    auto step = [](const QString &name) {
        watchStagingStep(name);
        return !stagingInterrupted();
    };
    const QString stopped = tr("主程序升级已中止");

    qDebug() << "主程序升级改造";
    if (!step(QStringLiteral("unpack")))
        return failMainAppStaging(common, stopped);
    if (!common.UpdataZip(unpackFrom, ma)) {
        if (handOverSigned)
            QFile::remove(unpackFrom);
        m_bMainAppPackageRefused = common.lastInstallRefused();
        return failMainAppStaging(common, tr("解压主程序升级包到当前目录失败"));
    }

    // Without both programs the updater would fail, or leave a launcher that cannot start.
    const QString launcherFolder = ma + exe;
    if (exe.isEmpty() ||
        !QFileInfo(launcherFolder + QLatin1Char('/') + exe + Platform::executableSuffix()).isFile() ||
        !QFileInfo(launcherFolder + QStringLiteral("/Pellock/Pellock") + Platform::executableSuffix())
             .isFile()) {
        m_bMainAppPackageRefused = true;
        return failMainAppStaging(common, tr("主程序升级包缺少主程序或Pellock"));
    }

    if (!step(QStringLiteral("copyUpdater")))
        return failMainAppStaging(common, stopped);
    common.mkMutiDir(ma + QStringLiteral("Pellock/Pellock"));
    if (!common.copyTree(launcherFolder + QStringLiteral("/Pellock"), ma + QStringLiteral("Pellock/Pellock")))
        return failMainAppStaging(common, tr("移动小工具文件夹到MainApp失败"));
    if (!step(QStringLiteral("packUpdater")))
        return failMainAppStaging(common, stopped);
    if (!common.compressDir(ma + QStringLiteral("Pellock.zip"), ma + QStringLiteral("Pellock")))
        return failMainAppStaging(common, tr("压缩Pellock文件夹失败"));
    if (!step(QStringLiteral("installUpdater")))
        return failMainAppStaging(common, stopped);
    // Into the updater's own folder, so its journal blocks nothing of the launcher's.
    QDir().mkpath(app + QStringLiteral("/Pellock"));
    if (!common.UpdataZipFolder(ma + QStringLiteral("Pellock.zip"), QStringLiteral("Pellock"),
                                app + QStringLiteral("/Pellock")))
        return failMainAppStaging(common, tr("升级Pellock失败"));
    if (!step(QStringLiteral("removePackageUpdater")))
        return failMainAppStaging(common, stopped);
    if (!common.removeTree(launcherFolder + QStringLiteral("/Pellock")))
        return failMainAppStaging(common, tr("删除主程序下的Pellock文件夹失败"));
    if (!step(QStringLiteral("removeStagedUpdater")))
        return failMainAppStaging(common, stopped);
    if (!common.removeTree(ma + QStringLiteral("Pellock")))
        return failMainAppStaging(common, tr("删除MainApp下的Pellock文件夹失败"));

    if (handOverSigned) {
        if (!step(QStringLiteral("removeLauncherFolder")))
            return failMainAppStaging(common, stopped);
        if (!common.removeTree(launcherFolder))
            return failMainAppStaging(common, tr("删除主程序升级包文件夹失败"));
        return true;
    }

    const QString test = ma + QStringLiteral("Test/") + exe;
    if (!step(QStringLiteral("copyLauncher")))
        return failMainAppStaging(common, stopped);
    common.mkMutiDir(test + QLatin1Char('/') + exe);
    if (!common.copyTree(launcherFolder, test + QLatin1Char('/') + exe))
        return failMainAppStaging(common, tr("移动主程序升级包文件夹失败"));
    if (!step(QStringLiteral("packLauncher")))
        return failMainAppStaging(common, stopped);
    if (!common.compressDir(ma + exe + QStringLiteral(".zip"), test))
        return failMainAppStaging(common, tr("压缩主程序升级包文件夹失败"));
    if (!step(QStringLiteral("removeLauncherFolder")))
        return failMainAppStaging(common, stopped);
    if (!common.removeTree(launcherFolder))
        return failMainAppStaging(common, tr("删除主程序升级包文件夹失败"));
    if (!step(QStringLiteral("removeTest")))
        return failMainAppStaging(common, stopped);
    if (!common.removeTree(ma + QStringLiteral("Test")))
        return failMainAppStaging(common, tr("删除Test文件夹失败"));
    return true;
}

void Tovarin::slotPopWidgetUpgrade(QString szVersion, QString szRemark, popType type) {
    refreshPopupLook();
    m_pPopWidget->slotSetPopUI(szVersion, szRemark, type);
    m_pPopWidget->setGeometry(0, 0, width(), height());
    m_pPopWidget->show();
    m_pPopWidget->move(pos());
}

void Tovarin::slotPopWidgetUpgrade(QString szVersion, QStringList listRemark, popType type) {
    refreshPopupLook();
    m_pPopWidget->slotSetPopUI(szVersion, listRemark, type);
    m_pPopWidget->setGeometry(0, 0, width(), height());
    m_pPopWidget->show();
    m_pPopWidget->move(pos());
}

void Tovarin::slotPopWidgetUpgradeClose() {
    m_pPopWidget->close();
}

void Tovarin::slotRecordCurrentTime() {
    writeMainSet(QStringLiteral("LimitTime"), QStringLiteral("UpgradeLimit"),
                 Clock::now().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
}
