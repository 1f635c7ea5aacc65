#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// Installs one package (a zip archive or a single executable) into one folder so that the
// folder ends either wholly new or byte for byte as it was, whatever fails or interrupts the
// installation.
//
// How: the package is first unpacked into a journal folder beside the target (same file system,
// never inside it), where a damaged entry, a full disk or a file-size limit costs nothing. Only
// then is a manifest written, and every file is put in place by two renames: the old file moves
// aside into the journal, the new one moves in. A file the folder holds already, byte for byte
// and with its mode, is left where it is. Renaming works on open files and running
// programs on Windows too, where overwriting and deleting do not. A failure rolls the renames
// back; a killed process leaves the journal behind, and recoverInterrupted() at the next start
// finishes the installation (when it had been marked complete) or undoes it.
//
// Once complete, the journal is renamed aside in one step and the files it replaced are deleted
// on a thread of its own after install() returned: the operator does not wait for it, and the
// next installation into the folder can start at once. That thread ends with the application
// object, leaving what it had not deleted yet to the next installation or recovery.
//
// The work runs on a worker thread while the caller waits in a local event loop, so a window
// that installs keeps painting. The object must live in the calling thread and must not be
// destroyed while install() runs. An installation holds a lock on its folder that every process
// sees; a second installation into a folder being installed into (started from that wait, or by
// another program) fails at once and changes nothing.
class InstallService : public QObject {
    Q_OBJECT
public:
    enum PACKAGEKIND_E {
        PACKAGE_ZIP, // an archive unpacked over the target folder
        PACKAGE_EXE  // an executable replacing the existing file named by the target path
    };
    enum INSTALLRESULT_E {
        INSTALL_OK,
        INSTALL_PACKAGE_MISSING,
        INSTALL_TARGET_MISSING,
        INSTALL_FAILED,             // the target is as it was, the package is kept
        INSTALL_PACKAGE_NOT_REMOVED // installed, but the package could not be deleted
    };
    // Points of an installation a watcher is told about, on the worker thread.
    enum INSTALLSTEP_E {
        STEP_FILE_STAGED,     // one file unpacked into the journal (index: files staged so far)
        STEP_JOURNAL_WRITTEN, // manifest on disk, nothing in the target changed yet
        STEP_FILE_MOVED_IN,   // one file in place (index: files in place so far)
        STEP_COMMITTED,       // every file in place and the installation marked complete
        STEP_FILE_REMOVED,    // one replaced file deleted, after install() returned, on the thread
                              // that cleans up (index: files deleted so far)
        STEP_OLD_KEPT         // the old file also named in the journal, the new one not yet in
                              // its place (index: files in place so far); Linux only
    };

    explicit InstallService(QObject *parent = nullptr);

    // Installs packagePath into target: for PACKAGE_ZIP target is the folder the archive's
    // entries are relative to; for PACKAGE_EXE it is the executable to replace (it must exist).
    // keepList names files and folders relative to target that an upgrade must not overwrite:
    // an installed file named there keeps its content; for an installed folder named there the
    // files directly inside it that exist keep theirs, while its sub-folders are installed from
    // the package; a name not installed yet is installed from the package. The package is
    // deleted after a successful installation. Blocks until done; message() tells why it failed.
    INSTALLRESULT_E install(const QString &packagePath, const QString &target, const QStringList &keepList,
                            PACKAGEKIND_E kind);

    // The caller-facing text of the last install(): the zip texts ("安装包不存在", "解压路径不存在",
    // "解压失败", "删除安装包失败") or the executable texts ("exe不存在", "目标exe文件不存在",
    // "拷贝exe失败", "删除exe失败"); empty after success.
    QString message() const;
    // Why the last install() refused the package, for the log (an unsafe or doubled entry name,
    // too little free space); empty when it was not refused for such a reason.
    QString detail() const;
    // Whether the last install() failed for what the package holds (names, entries outside the
    // folder, impossible sizes): the same package fails again however often it is tried, while
    // other failures (a locked file, a full disk) may pass.
    bool packageRefused() const;

    // Completes or undoes an installation into targetFolder that a killed process or a power
    // loss interrupted, and removes what a finished one left behind (on the cleaning thread,
    // as install() does, when an application object exists). Call it at start, before
    // anything reads or writes that folder (for an executable: its folder). True when nothing
    // is left to recover; false also while an installation into that folder runs, in this
    // process or another one, whose journal is then left alone, and when a completed journal
    // could not be renamed aside (a later call tries again).
    // pbCompleted (optional) tells whether an interrupted installation was found complete and
    // finished: its package is gone now, but the folder holds what it installed.
    // A journal naming anything outside its folder is never acted on: it is renamed aside for
    // inspection, the call returns false and pszProblem (optional) says why, for the log.
    static bool recoverInterrupted(const QString &targetFolder, bool *pbCompleted = nullptr,
                                   QString *pszProblem = nullptr);

    // Whether an installation into targetFolder runs now, in this process or another one. The
    // clean-up after an installation does not count: the folder is complete by then.
    static bool isInstalling(const QString &targetFolder);

    // Where the journal of installations into targetFolder lives.
    static QString journalPathOf(const QString &targetFolder);

    // For PACKAGE_ZIP: installs what lies below this top-level folder of the archive, relative to
    // that folder, so a package packed as "<name>/..." fills a target of any name. An entry
    // outside it fails the installation before the target is touched. Empty: the whole archive.
    void setArchiveFolder(const QString &folder);
    // For PACKAGE_ZIP: leaves out what lies below this folder (relative to the archive folder),
    // e.g. the updater, which a package carries but which never replaces itself while it runs.
    void setSkippedFolder(const QString &folder);

    // Lets tests stop or disturb an installation at a known point. Called on the worker thread,
    // and for STEP_FILE_REMOVED on the cleaning thread: it must stay callable until the clean-up
    // of the installation is done or the application object is gone.
    void setStepWatcher(std::function<void(INSTALLSTEP_E step, int index)> watcher);

signals:
    // Files and bytes unpacked so far; emitted from the worker, delivered in the caller's thread.
    void sigInstallProgress(int filesInstalled, int filesTotal, qint64 bytesInstalled, qint64 bytesTotal);

private:
    static bool settle(const QString &targetFolder, bool *pbCompleted = nullptr,
                       QString *pszProblem = nullptr);
    static bool settleJournal(const QString &targetFolder, bool *pbCompleted, QString *pszProblem);
    INSTALLRESULT_E work(const QString &packagePath, const QString &targetFolder, const QString &exeName,
                         const QStringList &keepList, PACKAGEKIND_E kind);

    QString m_szMessage;
    QString m_szDetail;
    bool m_bRefused = false;
    QString m_szArchiveFolder;
    QString m_szSkippedFolder;
    std::function<void(INSTALLSTEP_E, int)> m_stepWatcher;
};
