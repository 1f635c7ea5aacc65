// Starting, finding and ending tools; closing the launcher; the toast and the window slots.
#include "tovarin.h"
#include "ui_tovarin.h"

#include "messagebox.h"
#include "platform.h"
#include "popclosewidget.h"
#include "poptextwidget.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QFile>

namespace {

// A tool's program as it runs: the configured name plus the platform's executable suffix.
QString imageNameOf(const QString &exeName) {
    return exeName + Platform::executableSuffix();
}

// How long a started tool may take to show among the running programs; a press meanwhile is
// refused as if it were running, so that a slow loader is never started twice.
const int kToolAppearLimitMs = 2000;
// How often the tools being started are looked for meanwhile.
const int kToolAppearPollMs = 50;
// A start script still running after this is ended; its tool counts as not started.
const int kStartScriptLimitMs = 30000;

} // namespace

QString Tovarin::toolFolderOf(const toolButtonInfo &info) {
    return resolveInAppFolder(info.m_szToolPath) + QLatin1Char('/');
}

bool Tovarin::checkProcessExist(QString szExeName) {
    return Platform::imageRunning(Platform::listRunningImages(), szExeName);
}

bool Tovarin::checkProcessExist(QStringList listExeNames) {
    return !findProcessExist(listExeNames).isEmpty();
}

QStringList Tovarin::findProcessExist(QStringList listExeNames) {
    const QStringList running = Platform::listRunningImages();
    QStringList found;
    for (const QString &name : qAsConst(listExeNames)) {
        if (Platform::imageRunning(running, name))
            found.append(name);
    }
    return found;
}

void Tovarin::shutDownProcess(QString szExeName) {
    Platform::endImageThroughHelper(szExeName, QDir::currentPath());
}

void Tovarin::slotProcessOpen(toolButtonInfo info) {
    qDebug() << info.m_listUnupdate;

    const bool localProduct = !m_productInfo.m_szLocalPath.isEmpty();
    const bool catalogueProduct = !localProduct && !m_productInfo.m_szPID.isEmpty();
    if (info.m_eElectricType == ELECTRIC_TYPE_ANY) {
        // The next start restores the list the chosen configuration came from.
        const bool lowPowerChosen = localProduct && m_productInfo.m_eProductType == ELECTRIC_TYPE_LOW_POWER;
        writeMainSet(QStringLiteral("FAST_CONF"), QStringLiteral("ConfType"),
                     lowPowerChosen ? QStringLiteral("0") : QStringLiteral("1"));
    } else {
        if (!localProduct && !catalogueProduct) {
            slotPopMessage(tr("请选择产品后再开始产测"));
            return;
        }
        // The catalogue names no power type; the operator chose its product for this station,
        // so it fits tools of both types.
        if (!catalogueProduct && info.m_eElectricType != m_productInfo.m_eProductType) {
            QString productPart;
            if (m_productInfo.m_eProductType == ELECTRIC_TYPE_LOW_POWER)
                productPart = tr("选择的产品是低功耗类型,");
            else if (m_productInfo.m_eProductType == ELECTRIC_TYPE_MAINS)
                productPart = tr("选择的产品是常电类型,");
            const QString toolPart = info.m_eElectricType == ELECTRIC_TYPE_LOW_POWER
                                         ? tr("无法选择低功耗工具测试，请重新选择")
                                         : tr("无法选择常电工具测试，请重新选择");
            slotPopMessage(productPart + toolPart);
            return;
        }
        if (m_iOwnerId < 1 || m_szOwnerName.length() < 2) {
            slotPopMessage(tr("请选择客户后再开始产测"));
            return;
        }
        writeMainSet(QStringLiteral("FAST_CONF"), QStringLiteral("ConfType"),
                     info.m_eElectricType == ELECTRIC_TYPE_LOW_POWER ? QStringLiteral("0")
                                                                     : QStringLiteral("1"));
    }

    writeMainSet(QStringLiteral("FAST_CONF"), QStringLiteral("ConfOLType"),
                 catalogueProduct ? QStringLiteral("0") : QStringLiteral("1"));

    writeMainSet(QStringLiteral("Owner"), QStringLiteral("ID"), QString::number(m_iOwnerId));
    writeMainSet(QStringLiteral("Owner"), QStringLiteral("Name"), m_szOwnerName);
    const QString fast = QStringLiteral("FAST_CONF");
    writeMainSet(fast, QStringLiteral("lastCustomBrand"), m_productInfo.m_szCustomBrand);
    writeMainSet(fast, QStringLiteral("lastCustomIDFlag"), m_productInfo.m_szCustomIDFlag);
    writeMainSet(fast, QStringLiteral("lastConf"), m_productInfo.m_szProductName);
    writeMainSet(fast, QStringLiteral("lastOnlinePID"), m_productInfo.m_szPID);
    writeMainSet(fast, QStringLiteral("lastOnlineCreateDate"), m_productInfo.m_szCreatTime);
    writeMainSet(fast, QStringLiteral("lastOnlineMod"), m_productInfo.m_szModel);
    writeMainSet(fast, QStringLiteral("lastOnlineVersion"), m_productInfo.m_szVersion);
    writeMainSet(fast, QStringLiteral("lastOnlinePicPath"), m_productInfo.m_szPicPath);
    writeMainSet(fast, QStringLiteral("lastLocalPath"), m_productInfo.m_szLocalPath);

    // The tile's state is what the operator sees; the queue is what will touch the files.
    if (info.m_eUpgradeStatus == UPGRADE_STATUS_UPGRADING || toolInstallBusy(info.m_szToolId)) {
        slotPopMessage(QStringLiteral("程序正在升级，无法启动"));
        return;
    }
    if (info.m_eUpgradeStatus == UPGRADE_STATUS_NEW)
        slotTbtnChangeStatus(info.m_szToolId, UPGRADE_STATUS_NORMAL);

    if (m_mapToolsStarting.contains(imageNameOf(info.m_szExeName)) ||
        checkProcessExist(imageNameOf(info.m_szExeName))) {
        slotPopMessage(QStringLiteral("程序已打开，无法再次启动"));
        return;
    }

    const QString folder = toolFolderOf(info);
    const QString script = folder + Platform::toolStartScriptName();
    // An existing start script is used as it is, even if the tool's name changed since.
    if (!QFile::exists(script) &&
        !Platform::writeScriptFile(script, Platform::toolStartScriptText(imageNameOf(info.m_szExeName)))) {
        if (!QFile::exists(folder + imageNameOf(info.m_szExeName)))
            slotPopMessage(info.m_szToolName + tr(":工具未开放下载"));
        else
            slotPopMessage(tr("子程序打开失败"));
        return;
    }

    // The script only hands the tool to the system, but the command interpreter takes a while to
    // start: it runs beside the window, which stays responsive. The tool counts as starting from
    // now, so a press meanwhile is refused as for a running tool.
    const QString image = imageNameOf(info.m_szExeName);
    m_mapToolsStarting.insert(image, QElapsedTimer());
    auto *process = new QProcess(this);
    auto *limit = new QTimer(process);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, process, [process] { process->kill(); });
    const auto ended = [this, process, image](int exitCode, bool normal) {
        if (!normal || exitCode != 0) {
            const int code = normal ? exitCode : -1;
            slotLogRecord(QStringLiteral("ErrorNum =") + QString::number(code) + QStringLiteral(" : ") +
                          process->errorString());
            m_mapToolsStarting.remove(image);
        } else if (m_mapToolsStarting.contains(image)) {
            // Confirmed from a timer: the window goes on while the tool loads.
            m_mapToolsStarting[image].start();
            if (!m_timerToolStart.isActive())
                m_timerToolStart.start(kToolAppearPollMs);
        }
        process->deleteLater();
    };
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [ended](int exitCode, QProcess::ExitStatus status) {
                ended(exitCode, status == QProcess::NormalExit);
            });
    connect(process, &QProcess::errorOccurred, this, [ended](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            ended(-1, false);
    });
    limit->start(kStartScriptLimitMs);
    Platform::startScript(*process, script, folder);
}

void Tovarin::slotToolStartPoll() {
    const QStringList running = Platform::listRunningImages();
    for (auto it = m_mapToolsStarting.begin(); it != m_mapToolsStarting.end();) {
        // Not timed before its script has ended.
        if (Platform::imageRunning(running, it.key()) ||
            (it.value().isValid() && it.value().hasExpired(kToolAppearLimitMs)))
            it = m_mapToolsStarting.erase(it);
        else
            ++it;
    }
    if (m_mapToolsStarting.isEmpty())
        m_timerToolStart.stop();
}

void Tovarin::slotCloseWin() {
    if (refuseCloseWhileSelfUpgrading())
        return;
    QStringList names;
    for (toolButton *tile : qAsConst(m_vecToolButtons))
        names.append(imageNameOf(tile->m_btnInfo.m_szExeName));
    m_listRunningTools = findProcessExist(names);

    if (!m_bClosePop) {
        if (endRunningTools())
            closeAfterInstallation();
        return;
    }
    if (m_listRunningTools.isEmpty())
        closeAfterInstallation();
    else
        slotPopWidgetClose();
}

void Tovarin::closeEvent(QCloseEvent *event) {
    if (refuseCloseWhileSelfUpgrading()) {
        event->ignore();
        return;
    }
    // A close from the window system (a key, the task bar) takes the way of the close button,
    // so the tools are ended and the operator asked as set.
    if (event->spontaneous()) {
        event->ignore();
        slotCloseWin();
        return;
    }
    QMainWindow::closeEvent(event);
}

void Tovarin::slotPopWidgetClose() {
    refreshPopupLook();
    m_pPopCloseWidget->setGeometry(0, 0, width(), height());
    m_pPopCloseWidget->show();
    m_pPopCloseWidget->move(pos());
}

void Tovarin::slotBtnCloseWidgetPopClose() {
    m_pPopCloseWidget->close();
    if (endRunningTools())
        closeAfterInstallation();
}

bool Tovarin::endRunningTools() {
    for (const QString &name : qAsConst(m_listRunningTools))
        shutDownProcess(name);
    // Ending can fail (the helper not written, a tool of another user or with more rights): a
    // launcher that quits then leaves tools running unseen. The operator is told which, and
    // the next confirmed close quits all the same.
    const QStringList left =
        m_listRunningTools.isEmpty() ? QStringList() : findProcessExist(m_listRunningTools);
    if (left.isEmpty() || m_bClosingWithToolsLeft)
        return true;
    m_bClosingWithToolsLeft = true;
    qDebug() << "工具未能关闭:" << left;
    slotLogRecord(QStringLiteral("工具未能关闭:") + left.join(QStringLiteral(", ")));
    slotPopMessage(tr("以下工具未能关闭，请关闭后再退出（再次关闭将直接退出）：") +
                   left.join(QStringLiteral("、")));
    return false;
}

void Tovarin::slotRecordCloseWidgetBan(bool bBaned) {
    m_bClosePop = !bBaned;
    writeMainSet(QStringLiteral("UISetting"), QStringLiteral("bClosePop"),
                 bBaned ? QStringLiteral("false") : QStringLiteral("true"));
}

void Tovarin::slotPopMessage(QString szMessage) {
    // One line per 40 characters, no break after the last one; a line more gives a second more.
    int lines = 1;
    const QString text = popTextWidget::breakLines(szMessage, 40, &lines);
    const int showTime = (lines + 1) * 1000;

    refreshPopupLook();
    m_pPopTextWidget->setShowTimes(showTime);
    m_pPopTextWidget->setLabelText(text);
    // 40 Chinese characters are wider than 426 pixels: the toast widens rather than clip them.
    const int width = qMax(426, m_pPopTextWidget->minimumSizeHint().width());
    m_pPopTextWidget->setGeometry(x() + 201, y() + 160, width, 40 * lines);
    m_pPopTextWidget->show();
}

void Tovarin::slotPopNotOpenMsg(QString szToolName) {
    slotPopMessage(szToolName + tr("工具暂未开放，敬请期待"));
}

void Tovarin::slotTopMoveEvent(QPoint pointMove) {
    move(m_pointWinPos + pointMove);
}

void Tovarin::slotTopReleaseEvent() {
    m_pointWinPos = pos();
}

void Tovarin::slotWindowMinimizi() {
    setWindowState(Qt::WindowMinimized);
}

void Tovarin::slotBtnMessageBoxClicked() {
    if (m_bMessageBoxShown) {
        m_pMessageBox->hide();
        m_bMessageBoxShown = false;
        return;
    }
    m_pMessageBox->move(x() + 700, y() + 74);
    m_pMessageBox->show();
    m_pMessageBox->activateWindow();
    m_pMessageBox->setFocus();
    m_bMessageBoxShown = true;
}

void Tovarin::slotMessageBoxHide() {
    m_bMessageBoxShown = false;
}
