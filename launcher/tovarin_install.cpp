// Tool package installation: the queue that runs installations one after another, the steps of
// one installation (download, keep-list, install through the engine), and the upgrade record.
#include "tovarin.h"
#include "ui_tovarin.h"

#include "applicationfolder.h"
#include "clock.h"
#include "globals.h"
#include "packageguard.h"
#include "packagesignature.h"
#include "platform.h"
#include "poptextwidget.h"

#include <QDateTime>
#include <QEventLoop>
#include <QThread>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const char *const kRecordPath = "ToolClientConfigManageApi/recordProToolUpgrade";

// Share of the tile's bar the download takes; the installation fills the rest.
const int kDownloadShare = 70;

QString stagingFolder() {
    return ApplicationFolder::path() + QStringLiteral("/UpgradePackage/ToolApp/");
}

// The program an installation replaces or a start would find running.
QString imageOf(const QString &name) {
    return name + Platform::executableSuffix();
}
// Runs work on a thread of its own while the caller waits in a local event loop.
void waitOnWorker(const std::function<void()> &work) {
    QEventLoop loop;
    QThread *worker = QThread::create(work);
    QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    // A worker done before the loop runs still ends it through its queued finished().
    loop.exec();
    worker->wait();
    delete worker;
}
} // namespace

// ---------------------------------------------------------------------------------------------
// How installations are started.

void Tovarin::slotToolForceOrFirstUpgrade(UPGRADEPACKAGEINFO_S info) {
    enqueueToolInstall(info.m_szProToolId, INSTALL_ORIGIN_AUTOMATIC);
}

void Tovarin::slotToolAppDowloadUpgrade(toolButtonInfo info) {
    qDebug() << "-----点击按钮执行工具升级-------" << info.m_szToolId;
    bool known = false;
    for (const UPGRADEPACKAGEINFO_S &package : qAsConst(m_vecToolPackageInfo))
        known = known || package.m_szProToolId == info.m_szToolId;
    if (!known)
        return;
    // Only what the check counted comes off the count, and only once.
    totalUpdataNum = qMax(0, totalUpdataNum - m_mapCountedUpgrades.take(info.m_szToolId));
    if (totalUpdataNum == 0)
        ui->btnAllUpgrade->hide();
    enqueueToolInstall(info.m_szToolId, INSTALL_ORIGIN_TILE);
}

void Tovarin::on_btnAllUpgrade_clicked() {
    ui->btnAllUpgrade->hide();
    QStringList tools;
    for (const UPGRADEPACKAGEINFO_S &package : qAsConst(m_vecToolPackageInfo)) {
        if (package.m_bNeedUpgrade && !package.m_bForceUpgrade && !package.m_bUpgraded &&
            !tools.contains(package.m_szProToolId))
            tools.append(package.m_szProToolId);
    }
    for (const QString &toolId : qAsConst(tools)) {
        totalUpdataNum = qMax(0, totalUpdataNum - m_mapCountedUpgrades.take(toolId));
        enqueueToolInstall(toolId, INSTALL_ORIGIN_ALL);
    }
}

void Tovarin::enqueueToolInstall(const QString &toolId, INSTALLORIGIN_E origin) {
    if (m_bClosing || toolInstallBusy(toolId))
        return;
    m_vecInstallQueue.append(qMakePair(toolId, origin));
    runInstallQueue();
}

bool Tovarin::toolInstallBusy(const QString &toolId) const {
    if (!m_szInstallingToolId.isEmpty() && m_szInstallingToolId == toolId)
        return true;
    for (const auto &queued : m_vecInstallQueue) {
        if (queued.first == toolId)
            return true;
    }
    return false;
}

bool Tovarin::packageForTurn(const QString &toolId, INSTALLORIGIN_E origin,
                             UPGRADEPACKAGEINFO_S &package) const {
    for (const UPGRADEPACKAGEINFO_S &candidate : m_vecToolPackageInfo) {
        if (candidate.m_szProToolId != toolId)
            continue;
        switch (origin) {
        case INSTALL_ORIGIN_TILE:
            // The operator asked for it: no other condition.
            package = candidate;
            return true;
        case INSTALL_ORIGIN_ALL:
            if (candidate.m_bNeedUpgrade && !candidate.m_bForceUpgrade && !candidate.m_bUpgraded &&
                !installedThisRun(candidate)) {
                package = candidate;
                return true;
            }
            break;
        case INSTALL_ORIGIN_AUTOMATIC: {
            if (!candidate.m_bNeedUpgrade || !(candidate.m_bForceUpgrade || candidate.m_bFirstInstall) ||
                candidate.m_bUpgraded || installedThisRun(candidate))
                break;
            bool blocked = false;
            for (const CHECKUPGRADEINFO_S &check : m_vecCheckUpgradeInfo)
                blocked = blocked || (check.m_szProToolId == toolId && check.m_bUpgradeStarted);
            if (!blocked) {
                package = candidate;
                return true;
            }
            break;
        }
        }
    }
    return false;
}

void Tovarin::runInstallQueue() {
    // Worked further up the stack: this entry is picked up when the running one ends. Pressed
    // while the check waits for an answer, it waits for the check's queries to end.
    if (m_bInstallQueueRunning || m_bToolCheckQuerying)
        return;
    m_bInstallQueueRunning = true;
    while (!m_vecInstallQueue.isEmpty() && !m_bClosing) {
        const QPair<QString, INSTALLORIGIN_E> next = m_vecInstallQueue.takeFirst();
        UPGRADEPACKAGEINFO_S package;
        if (!packageForTurn(next.first, next.second, package))
            continue;
        m_szInstallingToolId = next.first;
        toolAppDownloadUpgrade(package);
        m_szInstallingToolId.clear();
    }
    m_bInstallQueueRunning = false;

    if (m_bClosing) {
        emit signalForceCloseApp();
        return;
    }
    if (m_bToolCheckPending && !m_bToolCheckRunning) {
        m_bToolCheckPending = false;
        emit signalMainUpdataFinished();
    }
}

void Tovarin::closeAfterInstallation() {
    m_bClosing = true;
    m_vecInstallQueue.clear();
    if (!m_bInstallQueueRunning) {
        emit signalForceCloseApp();
        return;
    }
    // Cutting the installation off would leave the tool half replaced: it ends first, and the
    // notice stays up until then.
    slotPopMessage(tr("工具正在升级，升级完成后自动关闭"));
    m_pPopTextWidget->setShowTimes(24 * 3600 * 1000);
}

// ---------------------------------------------------------------------------------------------
// One installation.

void Tovarin::setToolProgress(const QString &toolId, int percent) {
    for (toolButton *tile : qAsConst(m_vecToolButtons)) {
        if (tile->m_btnInfo.m_szToolId == toolId)
            tile->setProgress(percent);
    }
}

void Tovarin::failToolInstall(const UPGRADEPACKAGEINFO_S &package, const QString &folderName,
                              const QString &message, bool show, UPGRADESTATUS_E state) {
    if (show)
        slotPopMessage(message);
    slotLogRecord(folderName + QStringLiteral("工具:") + message);
    m_mapFailedInstallState.insert(package.m_szProToolId, state);
    slotTbtnChangeStatus(package.m_szProToolId, state);
}

bool Tovarin::toolPackageTrusted(const UPGRADEPACKAGEINFO_S &package, const QString &folderName,
                                 const QString &packageFile, const PackageSignature::STATIONKEYS_S &keys) {
    const QString prefix = folderName + QStringLiteral("工具:");
    if (!keys.m_bRequired) {
        slotLogRecord(prefix + QStringLiteral("升级包未经签名验证(本站未配置PackageKeys)"));
        return true;
    }
    for (const QString &invalid : keys.m_listInvalid)
        slotLogRecord(prefix + QStringLiteral("PackageKeys中的公钥无效:") + invalid);
    const PackageSignature::VERDICT_E verdict =
        m_common.fetchPackageSignature(package.m_szUpgradePackageUrl, packageFile, keys.m_listKeys);
    // The signature is not needed past this point: staging holds nothing after an installation.
    QFile::remove(packageFile + QStringLiteral(".sig"));
    if (verdict == PackageSignature::SIGNATURE_GOOD)
        return true;
    // Not a byte of it may be unpacked or started later by mistake.
    QFile::remove(packageFile);
    failToolInstall(package, folderName, tr("升级包签名验证失败，未安装"), true, UPGRADE_STATUS_UPGRADE_FAILED);
    slotLogRecord(prefix + PackageSignature::verdictText(verdict) + QLatin1Char(':') +
                  PackageSignature::signatureAddressOf(package.m_szUpgradePackageUrl));
    return false;
}

QStringList Tovarin::safeKeepList(const QStringList &names, const QString &folderName) {
    QStringList safe;
    for (const QString &name : names) {
        QString path = name;
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        const QString clean = QDir::cleanPath(path);
        const bool absolute = path.startsWith(QLatin1Char('/')) || QDir::isAbsolutePath(path) ||
                              (path.size() >= 2 && path.at(1) == QLatin1Char(':'));
        const bool leaves = clean == QLatin1String("..") || clean.startsWith(QLatin1String("../")) ||
                            path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
        // An empty name or "." would name the whole tool and keep every file of it.
        if (path.trimmed().isEmpty() || absolute || leaves || clean == QLatin1String(".")) {
            qDebug() << "不覆盖的文件名不安全，忽略:" << name;
            slotLogRecord(folderName + QStringLiteral("工具:不覆盖的文件名不安全，已忽略:") + name);
            continue;
        }
        safe.append(clean);
    }
    return safe;
}

bool Tovarin::zipFitsToolFolder(const QString &zipPath, const QString &folderName, QString &problem) {
    QStringList entries;
    if (!m_common.zipEntryNames(zipPath, entries))
        return false;
    problem = PackageGuard::namesProblem(entries);
    if (!problem.isEmpty())
        return false;
    // The top folder is matched as the file system would match the tool's folder.
    bool hasFile = false;
    for (const QString &entry : qAsConst(entries)) {
        const QString rel = PackageGuard::entryPath(entry);
        if (QString::compare(rel.section(QLatin1Char('/'), 0, 0), folderName, Platform::fileNameCase()) !=
                0 ||
            (!rel.contains(QLatin1Char('/')) && !entry.endsWith(QLatin1Char('/')))) {
            problem = QStringLiteral("安装包中的文件不在程序文件夹内:") + entry;
            return false;
        }
        hasFile = hasFile || !entry.endsWith(QLatin1Char('/'));
    }
    return hasFile;
}

bool Tovarin::toolAppDownloadUpgrade(UPGRADEPACKAGEINFO_S info) {
    const QString toolId = info.m_szProToolId;
    const QString folderName = info.m_szToolPath.split(QLatin1Char('/')).value(1);
    const bool exePackage = info.m_szUpgradePackageType == QLatin1String("exe");
    // A running tool holds the files an installation replaces; an exe package replaces the
    // executable named after the tool's folder.
    QStringList images{imageOf(info.m_szExeName)};
    if (exePackage && !folderName.isEmpty() && !images.contains(imageOf(folderName)))
        images.append(imageOf(folderName));

    // 1. Not while the tool runs.
    if (info.m_bFirstInstall) {
        slotTbtnChangeStatus(toolId, UPGRADE_STATUS_UPGRADING);
    } else if (checkProcessExist(images)) {
        slotPopMessage(tr("请关闭子工具后再升级"));
        slotTbtnChangeStatus(toolId, UPGRADE_STATUS_NORMAL);
        return false;
    } else {
        slotTbtnChangeStatus(toolId, UPGRADE_STATUS_UPGRADING);
    }

    // 2. Remembered until the server has the record, so a failing one is not retried for ever.
    bool remembered = false;
    for (CHECKUPGRADEINFO_S &check : m_vecCheckUpgradeInfo) {
        if (check.m_szProToolId == toolId) {
            check.m_bUpgradeStarted = true;
            remembered = true;
        }
    }
    if (!remembered)
        m_vecCheckUpgradeInfo.append(CHECKUPGRADEINFO_S{toolId, true});

    // 3. The tool's folder name; it names the staging files and the package's top folder, so it
    // must be one plain name.
    if (folderName.isEmpty() || folderName == QLatin1String(".") || folderName == QLatin1String("..") ||
        folderName.contains(QLatin1Char('\\'))) {
        failToolInstall(info, folderName, tr("配置文件工具配置路径path没设置"), true,
                        UPGRADE_STATUS_UPGRADE_FAILED);
        return false;
    }

    // 4. Download into staging that holds nothing of an earlier attempt.
    const QString staging = stagingFolder();
    const QString unpacked = staging + folderName;
    const QString rebuild = staging + folderName + QStringLiteral("Package");
    const QString packageFile =
        staging + folderName + (exePackage ? QStringLiteral(".exe") : QStringLiteral(".zip"));
    m_common.mkMutiDir(QDir::cleanPath(staging));
    for (const QString &leftover :
         {staging + folderName + QStringLiteral(".zip"), staging + folderName + QStringLiteral(".exe")})
        QFile::remove(leftover);
    if (!m_common.removeTree(unpacked) || !m_common.removeTree(rebuild) || QFileInfo::exists(packageFile)) {
        failToolInstall(info, folderName, tr("清理升级暂存文件夹失败"), true, UPGRADE_STATUS_UPGRADE_FAILED);
        return false;
    }

    setToolProgress(toolId, 0);
    const QMetaObject::Connection downloadProgress =
        connect(&m_common, &Common::sigDownloadProgress, this, [this, toolId](qint64 received, qint64 total) {
            if (total > 0)
                setToolProgress(toolId, int(received * kDownloadShare / total));
        });
    // Read for each installation: a station's keys may change while the launcher runs.
    const PackageSignature::STATIONKEYS_S keys =
        PackageSignature::stationKeys(resolveInAppFolder(QStringLiteral("CONFIGSET.ini")));
    m_common.setDownloadDigestWanted(keys.m_bRequired);
    const bool downloaded = m_common.DownloadFiles(info.m_szUpgradePackageUrl, QDir::cleanPath(staging),
                                                   QFileInfo(packageFile).fileName());
    m_common.setDownloadDigestWanted(false);
    disconnect(downloadProgress);
    if (!downloaded) {
        setToolProgress(toolId, -1);
        failToolInstall(info, folderName, QStringLiteral("下载升级包失败"), false,
                        UPGRADE_STATUS_DOWNLOAD_FAILED);
        // Why, in words a technician can act on (a refused certificate, a time-out).
        if (!m_common.lastDownloadError().isEmpty())
            slotLogRecord(folderName + QStringLiteral("工具:") + m_common.lastDownloadError());
        return false;
    }
    setToolProgress(toolId, kDownloadShare);
    if (!toolPackageTrusted(info, folderName, packageFile, keys)) {
        setToolProgress(toolId, -1);
        return false;
    }

    // 5. The tile stays "upgrading" until the files are in place: the tool must not start early.
    if (info.m_szUpgradePackageType != QLatin1String("zip") && !exePackage) {
        setToolProgress(toolId, -1);
        failToolInstall(info, folderName, tr("未填写类型"), true, UPGRADE_STATUS_UPGRADE_FAILED);
        return false;
    }
    // Only the tool's own folder may come out of a zip, under names every station can hold.
    QString packageProblem;
    if (!exePackage && !zipFitsToolFolder(packageFile, folderName, packageProblem)) {
        setToolProgress(toolId, -1);
        if (!packageProblem.isEmpty())
            slotLogRecord(folderName + QStringLiteral("工具:") + packageProblem);
        failToolInstall(info, folderName, tr("子程序更新失败"), true, UPGRADE_STATUS_UPGRADE_FAILED);
        return false;
    }

    if (!exePackage) {
        // 6. to 8. Files named in the keep-list are taken out of the package.
        qDebug() << "配置文件记录不覆盖的文件或文件夹:" << info.m_listUnupdate;
        const QStringList keepList = safeKeepList(info.m_listUnupdate, folderName);
        if (!keepList.isEmpty()) {
            qDebug() << "子程序改造:配置文件指定了不覆盖的文件夹与文件,本地子工具与升级包工具同名的文件,"
                        "删除升级包同名文件,不进行覆盖操作";
            if (!m_common.UpdataZip(packageFile, staging)) {
                setToolProgress(toolId, -1);
                failToolInstall(info, folderName, tr("解压子程序升级包到ToolApp目录失败"), true,
                                UPGRADE_STATUS_UPGRADE_FAILED);
                return false;
            }
            for (const QString &name : keepList) {
                const QString localPath = resolveInAppFolder(info.m_szToolPath) + QLatin1Char('/') + name;
                const QString packagePath = unpacked + QLatin1Char('/') + name;
                qDebug() << "toolPath:" << localPath;
                qDebug() << "updataPath" << packagePath;
                const QFileInfo local(localPath);
                if (local.isFile()) {
                    if (QFileInfo(packagePath).isFile() && QFile::remove(packagePath))
                        qDebug() << "删除的单个文件:" << packagePath;
                } else if (local.isDir()) {
                    notCoverFile(localPath, packagePath);
                } else {
                    qDebug() << "配置文件记录不覆盖，文件夹下并未有该文件，直接当新增处理:" << name;
                }
            }
            const QString copy = rebuild + QLatin1Char('/') + folderName + QLatin1Char('/') + folderName;
            m_common.mkMutiDir(rebuild + QLatin1Char('/') + folderName);
            QString message;
            // Copying and compressing a large tool takes seconds: done on a worker, so the window
            // keeps painting and answering while it waits.
            waitOnWorker([&] {
                Common files;
                if (!files.copyTree(unpacked, copy))
                    message = tr("移动子程序文件夹到Package临时文件夹失败");
                else if (!files.compressDir(packageFile, rebuild + QLatin1Char('/') + folderName))
                    message = tr("压缩子程序升级包失败");
                else if (!files.removeTree(unpacked))
                    message = tr("删除ToolApp下子程序文件夹失败");
                else if (!files.removeTree(rebuild))
                    message = tr("子程序删除Package临时包文件夹失败");
            });
            if (!message.isEmpty()) {
                setToolProgress(toolId, -1);
                failToolInstall(info, folderName, message, true, UPGRADE_STATUS_UPGRADE_FAILED);
                return false;
            }
        }
    } else {
        qDebug() << "exe升级包:" << packageFile;
    }

    // The operator may have started the tool during the download.
    if (checkProcessExist(images)) {
        setToolProgress(toolId, -1);
        failToolInstall(info, folderName, tr("请关闭子工具后再升级"), true, UPGRADE_STATUS_UPGRADE_FAILED);
        return false;
    }

    // 9. / 10. Through the engine: the tool ends wholly new or as it was.
    const QMetaObject::Connection installProgress = connect(
        &m_common, &Common::sigInstallProgress, this,
        [this, toolId](int, int, qint64 bytes, qint64 totalBytes) {
            if (totalBytes > 0)
                setToolProgress(toolId, kDownloadShare + int(bytes * (100 - kDownloadShare) / totalBytes));
        });
    bool installed = false;
    if (exePackage) {
        const QString target = resolveInAppFolder(info.m_szToolPath) + QLatin1Char('/') + imageOf(folderName);
        installed = m_common.UpdataExe(packageFile, target);
    } else {
        // Rooted in the tool's own folder: its journal is the tool's, and no entry can name the
        // station's settings, the updater or another tool.
        const QString toolFolder = QDir::cleanPath(ApplicationFolder::path()) + QLatin1Char('/') + folderName;
        const bool created = !QFileInfo::exists(toolFolder) && QDir().mkpath(toolFolder);
        installed = m_common.UpdataZipFolder(packageFile, folderName, toolFolder);
        if (!installed && created)
            QDir().rmdir(toolFolder);
    }
    disconnect(installProgress);
    setToolProgress(toolId, -1);
    if (!installed && !m_common.lastInstallDetail().isEmpty())
        slotLogRecord(folderName + QStringLiteral("工具:") + m_common.lastInstallDetail());
    if (!installed) {
        failToolInstall(info, folderName, exePackage ? tr("子程序exe更新失败") : tr("子程序更新失败"), true,
                        UPGRADE_STATUS_UPGRADE_FAILED);
        return false;
    }

    // 11. In place: never installed automatically again in this run, reported or not.
    m_mapInstalledPackages.insert(toolId, info.m_szVersionUniqId + QLatin1Char('|') + info.m_szVersionNo);
    m_mapFailedInstallState.remove(toolId);
    slotTbtnChangeStatus(toolId, UPGRADE_STATUS_NEW);
    if (recordProToolUpgrade(info)) {
        qDebug() << "上传工具升级信息成功";
        slotLogRecord(folderName + QStringLiteral("工具:上传工具升级信息成功"));
        for (UPGRADEPACKAGEINFO_S &package : m_vecToolPackageInfo) {
            if (package.m_szProToolId == toolId)
                package.m_bUpgraded = true;
        }
        for (CHECKUPGRADEINFO_S &check : m_vecCheckUpgradeInfo) {
            if (check.m_szProToolId == toolId)
                check.m_bUpgradeStarted = false;
        }
    } else {
        qDebug() << "上传工具升级信息失败";
        slotLogRecord(folderName + QStringLiteral("工具:上传工具升级信息失败"));
    }
    return true;
}

void Tovarin::notCoverFile(QString szLocalFolder, QString szPackageFolder) {
    const QDir local(szLocalFolder);
    const QDir package(szPackageFolder);
    if (!local.exists()) {
        qDebug() << "子工具指定文件夹不存在";
        return;
    }
    if (!package.exists()) {
        qDebug() << "升级包中子工具指定文件夹不存在";
        return;
    }
    const QStringList localNames = local.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    const QFileInfoList packageEntries =
        package.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo &entry : packageEntries) {
        if (!localNames.contains(entry.fileName(), Platform::fileNameCase()))
            continue;
        if (entry.isDir()) {
            // Sub-folders are installed as the package has them.
            qDebug() << "文件夹:" << entry.fileName();
        } else if (QFile::remove(entry.filePath())) {
            qDebug() << "删除的文件:" << entry.filePath();
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The upgrade record.

bool Tovarin::recordProToolUpgrade(UPGRADEPACKAGEINFO_S info) {
    QString before = info.m_szCurrentVersion;
    if (info.m_szProToolId == QLatin1String("Tovarin"))
        before = QStringLiteral(TOVARIN_APP_VERSION);
    else if (info.m_bFirstInstall)
        before = QStringLiteral("0.0.0.0");

    QMap<QString, QString> params;
    params.insert(QStringLiteral("loginToken"), m_szLoginToken);
    params.insert(QStringLiteral("proToolUniqId"), info.m_szProToolUniqId);
    params.insert(QStringLiteral("versionUniqId"), info.m_szVersionUniqId);
    params.insert(QStringLiteral("testMachineName"), QHostInfo::localHostName());
    params.insert(QStringLiteral("beforeUpgradeVersion"), before);
    params.insert(QStringLiteral("afterUpgradeVersion"), info.m_szVersionNo);
    params.insert(QStringLiteral("upgradeTime"), QString::number(Clock::now().toSecsSinceEpoch()));
    params.insert(QStringLiteral("sign"), m_common.valueChainSign(params));

    QJsonObject answer;
    if (!askConfigService(QLatin1String(kRecordPath), params, answer))
        return false;
    const QString ack = answer.value(QStringLiteral("ack")).toString();
    if (ack == QLatin1String("200")) {
        qDebug() << "上传升级信息成功";
        return true;
    }
    qDebug() << "上传升级信息失败，ack:" << ack;
    return false;
}
