#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QMap>
#include <QMainWindow>
#include <QPair>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QElapsedTimer>
#include <QTimer>
#include <QVector>

#include <functional>
#include <memory>

#include "common.h"
#include "packagesignature.h"
#include "popwidget.h"
#include "productshowinfo.h"
#include "toolbutton.h"

class QComboBox;
class QJsonObject;
class QCompleter;
class QRegExpValidator;
class QSettings;
class QThread;
class messageBox;
class popCloseWidget;
class popSelectWidget;
class popTextWidget;

namespace Ui {
class Tovarin;
}

// One dealer (customer) the logged-in account may build for.
struct DEALERINFO_S {
    int m_iDealerId = 0;
    QString m_szDealerName;
};

// One upgrade package as the configuration server describes it, completed with local facts.
struct UPGRADEPACKAGEINFO_S {
    QString m_szProToolUniqId;
    QString m_szVersionUniqId;
    QString m_szVersionNo;
    bool m_bForceUpgrade = false;
    QString m_szVersionRemark;
    QString m_szUpgradePackageUrl;
    QString m_szUpgradePackageType;
    QString m_szProToolId;
    bool m_bNeedUpgrade = false;
    bool m_bFirstInstall = false;
    bool m_bUpgraded = false;
    QString m_szExeName;
    QString m_szToolPath;
    QString m_szCurrentVersion;
    QStringList m_listUnupdate;
};
Q_DECLARE_METATYPE(UPGRADEPACKAGEINFO_S)

// An installation started and not yet confirmed by the server.
struct CHECKUPGRADEINFO_S {
    QString m_szProToolId;
    bool m_bUpgradeStarted = false;
};

// Body of the launcher's own upgrade worker thread.
void slotMainAppDowloadUpgradeFun_(void *pWindow, void *pPopWidget);

// Stops the launcher's own upgrade worker at its next step and waits for it, so the worker
// never outlives the window whose members it uses.
struct MainAppUpgradeThreadDeleter {
    void operator()(QThread *thread) const;
};

// The launcher's main window: station setup page, tool page, tool processes, update engine.
// Its member definitions are split by concern into tovarin_<concern>.cpp.
class Tovarin : public QMainWindow {
    Q_OBJECT
    friend class KovaLogin;

public:
    explicit Tovarin(QWidget *parent = nullptr);
    ~Tovarin() override;

    // --- configuration files
    bool iniConfigOpenRead();
    bool openMainConfig();
    void readMainConfig();
    bool readConfFile(QString path);

    // --- station setup page
    void uiSetConfigPage();
    bool pageSwitchLimit();
    void resumeSelectedTools();
    void initConfigurationPageSwitch();

    // --- tool page
    void uiSetToolPage();
    void resetToolPageUI();
    int findToolIsSelected(QString toolID, QVector<toolButtonInfo> list);
    void setLabToolVerText(QString flag);

    // --- product and customer
    void clearImportantInfo();
    void setCustomerCombText(QString text, int id, bool lock);

    // --- dealer list
    bool postGetToken(QString &token);
    QString getDeviceOwnerList();

    // --- processes
    bool checkProcessExist(QString szExeName);
    bool checkProcessExist(QStringList listExeNames);
    QStringList findProcessExist(QStringList listExeNames);
    void shutDownProcess(QString szExeName);
    // Ends m_listRunningTools and lists again; false (and the operator told) when one is still
    // running and this is the first close that met it.
    bool endRunningTools();
    void slotToolStartPoll();

    // --- launcher self-update
    bool mainAppUpdataQuery(bool &bNeedUpgrade, bool &bForceUpgrade);
    bool doUpgradeMainToolWorks();

    // --- tool update check and installation
    bool toolAppUpdataQuery(toolButtonInfo info);
    bool toolAppDownloadUpgrade(UPGRADEPACKAGEINFO_S info);
    bool recordProToolUpgrade(UPGRADEPACKAGEINFO_S info);
    void notCoverFile(QString szLocalFolder, QString szPackageFolder);

signals:
    void signalShowEventFinished();
    void signalMainUpdataFinished();
    void signalToolForceOrFirstUpgrade(UPGRADEPACKAGEINFO_S info);
    void signalForceCloseApp();

public slots:
    void slotLogRecord(QString message);

    // setup page and page switching
    void slotBtnConfigClicked();
    void slotBtnProductClicked();
    void on_btnConfrim_clicked();
    void on_btnCancel_clicked();

    // tool page
    void slotSetProductionTools();
    void slotTbtnChangeStatus(QString toolID, UPGRADESTATUS_E afterStatus);

    // product and customer
    void on_combSelectCon_currentIndexChanged(int iIndex);
    void on_combSelectType_currentIndexChanged(int index);
    void on_combSelectFile_textActivated(const QString &text);
    void on_combSelectFile_highlighted(int index);
    void on_combSelectFile_currentTextChanged(const QString &text);
    void on_combSelectCustmer_textActivated(const QString &text);
    void on_combSelectCustmer_highlighted(int index);
    void on_btnSelectProduct_clicked();
    void slotProductChange(PRODUCTSHOWINFO_S pInfo);
    void slotShowProductInfo(PRODUCTSHOWINFO_S pInfo);
    void slotShowProductInfo(QString szProductName, QString szPicPath, QString szPID, QString szModel,
                             QString szVersion, QString szCreatTime, ELECTRICTYPE_E productType,
                             QString ToolVer, QString szCustomIDFlag);
    void slotIsShowProductInfo(bool bShow);
    void slotToCheckDealer();

    // processes and window
    void slotProcessOpen(toolButtonInfo info);
    void slotCloseWin();
    void slotBtnCloseWidgetPopClose();
    void slotRecordCloseWidgetBan(bool bBaned);
    void slotPopWidgetClose();
    void slotPopMessage(QString szMessage);
    void slotPopNotOpenMsg(QString szToolName);
    void slotTopMoveEvent(QPoint pointMove);
    void slotTopReleaseEvent();
    void slotWindowMinimizi();
    void slotBtnMessageBoxClicked();
    void slotMessageBoxHide();

    // launcher self-update
    void slotMainAppUpdataQuery();
    void slotMainAppDowloadUpgrade(bool bUpgrade);
    void slotPopWidgetUpgrade(QString szVersion, QString szRemark, popType type);
    void slotPopWidgetUpgrade(QString szVersion, QStringList listRemark, popType type);
    void slotPopWidgetUpgradeClose();
    void slotRecordCurrentTime();
    // The staging worker has ended: hand over to the updater, or carry on without upgrading.
    void slotMainAppUpgradeWorkerFinished();

    // tool update check and installation
    void slotmTimerToolUpCheck();
    void slotToolAppUpdataLoopRequest();
    void slotToolForceOrFirstUpgrade(UPGRADEPACKAGEINFO_S info);
    void slotToolAppDowloadUpgrade(toolButtonInfo info);
    void on_btnAllUpgrade_clicked();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // The committed tool list of a tile's group, or nullptr for a group the page does not have.
    QVector<toolButtonInfo> *toolListOfPlace(PLACETYPE_E place);
    // Writes one MAINSET.ini key through the private-profile writer.
    bool writeMainSet(const QString &section, const QString &key, const QString &value);
    // A file or folder named relative to the application folder ("./Tool/" as CONFIGSET.ini
    // writes tool paths); CONFIGSET.ini, MAINSET.ini and the tools all live there.
    static QString resolveInAppFolder(const QString &relativePath);
    // The station check's toasts; the quiet ones are held back during the first show.
    void popStationMessage(const QString &message, bool quiet);
    // A tool record is the same tool when key and id agree (two tools may share one id).
    static int findSameTool(const toolButtonInfo &info, const QVector<toolButtonInfo> &list);
    // The tool page's tiles of one group, in fill order.
    QVector<toolButton *> toolPageTiles(PLACETYPE_E place) const;
    // The folder of a tool ("./Tool/" in CONFIGSET.ini), absolute, ending with "/".
    static QString toolFolderOf(const toolButtonInfo &info);
    // Opens the tool page after a passed station check.
    void openToolPage();
    // Posts to the device-ownership service (HTTPS when its address contains "https").
    QString ownershipPost(const QString &path, const QMap<QString, QString> &params);
    // The customer remembered at the last tool start, offered once when a product without a
    // fixed dealer is chosen: only an id of the account's dealers, never locking the combo.
    void suggestStoredOwner();
    // The completer of the configuration file combo, one for the window's life.
    QCompleter *confCompleter();
    // Item-flag data (role 255) of one combo item; a text means no flags: shown, unselectable.
    static void setItemFlagText(QComboBox *combo, int row, const QString &text);
    // Who asked for a tool installation; decides what is checked when its turn comes.
    enum INSTALLORIGIN_E : int {
        INSTALL_ORIGIN_AUTOMATIC, // forced or first installation found by the update check
        INSTALL_ORIGIN_TILE,      // a tile's download or update button
        INSTALL_ORIGIN_ALL        // "全部更新"
    };
    // Posts a signed request to the configuration service and reads its answer (a malformed one
    // reads as an empty object); false when no http(s) domain is set or no answer came.
    bool askConfigService(const QString &path, const QMap<QString, QString> &params, QJsonObject &answer);
    // Queues one installation of a tool unless it is queued or installing already, then works
    // the queue unless it is being worked further up the stack.
    void enqueueToolInstall(const QString &toolId, INSTALLORIGIN_E origin);
    void runInstallQueue();
    // The record a queued installation installs when its turn comes, looked up afresh.
    bool packageForTurn(const QString &toolId, INSTALLORIGIN_E origin, UPGRADEPACKAGEINFO_S &package) const;
    // True while the tool's installation is queued or running: the tool must not be started.
    bool toolInstallBusy(const QString &toolId) const;
    // The package version was installed successfully since the launcher started.
    bool installedThisRun(const UPGRADEPACKAGEINFO_S &package) const;
    // Ends the installation with a failure the operator sees on the tile (and in a toast).
    void failToolInstall(const UPGRADEPACKAGEINFO_S &package, const QString &folderName,
                         const QString &message, bool show, UPGRADESTATUS_E state);
    // Keep-list names cleaned for joining below the tool's folder; unsafe ones are logged, dropped.
    QStringList safeKeepList(const QStringList &names, const QString &folderName);
    // Whether a downloaded tool package may go on to be unpacked or started: signed by a key of
    // the station, or the station asks for no signatures (logged). A refused one is removed.
    bool toolPackageTrusted(const UPGRADEPACKAGEINFO_S &package, const QString &folderName,
                            const QString &packageFile, const PackageSignature::STATIONKEYS_S &keys);
    // The package's entries all lie below the tool's folder, and it holds at least one file.
    // problem: why the names do not fit, for the log (empty when the zip cannot be read).
    bool zipFitsToolFolder(const QString &zipPath, const QString &folderName, QString &problem);
    void setToolProgress(const QString &toolId, int percent);
    // Ends the application once no installation is running; none starts after this.
    void closeAfterInstallation();
    // Gives the pop-ups the see-through look where the window system blends windows, an
    // opaque one elsewhere. Asked before every show: a compositor may start or stop meanwhile.
    void refreshPopupLook();
    // The end of the launcher's own update check when no upgrade follows: the page the station
    // needs and the tool update check.
    void continueWithoutMainAppUpgrade();
    // True (and the operator told) while the launcher's package is being staged: the worker
    // writes into the launcher's folders, so the window must not go away meanwhile.
    bool refuseCloseWhileSelfUpgrading();
    // The offered launcher package is the one the updater already ran for (failed, or
    // installed without changing the version): starting it again would loop.
    bool lastRecordIsOfferedPackage() const;
    QString mainAppUpgradeBlockedReason(bool bForced) const;
    void recordMainAppFailure(bool bRefused);
    // One key of the hand-off file, through the private-profile writer.
    bool writeUpgradeConfig(const QString &key, const QString &value);
    // Logs a staging failure and keeps its message for the operator; always false.
    bool failMainAppStaging(Common &common, const QString &message);

public:
    // Called on the staging worker before each staging step with the step's name, so tests can
    // disturb the files at a known point. Empty: none.
    static void setMainAppStagingWatcherForTesting(std::function<void(const QString &step)> watcher);

public:
    QPoint m_pointWinPos;
    QRegExpValidator *m_validator = nullptr;
    messageBox *m_pMessageBox = nullptr;
    popWidget *m_pPopWidget = nullptr;
    popSelectWidget *m_pPopSelectWidget = nullptr;
    popCloseWidget *m_pPopCloseWidget = nullptr;
    bool m_bClosePop = true;
    popTextWidget *m_pPopTextWidget = nullptr;

    QString m_szUserPosition;
    QString m_szUserLinePosition;
    QString m_szUserWorkPosition;
    QString m_szEmployeeNumber;

    QSettings *m_pMainSettings = nullptr;
    QByteArray m_szMainSetPath;
    QStringList m_listMainGroups;

    QVector<toolButtonInfo> m_vecProductionTools;
    QVector<toolButtonInfo> m_vecAuxiliaryTools;
    QVector<toolButtonInfo> m_vecNvrDvrTools;
    QVector<toolButton *> m_vecConfigButtons;
    QVector<toolButton *> m_vecToolButtons;
    QStringList m_listAbandonId;
    bool m_bEmpWorkCheck = false;

    PRODUCTSHOWINFO_S m_productInfo;
    QDir m_dirBpcConf;
    QDir m_dirProductCheckConf;
    QDateTime m_dateUpgradeLimit;

    QString m_szAccount;
    QString m_szPassword;
    int m_iOwnerId = 0;
    QString m_szOwnerName;
    QString m_szDealerCode;
    bool m_bDealerFromConf = false;
    bool m_bOwnerLoaded = false;
    QVector<DEALERINFO_S> m_vecDealerInfo;

    QStringList m_listConfFiles;
    QCompleter *m_pConfCompleter = nullptr;

    QTimer m_timerCheckDealer;
    QTimer m_timerToolStart;                         // looks for the tools being started
    QMap<QString, QElapsedTimer> m_mapToolsStarting; // started, not listed yet: since when
    Common m_common;
    QTimer mTimerToolUpCheck;
    bool m_bFirstShow = true;
    bool m_bClosingWithToolsLeft = false; // told once that tools outlived the close
    bool m_bToolCheckQuerying = false;    // the tool check waits for the server's answers
    bool m_bFirstShowStarted = false;     // the first show's block has begun (it waits on the server)

    QStringList m_listRunningTools;
    bool m_bMessageBoxShown = false;

    UPGRADEPACKAGEINFO_S m_mainAppPackageInfo;
    QString m_szControlProToolId;
    QString m_szUpgradeConfigPath;
    QVector<UPGRADEPACKAGEINFO_S> m_vecToolPackageInfo;
    QVector<CHECKUPGRADEINFO_S> m_vecCheckUpgradeInfo;

    // One check at a time: a request during a check (or an installation) runs one more after it.
    bool m_bToolCheckRunning = false;
    bool m_bToolCheckPending = false;
    // Installations run one after another; a press during one queues behind it.
    QVector<QPair<QString, INSTALLORIGIN_E>> m_vecInstallQueue;
    bool m_bInstallQueueRunning = false;
    QString m_szInstallingToolId;
    // Records the last check counted in totalUpdataNum, per tool id.
    QMap<QString, int> m_mapCountedUpgrades;
    // Package versions installed successfully since start ("versionUniqId|versionNo" per tool id).
    QMap<QString, QString> m_mapInstalledPackages;
    // The tile state of each tool's last failed installation, shown again while it is blocked.
    QMap<QString, UPGRADESTATUS_E> m_mapFailedInstallState;
    bool m_bClosing = false;

    // What the last hand-off left behind, read before the file is emptied.
    QString m_szLastVersionUniqId;
    QString m_szLastVersionNo;
    QString m_szLastUpgradeSucceed;
    QString m_szLastUpgradeFailure; // "refused": the package itself is wrong; "passing" or empty
    int m_iLastFailedAttempts = 0;
    int m_iMainAppFailedAttempts = 0; // passing failures of the offered package so far
    bool m_bMainAppPackageRefused = false;
    // The launcher's own upgrade: running from the start of staging until the hand-off or
    // the return to the pages; the worker's result and failure message, read after it ended.
    bool m_bMainAppUpgrading = false;
    bool m_bMainAppStaged = false;
    QString m_szMainAppStagingError;
    popWidget *m_pMainAppProgressTarget = nullptr;
    // Declared after every member the worker uses: destroyed first, so the worker has ended
    // before any of them goes.
    std::unique_ptr<QThread, MainAppUpgradeThreadDeleter> m_pMainAppUpgradeThread;

    Ui::Tovarin *ui = nullptr;
};
