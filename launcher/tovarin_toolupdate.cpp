// Tool update check: one signed query per tool-page tile, the tiles' upgrade states, and the
// automatic start of forced and first installations.
#include "tovarin.h"
#include "ui_tovarin.h"

#include "applicationfolder.h"
#include "globals.h"
#include "platform.h"
#include "secretmask.h"

#include <QDebug>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const char *const kLastPackagePath = "ToolClientConfigManageApi/getProToolLastUpgradePackage";
} // namespace

bool Tovarin::askConfigService(const QString &path, const QMap<QString, QString> &params,
                               QJsonObject &answer) {
    const QString domain = m_common.getDomainName();
    QString result;
    if (domain.startsWith(QLatin1String("http://"))) {
        qDebug() << "is http";
        result = m_common.httpPostRequest(domain + path, params);
    } else if (domain.startsWith(QLatin1String("https://"))) {
        qDebug() << "is https";
        result = m_common.httpsPostRequest(domain + path, params);
    } else {
        qDebug() << "没有设置域名";
        return false;
    }
    qDebug() << "resultHttp:" << SecretMask::maskAnswer(result);
    if (result.isEmpty()) {
        qDebug() << "http请求超时";
        return false;
    }
    answer = QJsonDocument::fromJson(result.toUtf8()).object();
    qDebug().noquote() << "resultHttpObj:" << SecretMask::maskAnswer(answer);
    return true;
}

void Tovarin::slotmTimerToolUpCheck() {
    mTimerToolUpCheck.stop();
    emit signalMainUpdataFinished();
}

void Tovarin::slotToolAppUpdataLoopRequest() {
    // A check started from another check's (or an installation's) wait would clear the package
    // list under it and install tools twice: it runs once that work is done instead.
    if (m_bToolCheckRunning || m_bInstallQueueRunning) {
        m_bToolCheckPending = true;
        return;
    }
    if (m_bClosing)
        return;
    m_bToolCheckRunning = true;
    m_bToolCheckPending = false;

    qDebug() << "---------子工具查询升级----------";
    m_vecToolPackageInfo.clear();
    totalUpdataNum = 0;
    m_mapCountedUpgrades.clear();

    // The tile list may change while a query waits: it is read afresh for every tile.
    m_bToolCheckQuerying = true;
    for (int i = 0; i < m_vecToolButtons.size(); ++i) {
        const toolButtonInfo tile = m_vecToolButtons.at(i)->m_btnInfo;
        if (!toolAppUpdataQuery(tile))
            qDebug() << "获取子工具升级信息失败";
    }
    m_bToolCheckQuerying = false;

    for (const UPGRADEPACKAGEINFO_S &package : qAsConst(m_vecToolPackageInfo)) {
        // A version installed since start is not offered again, whatever the tool reports.
        if (!package.m_bNeedUpgrade || package.m_bUpgraded)
            continue;
        // Pressed during the queries: it installs next, and counts no more.
        if (toolInstallBusy(package.m_szProToolId)) {
            slotTbtnChangeStatus(package.m_szProToolId, UPGRADE_STATUS_UPGRADING);
            continue;
        }
        if (package.m_bForceUpgrade || package.m_bFirstInstall) {
            slotTbtnChangeStatus(package.m_szProToolId, UPGRADE_STATUS_UPGRADING);
        } else {
            slotTbtnChangeStatus(package.m_szProToolId, UPGRADE_STATUS_UPGRADABLE);
            ++totalUpdataNum;
            ++m_mapCountedUpgrades[package.m_szProToolId];
        }
    }
    qDebug() << "totalUpdataNum:111:" << totalUpdataNum;
    ui->btnAllUpgrade->setVisible(totalUpdataNum > 0);
    // What the operator pressed during the queries goes first.
    runInstallQueue();

    // Copies: the installations run in this loop and their waits may let the list change.
    const QVector<UPGRADEPACKAGEINFO_S> packages = m_vecToolPackageInfo;
    for (const UPGRADEPACKAGEINFO_S &package : packages) {
        if (!package.m_bNeedUpgrade || package.m_bUpgraded ||
            !(package.m_bForceUpgrade || package.m_bFirstInstall))
            continue;
        bool blocked = false;
        for (const CHECKUPGRADEINFO_S &check : qAsConst(m_vecCheckUpgradeInfo)) {
            if (check.m_szProToolId == package.m_szProToolId && check.m_bUpgradeStarted)
                blocked = true;
        }
        if (blocked) {
            // Not retried automatically: the tile keeps its failure and the button to retry.
            slotTbtnChangeStatus(
                package.m_szProToolId,
                m_mapFailedInstallState.value(package.m_szProToolId, UPGRADE_STATUS_UPGRADE_FAILED));
            continue;
        }
        emit signalToolForceOrFirstUpgrade(package);
    }

    m_bToolCheckRunning = false;
    if (m_bToolCheckPending && !m_bClosing) {
        m_bToolCheckPending = false;
        emit signalMainUpdataFinished();
    }
}

bool Tovarin::toolAppUpdataQuery(toolButtonInfo info) {
    qDebug() << "工具名称:" << info.m_szToolId;
    const QString folder = ApplicationFolder::path() + QLatin1Char('/') + info.m_szToolPath;
    qDebug() << "工具文件夹:" << folder;

    QString version = QStringLiteral("0.0.0.0");
    bool firstInstall = true;
    if (QDir(toolFolderOf(info)).exists()) {
        const QString exePath = toolFolderOf(info) + info.m_szExeName + Platform::executableSuffix();
        qDebug() << "szExePath:" << exePath;
        version = m_common.GetEXEVersionNum(exePath);
        firstInstall = version == QLatin1String("0.0.0.0");
    } else {
        qDebug() << "子工具ID所在的文件夹不存在，为首次安装";
    }
    qDebug() << "toolVersion:" << version;

    QMap<QString, QString> params;
    params.insert(QStringLiteral("loginToken"), m_szLoginToken);
    params.insert(QStringLiteral("proToolId"), info.m_szToolId);
    params.insert(QStringLiteral("controlProToolId"), m_szControlProToolId);
    params.insert(QStringLiteral("version"), version);
    params.insert(QStringLiteral("sign"), m_common.valueChainSign(params));

    QJsonObject answer;
    if (!askConfigService(QLatin1String(kLastPackagePath), params, answer))
        return false;
    const QString ack = answer.value(QStringLiteral("ack")).toString();
    if (ack != QLatin1String("200")) {
        qDebug() << "error ack:" << ack;
        slotPopMessage(tr("工具请求升级失败") + ack);
        return false;
    }

    const QJsonObject data = answer.value(QStringLiteral("data")).toObject();
    UPGRADEPACKAGEINFO_S package;
    package.m_szProToolUniqId = data.value(QStringLiteral("proToolUniqId")).toString();
    package.m_szVersionUniqId = data.value(QStringLiteral("versionUniqId")).toString();
    package.m_szVersionNo = data.value(QStringLiteral("versionNo")).toString();
    package.m_bForceUpgrade = data.value(QStringLiteral("forceUpgrade")).toInt(0) != 0;
    package.m_szVersionRemark = data.value(QStringLiteral("versionRemark")).toString();
    package.m_szUpgradePackageUrl = data.value(QStringLiteral("upgradePackageUrl")).toString();
    qDebug() << "proToolUniqId:" << package.m_szProToolUniqId;
    qDebug() << "versionUniqId:" << package.m_szVersionUniqId;
    qDebug() << "versionNo:" << package.m_szVersionNo;
    qDebug() << "forceUpgrade:" << package.m_bForceUpgrade;
    qDebug() << "versionRemark:" << package.m_szVersionRemark;
    qDebug() << "upgradePackageUrl:" << package.m_szUpgradePackageUrl;
    // The type follows the URL's file name; the test is case-sensitive.
    const QString urlPath = package.m_szUpgradePackageUrl.section(QLatin1Char('?'), 0, 0);
    package.m_szUpgradePackageType = urlPath.section(QLatin1Char('/'), -1).endsWith(QLatin1String("zip"))
                                         ? QStringLiteral("zip")
                                         : QStringLiteral("exe");
    package.m_szProToolId = info.m_szToolId;
    package.m_szExeName = info.m_szExeName;
    package.m_szToolPath = info.m_szToolPath;
    package.m_szCurrentVersion = version;
    package.m_listUnupdate = info.m_listUnupdate;
    package.m_bFirstInstall = firstInstall;

    if (!package.m_szVersionNo.isEmpty()) {
        qDebug() << "需要升级，当前版本:" << version << ",最新版本:" << package.m_szVersionNo;
        package.m_bNeedUpgrade = true;
    } else if (firstInstall) {
        qDebug() << "error ack:" << ack;
        slotPopMessage(info.m_szToolName + tr(":工具未开放下载"));
        return false;
    } else {
        qDebug() << "最新版本，无需升级";
        package.m_bNeedUpgrade = false;
    }

    // A package installed since start counts as done even when the tool cannot tell its version.
    package.m_bUpgraded = package.m_bNeedUpgrade && installedThisRun(package);
    m_vecToolPackageInfo.append(package);
    return true;
}

bool Tovarin::installedThisRun(const UPGRADEPACKAGEINFO_S &package) const {
    const auto found = m_mapInstalledPackages.constFind(package.m_szProToolId);
    return found != m_mapInstalledPackages.constEnd() &&
           *found == package.m_szVersionUniqId + QLatin1Char('|') + package.m_szVersionNo;
}
