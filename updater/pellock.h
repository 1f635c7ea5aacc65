#pragma once

#include "installservice.h"

#include <QMainWindow>
#include <QString>
#include <QTimer>

class QSettings;
class popWidget;

namespace Ui {
class pellock;
}

// The updater's window: installs the launcher package the launcher staged, records the result
// in the hand-off file, reports the upgrade and starts the launcher again.
//
// The installation goes through the installation engine, so the launcher's folder is always
// either the old launcher or the new one, whole, whatever fails or kills the updater; an
// installation a killed updater left behind is finished or undone at the next start.
class pellock : public QMainWindow {
    Q_OBJECT
public:
    explicit pellock(QWidget *parent = nullptr);
    ~pellock() override;

    // The staged zip holds one top-level folder with the launcher's files (the launcher packs
    // its package that way); its content goes into szTargetFolder, the launcher's folder,
    // whatever that folder is called.
    bool UpdataZip(QString szPackage, QString szTargetFolder);
    // Replaces the launcher's executable szTarget by szSource in one rename.
    bool UpdataExe(QString szSource, QString szTarget);
    bool recordProToolUpgrade();
    void writeLogrecord(QString szMessage);

    // How long the updater waits for the launcher's process to end before it gives up.
    static void setLauncherExitWaitForTesting(int iMs);
    // The delay between the installation and the launcher's restart.
    static void setRestartDelayForTesting(int iMs);

public slots:
    void slotPopWidgetUpgrade();
    void slotTmpCloseWin();

signals:
    // The installation and its record are done (the restart timer runs).
    void sigInstallFinished(bool bSucceeded);

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void slotInstall();
    void slotInstallProgress(int filesInstalled, int filesTotal, qint64 bytesInstalled, qint64 bytesTotal);

private:
    QString handOffValue(const QString &szKey) const;
    bool writeHandOff(const QString &szKey, const QString &szValue);
    QString launcherPath() const;
    QString launcherNameFromHandOff() const;
    QString launcherProgramName() const;
    // Why the package cannot become the launcher; empty when it can.
    QString zipPackageProblem(const QString &szPackage, QString &szTopFolder) const;
    QString exePackageProblem(const QString &szSource) const;
    bool waitForLauncherExit();
    // Waits for the launcher to end, then installs the package through the engine (for a zip,
    // the content of its folder szArchiveFolder); logs the success or fails with the reason.
    bool installOverLauncher(const QString &szPackage, const QString &szTarget,
                             InstallService::PACKAGEKIND_E kind, const QString &szArchiveFolder);
    void fail(const QString &szMessage);
    // Whether the staged package may be installed: signed by a key of the launcher's
    // CONFIGSET.ini, or no key is asked for there (logged).
    bool packageTrusted(const QString &szPackage);

    QTimer m_timerRestart;
    popWidget *m_pPopWidget = nullptr;
    QString m_szConfigPath;
    QSettings *m_pSettings = nullptr;
    Ui::pellock *ui;

    QString m_szLauncherFolder;
    QString m_szHandOffSection;       // the hand-off file's one section, named after the launcher
    QString m_szLauncherName;         // the launcher's program name, without the system's suffix
    bool m_bInstallStarted = false;   // shown once: the installation is on its way
    bool m_bInstallQueued = false;    // the installation has been started
    bool m_bRecoveredInstall = false; // a killed run's installation was found complete at start
    QString m_szFailure;
    bool m_bPackageRefused = false; // the failure lies in the package itself, not in this run
};
