#include "updaterstation.h"

#include "platform.h"
#include "testpaths.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTextCodec>

namespace {
QString s_launcherName = QStringLiteral("Tovarin");
}

void UpdaterStation::setLauncherName(const QString &name) {
    s_launcherName = name;
}

QString UpdaterStation::launcherName() {
    return s_launcherName;
}

UpdaterStation::UpdaterStation(const QString &folderName) : m_szFolderName(folderName) {
    m_bReady = m_root.isValid() && TestFiles::writeTree(launcherFolder(), oldLauncher()) &&
               QFile::setPermissions(launcherPath(), QFile::permissions(launcherPath()) | QFile::ExeOwner) &&
               QDir().mkpath(updaterFolder()) &&
               QDir().mkpath(launcherFolder() + QStringLiteral("/UpgradePackage/MainApp"));
}

QString UpdaterStation::launcherFolder() const {
    return m_root.path() + QLatin1Char('/') + m_szFolderName;
}

QString UpdaterStation::handOffPath() const {
    return launcherFolder() + QStringLiteral("/UpgradePackage/UpgradeConfig.ini");
}

QString UpdaterStation::stagedZip() const {
    return launcherFolder() + QStringLiteral("/UpgradePackage/MainApp/") + s_launcherName +
           QStringLiteral(".zip");
}

QString UpdaterStation::stagedExe() const {
    return launcherFolder() + QStringLiteral("/UpgradePackage/MainApp/") + s_launcherName;
}

QByteArray UpdaterStation::launcherScript(const QByteArray &version) {
    return "#!/bin/sh\n"
           "here=$(cd \"$(dirname \"$0\")\" && pwd)\n"
           "printf '%s|%s|%s\\n' \"$#\" \"$1\" \"" +
           version +
           "\" >> \"$here/../started.log\"\n"
           "while [ -e \"$here/../stay\" ]; do sleep 0.05; done\n";
}

TestFiles::Tree UpdaterStation::oldLauncher() {
    return {{s_launcherName, launcherScript("old")},
            {QStringLiteral("CONFIGSET.ini"), "[Tovarin]\nID=100\n"},
            {QStringLiteral("lib"), "<dir>"},
            {QStringLiteral("lib/a.so"), "old-a"},
            {QStringLiteral("lib/gone.so"), "old-only"}};
}

QList<ZipEntry> UpdaterStation::newPackage(const QString &topFolder, int extraFiles) {
    const QString top = topFolder.isEmpty() ? QString() : topFolder + QLatin1Char('/');
    QList<ZipEntry> entries;
    if (!top.isEmpty())
        entries << ZipEntry{top, {}, ZipEntry::Folder};
    entries << ZipEntry{top + s_launcherName, launcherScript("new"), ZipEntry::File, 0755}
            << ZipEntry{top + QStringLiteral("lib/"), {}, ZipEntry::Folder}
            << ZipEntry{top + QStringLiteral("lib/a.so"), "new-a"}
            << ZipEntry{top + QStringLiteral("lib/b.so"), "new-b"};
    for (int i = 0; i < extraFiles; ++i)
        entries << ZipEntry{top + QStringLiteral("data/f%1.bin").arg(i),
                            QByteArray(4096, char('a' + i % 26))};
    return entries;
}

TestFiles::Tree UpdaterStation::newLauncher(int extraFiles) {
    TestFiles::Tree tree = oldLauncher();
    tree.insert(s_launcherName, launcherScript("new"));
    tree.insert(QStringLiteral("lib/a.so"), "new-a");
    tree.insert(QStringLiteral("lib/b.so"), "new-b");
    if (extraFiles > 0)
        tree.insert(QStringLiteral("data"), "<dir>");
    for (int i = 0; i < extraFiles; ++i)
        tree.insert(QStringLiteral("data/f%1.bin").arg(i), QByteArray(4096, char('a' + i % 26)));
    return tree;
}

bool UpdaterStation::writeHandOff(const QString &type, const QString &remark) {
    const QByteArray path = QFile::encodeName(handOffPath());
    const QList<QPair<QString, QString>> keys{{"versionNo", "1.1.2.0"},
                                              {"upgradePackageType", type},
                                              {"versionRemark", remark},
                                              {"loginToken", "token-42"},
                                              {"proToolUniqId", "uniq-100"},
                                              {"versionUniqId", "ver-7"},
                                              {"beforeUpgradeVersion", "1.1.1.2"},
                                              {"recordUpgrade", "0"},
                                              {"needUpgrade", "1"}};
    for (const auto &key : keys) {
        if (!Platform::writeProfileString(path, s_launcherName, key.first, key.second))
            return false;
    }
    return true;
}

bool UpdaterStation::stageZip(const QList<ZipEntry> &entries) {
    return ZipBuilder::write(stagedZip(), entries);
}

bool UpdaterStation::stageExe(const QByteArray &bytes) {
    return TestFiles::write(stagedExe(), bytes);
}

bool UpdaterStation::copyUpdater() {
    const QString target = updaterFolder() + QStringLiteral("/Pellock");
    return QFile::copy(TestPaths::programPath(QStringLiteral("Pellock")), target) &&
           QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner);
}

TestFiles::Tree UpdaterStation::launcherTree() const {
    TestFiles::Tree tree = TestFiles::snapshot(launcherFolder());
    for (auto it = tree.begin(); it != tree.end();) {
        if (it.key().startsWith(QLatin1String("UpgradePackage")) ||
            it.key().startsWith(QLatin1String("Pellock")) || it.key() == QLatin1String("serverConfig.ini"))
            it = tree.erase(it);
        else
            ++it;
    }
    return tree;
}

QString UpdaterStation::handOffValue(const QString &key) const {
    QSettings settings(handOffPath(), QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
    return settings.value(Platform::findProfileKey(settings, s_launcherName, key), QStringLiteral("<none>"))
        .toString();
}

QStringList UpdaterStation::startedLines() const {
    const QByteArray text = TestFiles::read(m_root.path() + QStringLiteral("/started.log"), QByteArray());
    return QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString UpdaterStation::logText() const {
    QString text;
    for (const QString &name : QDir(m_root.path()).entryList({QStringLiteral("*.txt")}, QDir::Files))
        text += QString::fromUtf8(TestFiles::read(m_root.path() + QLatin1Char('/') + name));
    return text;
}

QStringList UpdaterStation::rootEntries() const {
    return QDir(m_root.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}
