#pragma once

// A temporary station for the updater: the launcher's folder (any name) with a stand-in
// launcher, the updater's folder inside it, the hand-off file and the staged package.
//
//     <root>/<launcher folder>/Tovarin            script: appends "<argc>|<arg 1>|<version>" to
//                                                 <root>/started.log, stays while <root>/stay exists
//     <root>/<launcher folder>/Pellock/Pellock    the built updater (copyUpdater)
//     <root>/<launcher folder>/UpgradePackage/UpgradeConfig.ini, MainApp/Tovarin.zip | Tovarin
//
// The log the updater writes lands in its working folder; tests run it in <root>.

#include "testfiles.h"
#include "zipbuilder.h"

#include <QTemporaryDir>

class UpdaterStation {
public:
    // Builds the old launcher in <root>/<folderName>.
    explicit UpdaterStation(const QString &folderName = QStringLiteral("Tovarin"));
    bool isReady() const { return m_bReady; }

    QString root() const { return m_root.path(); }
    QString launcherFolder() const;
    QString updaterFolder() const { return launcherFolder() + QStringLiteral("/Pellock"); }
    QString launcherPath() const { return launcherFolder() + QLatin1Char('/') + launcherName(); }
    // The launcher's program name, which also names its hand-off section and staged package.
    static void setLauncherName(const QString &name);
    static QString launcherName();
    QString handOffPath() const;
    QString stagedZip() const;
    QString stagedExe() const;

    // The stand-in launcher's text for a version.
    static QByteArray launcherScript(const QByteArray &version);
    // The launcher's files as installed (without the hand-off area and the updater).
    static TestFiles::Tree oldLauncher();
    // A package's launcher files (folder "Tovarin" at its top) and what the folder holds after it.
    static QList<ZipEntry> newPackage(const QString &topFolder = QStringLiteral("Tovarin"),
                                      int extraFiles = 0);
    static TestFiles::Tree newLauncher(int extraFiles = 0);

    // The hand-off file as the launcher writes it (its key spellings, real line breaks in the
    // release notes), type "zip" or "exe".
    bool writeHandOff(const QString &type,
                      const QString &remark = QStringLiteral("修复模组识别\n\n新增全部更新"));
    bool stageZip(const QList<ZipEntry> &entries);
    bool stageExe(const QByteArray &bytes);
    bool copyUpdater(); // the built Pellock into the updater's folder

    TestFiles::Tree launcherTree() const;           // without UpgradePackage, Pellock and serverConfig.ini
    QString handOffValue(const QString &key) const; // key as written, case-insensitive
    QStringList startedLines() const;               // lines of started.log
    QString logText() const;                        // every day's updater log in the root
    QStringList rootEntries() const;                // names directly in the root, hidden ones included

private:
    QTemporaryDir m_root;
    QString m_szFolderName;
    bool m_bReady = false;
};
