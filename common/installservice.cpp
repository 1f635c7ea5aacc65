#include "installservice.h"

#include "packageguard.h"
#include "platform.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSaveFile>
#include <QSet>
#include <QStorageInfo>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <deque>
#include <memory>

namespace {

constexpr qint64 kChunk = 256 * 1024;
constexpr qint64 kProgressStep = 4 * 1024 * 1024;
constexpr qint64 kCompareHead = 4096;
// No package comes near this; larger announced totals are refused, never summed past it.
constexpr qint64 kMaxPackageBytes = qint64(1) << 50;
// Left free on the volume after staging, for the journal and everything else running there.
constexpr qint64 kSpaceReserve = 16 * 1024 * 1024;
constexpr quint32 kFileTypeMask = 0170000;
constexpr quint32 kSymbolicLinkType = 0120000;
constexpr qint64 kLockWaitMs = 2000;
constexpr int kLockRetryMs = 50;

const char kManifestName[] = "manifest";
const char kCommittedName[] = "committed";

struct StagedFile {
    QString rel;
    qint64 size = 0;
};

// What a journal says: the package, the folders the installation creates (parents first) and
// the files it puts in place, in that order.
struct Manifest {
    QString package;
    QString packageStamp; // size and modification time: the package finish() may delete
    QStringList folders;
    QStringList files;
};

QString cleanRoot(const QString &folder) {
    return QDir::cleanPath(QDir(folder).absolutePath());
}

QString join(const QString &root, const QString &rel) {
    return root + QLatin1Char('/') + rel;
}

bool isLinkEntry(const QuaZipFileInfo64 &info) {
    return info.isSymbolicLink() || ((info.externalAttr >> 16) & kFileTypeMask) == kSymbolicLinkType;
}

// Whether an installed file already has the mode an entry would give it, as far as the file
// system keeps modes: on Windows only whether it is read-only.
bool sameMode(QFile::Permissions wanted, QFile::Permissions installed) {
#ifdef Q_OS_WIN
    const QFile::Permissions kept = QFile::WriteOwner;
#else
    const QFile::Permissions kept = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                    QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther |
                                    QFile::ExeOther;
#endif
    return (wanted & kept) == (installed & kept);
}

// Copies the first bytes of one file into another, both open, the source from its start.
bool copyStart(QFile &from, QFile &to, qint64 bytes, QByteArray &buffer) {
    if (!from.seek(0))
        return false;
    while (bytes > 0) {
        const qint64 n = from.read(buffer.data(), std::min<qint64>(bytes, buffer.size()));
        if (n <= 0 || to.write(buffer.constData(), n) != n)
            return false;
        bytes -= n;
    }
    return true;
}

QFile::Permissions modeOf(const QuaZipFileInfo64 &info, const QString &installed) {
    const quint32 unixMode = (info.externalAttr >> 16) & 0777;
    if (unixMode == 0) {
        // Packed on Windows: no mode recorded. A replaced file keeps its own.
        if (QFileInfo::exists(installed))
            return QFileInfo(installed).permissions();
        return QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup |
               QFile::ReadOther;
    }
    return info.getPermissions();
}

bool writeManifest(const QString &journal, const Manifest &manifest) {
    QSaveFile file(join(journal, QLatin1String(kManifestName)));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << "package\t" << manifest.package << '\n';
    out << "packagestamp\t" << manifest.packageStamp << '\n';
    for (const QString &folder : manifest.folders)
        out << "folder\t" << folder << '\n';
    for (const QString &rel : manifest.files)
        out << "file\t" << rel << '\n';
    out.flush();
    return out.status() == QTextStream::Ok && file.commit();
}

bool readManifest(const QString &journal, Manifest &manifest) {
    QFile file(join(journal, QLatin1String(kManifestName)));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const int tab = line.indexOf(QLatin1Char('\t'));
        const QString kind = line.left(tab);
        const QString value = line.mid(tab + 1);
        if (kind == QLatin1String("package"))
            manifest.package = value;
        else if (kind == QLatin1String("packagestamp"))
            manifest.packageStamp = value;
        else if (kind == QLatin1String("folder"))
            manifest.folders << value;
        else if (kind == QLatin1String("file"))
            manifest.files << value;
    }
    return true;
}

bool removeTree(const QString &path) {
    QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

// Puts every file of an unfinished installation back as it was, then removes the journal.
// Each file is in one of four states, told apart by what is left in the journal:
// new staged and no old one aside: nothing happened to it; both: the old one is aside and
// must come back; only the old one: the new one is in place and goes; neither: the file was
// added by the installation and goes.
bool rollBack(const QString &root, const QString &journal) {
    Manifest manifest;
    if (!readManifest(journal, manifest))
        return removeTree(journal); // nothing of the target was touched before the manifest
    bool whole = true;
    for (int i = manifest.files.size() - 1; i >= 0; --i) {
        const QString rel = manifest.files.at(i);
        const QString installed = join(root, rel);
        const QString staged = join(journal + QLatin1String("/new"), rel);
        const QString aside = join(journal + QLatin1String("/old"), rel);
        const bool stagedLeft = QFileInfo::exists(staged) || QFileInfo(staged).isSymLink();
        const bool asideLeft = QFileInfo::exists(aside) || QFileInfo(aside).isSymLink();
        if (stagedLeft && !asideLeft)
            continue;
        // The old file comes back over whatever holds its name, in one step: that may be the
        // old file itself, still there under both names.
        if (asideLeft && QFileInfo(aside).isFile() && !QFileInfo(aside).isSymLink() &&
            !QFileInfo(installed).isDir() && Platform::renameOver(aside, installed))
            continue;
        if (!stagedLeft && !removeTree(installed))
            whole = false;
        if (asideLeft && !QFile::rename(aside, installed))
            whole = false;
    }
    for (int i = manifest.folders.size() - 1; i >= 0; --i)
        QDir(root).rmdir(manifest.folders.at(i));
    return whole && removeTree(journal);
}

QString stampOf(const QString &path) {
    const QFileInfo info(path);
    return QString::number(info.size()) + QLatin1Char(':') +
           QString::number(info.lastModified().toMSecsSinceEpoch());
}

// A finished journal is renamed to a name of this kind in one step before anything in it is
// deleted: the journal's own name is free at once, and no installation or recovery ever reads
// a journal half deleted. What carries such a name is only ever deleted, never acted on.
const char kLeftoverMark[] = ".leftover-";
// Held inside a leftover by whoever deletes it, so that two never work on the same one.
const char kSweepLockName[] = "lock";

// Renames a committed journal aside; the new name, or empty when it stays where it is.
QString retire(const QString &journal) {
    const QString name =
        journal + QLatin1String(kLeftoverMark) + QString::number(QDateTime::currentMSecsSinceEpoch());
    QString leftover = name;
    for (int n = 1; QFileInfo::exists(leftover) || QFileInfo(leftover).isSymLink(); ++n)
        leftover = name + QLatin1Char('-') + QString::number(n);
    if (QDir().rename(journal, leftover))
        return leftover;
    // Windows renames no folder that holds an open file, such as an old program moved aside that
    // still runs; the file itself can be renamed. So the files go one by one, the manifest
    // first: a journal that lost its manifest but still says committed is only ever deleted.
    if (!QDir().mkdir(leftover))
        return QString();
    const QString manifest = join(journal, QLatin1String(kManifestName));
    if (QFileInfo::exists(manifest) && !QFile::rename(manifest, join(leftover, QLatin1String(kManifestName))))
        return QString();
    int moved = 0;
    QDirIterator files(journal, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext())
        QFile::rename(files.next(), join(leftover, QString::number(moved++)));
    return QDir().rename(journal, join(leftover, QStringLiteral("rest"))) ? leftover : QString();
}

using StepWatcher = std::function<void(InstallService::INSTALLSTEP_E, int)>;

// Deletes one leftover, file by file, until done or until stop says so. False when something
// could not go (a file a running program holds on Windows).
bool sweep(const QString &leftover, const std::function<bool()> &stop, const StepWatcher &watcher) {
    const QString lockPath = join(leftover, QLatin1String(kSweepLockName));
    QStringList folders;
    bool whole = true;
    int removed = 0;
    QDirIterator it(leftover, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink()) {
            folders << path;
            continue;
        }
        if (path == lockPath)
            continue;
        if (stop())
            return false;
        if (!QFile::remove(path)) {
            // A read-only file goes on Windows once it is writable; a link is never followed.
            if (!info.isSymLink())
                QFile::setPermissions(path, info.permissions() | QFile::WriteOwner | QFile::WriteUser);
            if (!QFile::remove(path)) {
                whole = false;
                continue;
            }
        }
        if (watcher)
            watcher(InstallService::STEP_FILE_REMOVED, ++removed);
    }
    // Deepest first; one still holding a file stays.
    for (int i = folders.size() - 1; i >= 0; --i)
        whole = QDir().rmdir(folders.at(i)) && whole;
    return whole;
}

// Deletes leftovers on a thread of its own, one process-wide, so that an installation returns
// once its files are in place. It stops between two files when the application object goes
// (or the process exits without it): what it had not deleted yet keeps its leftover name and
// goes at the next installation or recovery of that folder.
class Sweeper {
public:
    struct Job {
        QString leftover;
        std::unique_ptr<Platform::FileLock> lock;
        StepWatcher watcher;
    };

    static Sweeper &instance() {
        // Built on first use, after Qt's own file statics, so it is destroyed before them.
        static Sweeper sweeper;
        return sweeper;
    }

    void add(Job job) {
        QMutexLocker locker(&m_mutex);
        m_jobs.push_back(std::move(job));
        if (!m_pThread) {
            m_bStop = false;
            m_pThread = QThread::create([this] { run(); });
            m_pThread->start(QThread::LowPriority);
            qAddPostRoutine(stopInstance);
        }
        m_wake.wakeAll();
    }

    ~Sweeper() { stop(); }

private:
    static void stopInstance() { instance().stop(); }

    void stop() {
        QThread *thread;
        {
            QMutexLocker locker(&m_mutex);
            m_bStop = true;
            m_wake.wakeAll();
            thread = m_pThread;
            m_pThread = nullptr;
        }
        if (thread) {
            thread->wait();
            delete thread;
        }
        QMutexLocker locker(&m_mutex);
        m_jobs.clear(); // their locks go, their leftovers stay for later
    }

    void run() {
        for (;;) {
            Job job;
            {
                QMutexLocker locker(&m_mutex);
                while (m_jobs.empty() && !m_bStop)
                    m_wake.wait(&m_mutex);
                if (m_bStop)
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            const auto stopping = [this] { return m_bStop.load(); };
            // A file held for a moment (a virus scanner) goes at a second try; one a running
            // program holds stays for the next start.
            for (unsigned long pause : {0UL, 1000UL, 3000UL}) {
                if (pause) {
                    QMutexLocker locker(&m_mutex);
                    if (!m_bStop)
                        m_wake.wait(&m_mutex, pause);
                }
                if (sweep(job.leftover, stopping, job.watcher)) {
                    job.lock.reset();
                    QDir().rmdir(job.leftover);
                    break;
                }
                if (m_bStop)
                    return;
            }
        }
    }

    QMutex m_mutex;
    QWaitCondition m_wake;
    std::deque<Job> m_jobs;
    std::atomic<bool> m_bStop{false};
    QThread *m_pThread = nullptr;
};

// Hands every leftover of this journal that nobody deletes yet to the sweeper. Without an
// application object (no end of it to stop at) they are deleted here and now.
void sweepLeftovers(const QString &journal, const StepWatcher &watcher = StepWatcher()) {
    const QFileInfo info(journal);
    const QStringList leftovers =
        QDir(info.path())
            .entryList({info.fileName() + QLatin1String(kLeftoverMark) + QLatin1Char('*')},
                       QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const QString &name : leftovers) {
        const QString leftover = join(info.path(), name);
        if (!QFileInfo(leftover).isDir() || QFileInfo(leftover).isSymLink()) {
            QFile::remove(leftover);
            continue;
        }
        auto lock = std::make_unique<Platform::FileLock>(join(leftover, QLatin1String(kSweepLockName)));
        if (!lock->tryLock())
            continue; // being deleted, by this process or another one
        if (!QCoreApplication::instance()) {
            if (sweep(
                    leftover, [] { return false; }, watcher)) {
                lock.reset();
                QDir().rmdir(leftover);
            }
            continue;
        }
        Sweeper::instance().add({leftover, std::move(lock), watcher});
    }
}

// A committed journal: its package goes if it is still the very file that was installed, the
// journal is retired and deleted. False when it could not be renamed aside and stays.
bool finish(const QString &journal) {
    Manifest manifest;
    readManifest(journal, manifest);
    // Only the very file that was installed: a journal naming another goes, that file stays.
    if (!manifest.package.isEmpty() && QFileInfo::exists(manifest.package) &&
        stampOf(manifest.package) == manifest.packageStamp)
        QFile::remove(manifest.package);
    return !retire(journal).isEmpty();
}

const char kRejectedMark[] = ".rejected-";

// Why a journal's manifest must not be acted on; empty when every name it holds is one an
// archive entry could have (a relative path inside the folder), and a plain package file.
QString manifestProblem(const QString &journal) {
    QFile file(join(journal, QLatin1String(kManifestName)));
    if (!file.exists())
        return QString(); // written last before the target is touched: nothing to act on
    Manifest manifest;
    if (!readManifest(journal, manifest))
        return QStringLiteral("安装记录无法读取");
    for (const QString &rel : manifest.folders + manifest.files) {
        if (PackageGuard::entryPath(rel) != rel)
            return QStringLiteral("安装记录含有目标文件夹之外的路径:") + rel;
    }
    if (!manifest.package.isEmpty()) {
        const QString package = QDir::cleanPath(manifest.package);
        const QFileInfo info(manifest.package);
        // (The launcher's own package is staged inside the folder it installs into.)
        if (package != manifest.package || !info.isAbsolute() || info.isSymLink() || info.isDir() ||
            package.startsWith(journal + QLatin1Char('/'), Platform::fileNameCase()))
            return QStringLiteral("安装记录的安装包路径不可信:") + manifest.package;
    }
    return QString();
}

// Refuses targets whose existing folders lead elsewhere through a link: writing below them
// would write outside the target.
bool leadsOutside(const QString &root, const QString &relFolder) {
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    QString path = root;
    for (const QString &part : relFolder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path = join(path, part);
        const QFileInfo info(path);
        if (!info.exists())
            return false;
        if (info.isSymLink()) {
            const QString resolved = info.canonicalFilePath();
            if (resolved != canonicalRoot && !resolved.startsWith(canonicalRoot + QLatin1Char('/')))
                return true;
        }
    }
    return false;
}

class KeepRule {
public:
    KeepRule(const QString &root, const QStringList &keepList) : m_root(root) {
        for (const QString &name : keepList) {
            const QString rel = QDir::cleanPath(name);
            if (rel.isEmpty() || rel == QLatin1String(".") || rel.startsWith(QLatin1String("..")))
                continue;
            const QFileInfo local(join(root, rel));
            if (local.isDir())
                m_folders << rel;
            else if (local.exists())
                m_files << rel;
        }
    }

    // True when the package's file rel must not replace what is installed.
    bool keeps(const QString &rel) const {
        for (const QString &file : m_files) {
            if (QString::compare(rel, file, Platform::fileNameCase()) == 0 ||
                rel.startsWith(file + QLatin1Char('/'), Platform::fileNameCase()))
                return true;
        }
        for (const QString &folder : m_folders) {
            if (!rel.startsWith(folder + QLatin1Char('/'), Platform::fileNameCase()))
                continue;
            const QString rest = rel.mid(folder.size() + 1);
            if (!rest.contains(QLatin1Char('/')) && QFileInfo::exists(join(m_root, rel)))
                return true;
        }
        return false;
    }

private:
    QString m_root;
    QStringList m_files;
    QStringList m_folders;
};

// Held for the whole of an installation or recovery of one folder. Other processes see it (a
// launcher started while the updater installs its folder must not take the updater's live
// journal for an interrupted one), and so does this process: the caller's event loop runs while
// an installation works, so a second one (another button pressed meanwhile) could reach the
// same folder. The system frees it when its holder dies, so a killed installer blocks nothing.
QString lockPathOf(const QString &journal) {
    return journal + QStringLiteral(".lock");
}

// A launcher or updater starting meanwhile holds the lock for an instant to look whether the
// folder is being installed: that look must not cost the installation. Only a holder that keeps
// it (an installation, a recovery) refuses this one. The caller's events go on meanwhile.
bool takeLock(Platform::FileLock &lock) {
    QElapsedTimer waited;
    waited.start();
    while (!lock.tryLock()) {
        if (waited.elapsed() >= kLockWaitMs)
            return false;
        QEventLoop pause;
        QTimer::singleShot(kLockRetryMs, &pause, &QEventLoop::quit);
        pause.exec();
    }
    return true;
}

} // namespace

InstallService::InstallService(QObject *parent) : QObject(parent) {}

QString InstallService::message() const {
    return m_szMessage;
}

QString InstallService::detail() const {
    return m_szDetail;
}

bool InstallService::packageRefused() const {
    return m_bRefused;
}

void InstallService::setArchiveFolder(const QString &folder) {
    m_szArchiveFolder = QDir::cleanPath(folder);
    if (m_szArchiveFolder == QLatin1String("."))
        m_szArchiveFolder.clear();
}

void InstallService::setSkippedFolder(const QString &folder) {
    m_szSkippedFolder = QDir::cleanPath(folder);
    if (m_szSkippedFolder == QLatin1String("."))
        m_szSkippedFolder.clear();
}

void InstallService::setStepWatcher(std::function<void(INSTALLSTEP_E, int)> watcher) {
    m_stepWatcher = std::move(watcher);
}

QString InstallService::journalPathOf(const QString &targetFolder) {
    const QFileInfo root(cleanRoot(targetFolder));
    // Beside the target: the same file system (renames stay renames) and never part of it.
    return root.absolutePath() + QStringLiteral("/.") + root.fileName() + QStringLiteral(".installing");
}

bool InstallService::recoverInterrupted(const QString &targetFolder, bool *pbCompleted, QString *pszProblem) {
    if (pbCompleted)
        *pbCompleted = false;
    const QString journal = journalPathOf(targetFolder);
    const QFileInfo folder(journal);
    if (QDir(folder.path())
            .entryList({folder.fileName() + QLatin1Char('*')}, QDir::AllEntries | QDir::Hidden | QDir::System)
            .isEmpty())
        return true;
    Platform::FileLock lock(lockPathOf(journal));
    // A folder being installed into, by this process or another, is not interrupted.
    if (!lock.tryLock())
        return !QFileInfo::exists(journal);
    return settle(targetFolder, pbCompleted, pszProblem);
}

bool InstallService::isInstalling(const QString &targetFolder) {
    const QString journal = journalPathOf(targetFolder);
    if (!QFileInfo::exists(lockPathOf(journal)))
        return false;
    Platform::FileLock lock(lockPathOf(journal));
    return !lock.tryLock();
}

bool InstallService::settle(const QString &targetFolder, bool *pbCompleted, QString *pszProblem) {
    const QString journal = journalPathOf(targetFolder);
    const bool settled = settleJournal(targetFolder, pbCompleted, pszProblem);
    sweepLeftovers(journal);
    return settled;
}

bool InstallService::settleJournal(const QString &targetFolder, bool *pbCompleted, QString *pszProblem) {
    const QString journal = journalPathOf(targetFolder);
    if (!QFileInfo::exists(journal))
        return true;
    // Acted on only when every name it holds stays inside the folder: a journal is ours, but
    // one that says otherwise was planted or damaged, and deleting by it could reach anything.
    const QString root = cleanRoot(targetFolder);
    const QString problem = manifestProblem(journal);
    if (!problem.isEmpty()) {
        const QString rejected =
            journal + QLatin1String(kRejectedMark) + QString::number(QDateTime::currentMSecsSinceEpoch());
        QDir().rename(journal, rejected);
        if (pszProblem)
            *pszProblem = problem + QStringLiteral(", 已搁置于 ") + rejected;
        return false;
    }
    if (QFileInfo::exists(join(journal, QLatin1String(kCommittedName)))) {
        if (pbCompleted)
            *pbCompleted = true;
        return finish(journal);
    }
    return rollBack(root, journal);
}

InstallService::INSTALLRESULT_E InstallService::install(const QString &packagePath, const QString &target,
                                                        const QStringList &keepList, PACKAGEKIND_E kind) {
    const bool zip = kind == PACKAGE_ZIP;
    m_szMessage.clear();
    m_szDetail.clear();
    m_bRefused = false;
    if (!QFileInfo(packagePath).isFile()) {
        m_szMessage = zip ? QStringLiteral("安装包不存在") : QStringLiteral("exe不存在");
        return INSTALL_PACKAGE_MISSING;
    }
    if (zip ? !QFileInfo(target).isDir() : !QFileInfo(target).isFile()) {
        m_szMessage = zip ? QStringLiteral("解压路径不存在") : QStringLiteral("目标exe文件不存在");
        return INSTALL_TARGET_MISSING;
    }
    const QString folder = zip ? target : QFileInfo(target).absolutePath();
    const QString exeName = zip ? QString() : QFileInfo(target).fileName();

    const QString journal = journalPathOf(folder);
    Platform::FileLock lock(lockPathOf(journal));
    if (!takeLock(lock)) {
        m_szMessage = zip ? QStringLiteral("解压失败") : QStringLiteral("拷贝exe失败");
        return INSTALL_FAILED;
    }
    INSTALLRESULT_E result = INSTALL_FAILED;
    QEventLoop loop;
    QThread *worker = QThread::create(
        [&] { result = work(QFileInfo(packagePath).absoluteFilePath(), folder, exeName, keepList, kind); });
    connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    // The thread may be done before the loop runs; its queued finished() still ends the loop.
    loop.exec();
    worker->wait();
    delete worker;
    lock.unlock();

    if (result == INSTALL_FAILED)
        m_szMessage = zip ? QStringLiteral("解压失败") : QStringLiteral("拷贝exe失败");
    else if (result == INSTALL_PACKAGE_NOT_REMOVED)
        m_szMessage = zip ? QStringLiteral("删除安装包失败") : QStringLiteral("删除exe失败");
    return result;
}

InstallService::INSTALLRESULT_E InstallService::work(const QString &packagePath, const QString &targetFolder,
                                                     const QString &exeName, const QStringList &keepList,
                                                     PACKAGEKIND_E kind) {
    const QString root = cleanRoot(targetFolder);
    const QString journal = journalPathOf(root);
    // An earlier installation that nobody recovered must be settled before this one starts.
    if (!settle(root, nullptr, &m_szDetail) || !QDir().mkpath(journal + QLatin1String("/new")))
        return INSTALL_FAILED;
    const QString stagedRoot = journal + QLatin1String("/new");
    const auto watch = [this](INSTALLSTEP_E step, int index) {
        if (m_stepWatcher)
            m_stepWatcher(step, index);
    };
    // The staged file being written: closed before the journal goes, as Windows deletes no
    // open file and the journal would stay behind.
    QFile *pOpenStaged = nullptr;
    const auto fail = [&] {
        if (pOpenStaged)
            pOpenStaged->close();
        removeTree(journal);
        return INSTALL_FAILED;
    };

    // --- Stage: everything written here is outside the target. ---------------------------------
    QVector<StagedFile> staged;
    QStringList packageFolders; // folders named by the archive, with or without files
    QHash<QString, QFile::Permissions> folderModes;
    if (kind == PACKAGE_EXE) {
        QFile source(packagePath);
        QFile copy(join(stagedRoot, exeName));
        if (!source.open(QIODevice::ReadOnly) || !copy.open(QIODevice::WriteOnly))
            return fail();
        pOpenStaged = &copy;
        const qint64 total = source.size();
        QByteArray buffer(kChunk, Qt::Uninitialized);
        qint64 done = 0;
        for (qint64 n; (n = source.read(buffer.data(), kChunk)) > 0; done += n) {
            if (copy.write(buffer.constData(), n) != n)
                return fail();
            emit sigInstallProgress(0, 1, done + n, total);
        }
        if (done != total || !copy.flush())
            return fail();
        copy.close();
        pOpenStaged = nullptr;
        // Whatever the download's mode, an executable package installs executable.
        QFile::setPermissions(copy.fileName(), QFileInfo(join(root, exeName)).permissions() |
                                                   QFile::ReadOwner | QFile::ExeOwner | QFile::ExeUser |
                                                   QFile::ExeGroup | QFile::ExeOther);
        staged.push_back({exeName, total});
        watch(STEP_FILE_STAGED, 1);
        emit sigInstallProgress(1, 1, total, total);
    } else {
        QuaZip zip(packagePath);
        if (!PackageGuard::openForReading(zip))
            return fail();
        const QList<QuaZipFileInfo64> entries = zip.getFileInfoList64();
        if (entries.isEmpty() || zip.getZipError() != UNZ_OK)
            return fail();
        // The entry's path below the archive folder; empty for the folder itself, null outside it.
        // The folder is matched as the file system would match it.
        const QString prefix = m_szArchiveFolder.isEmpty() ? QString() : m_szArchiveFolder + QLatin1Char('/');
        const auto belowFolder = [&prefix](const QString &rel) {
            if (rel.isNull())
                return QString();
            if (prefix.isEmpty())
                return rel;
            if (QString::compare(rel + QLatin1Char('/'), prefix, Platform::fileNameCase()) == 0)
                return QStringLiteral("");
            return rel.startsWith(prefix, Platform::fileNameCase()) ? rel.mid(prefix.size()) : QString();
        };
        const QString skipped = m_szSkippedFolder;
        const auto isSkipped = [&skipped](const QString &rel) {
            return !skipped.isEmpty() && !rel.isEmpty() &&
                   (QString::compare(rel, skipped, Platform::fileNameCase()) == 0 ||
                    rel.startsWith(skipped + QLatin1Char('/'), Platform::fileNameCase()));
        };
        QStringList names;
        for (const QuaZipFileInfo64 &info : entries)
            names << info.name;
        m_szDetail = PackageGuard::namesProblem(names);
        m_bRefused = !m_szDetail.isEmpty();
        if (m_bRefused)
            return fail();
        qint64 bytesTotal = 0;
        int filesTotal = 0;
        bool sizeOverflow = false;
        for (const QuaZipFileInfo64 &info : entries) {
            const QString below = belowFolder(PackageGuard::entryPath(info.name));
            if (isLinkEntry(info) || below.isNull() ||
                (below.isEmpty() && !info.name.endsWith(QLatin1Char('/')))) {
                m_szDetail = QStringLiteral("安装包中的文件不在程序文件夹内:") + info.name;
                m_bRefused = true;
                return fail();
            }
            if (!info.name.endsWith(QLatin1Char('/')) && !isSkipped(below)) {
                // Sizes come from the archive: a crafted one must not wrap the sum around.
                if (info.uncompressedSize > quint64(kMaxPackageBytes - bytesTotal))
                    sizeOverflow = true;
                else
                    bytesTotal += qint64(info.uncompressedSize);
                ++filesTotal;
            }
        }
        // The new files are staged beside the old ones: they must fit next to them.
        const QStorageInfo volume(QFileInfo(journal).absolutePath());
        if (sizeOverflow || (volume.isValid() && volume.bytesAvailable() >= 0 &&
                             bytesTotal > volume.bytesAvailable() - kSpaceReserve)) {
            m_bRefused = sizeOverflow;
            m_szDetail = QStringLiteral("磁盘空间不足: 安装需要%1MB, 可用%2MB")
                             .arg(sizeOverflow ? QStringLiteral(">") + QString::number(kMaxPackageBytes >> 20)
                                               : QString::number(bytesTotal >> 20))
                             .arg(volume.bytesAvailable() >> 20);
            return fail();
        }
        const KeepRule keep(root, keepList);
        QByteArray buffer(kChunk, Qt::Uninitialized);
        QByteArray installedBuffer(kChunk, Qt::Uninitialized);
        qint64 bytesDone = 0;
        qint64 reported = 0;
        int filesDone = 0;
        QSet<QString> madeFolders;
        for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
            QuaZipFileInfo64 info;
            if (!zip.getCurrentFileInfo(&info))
                return fail();
            const QString rel = belowFolder(PackageGuard::entryPath(info.name));
            if (isSkipped(rel))
                continue;
            if (info.name.endsWith(QLatin1Char('/'))) {
                if (rel.isEmpty())
                    continue; // the archive folder itself: the target
                packageFolders << rel;
                folderModes.insert(rel, modeOf(info, join(root, rel)));
                continue;
            }
            // A kept file is still read through: a damaged package is refused as a whole.
            const bool kept = keep.keeps(rel);
            QuaZipFile entry(&zip);
            if (!entry.open(QIODevice::ReadOnly))
                return fail();
            // A file installed already with the entry's bytes and mode stays where it is: nothing
            // is created or renamed for it. Creating files is most of an upgrade's time, and most
            // files of a tool's upgrade are the ones it had. Compared byte for byte while the
            // entry inflates; at the first difference the file is staged after all.
            QFile installed;
            bool comparing = false;
            if (!kept) {
                const QFileInfo current(join(root, rel));
                if (current.isFile() && !current.isSymLink() && current.size() == qint64(info.uncompressedSize) &&
                    sameMode(modeOf(info, current.filePath()), current.permissions())) {
                    installed.setFileName(current.filePath());
                    comparing = installed.open(QIODevice::ReadOnly);
                }
            }
            QFile out;
            const auto stage = [&] {
                const QString parent = QFileInfo(join(stagedRoot, rel)).path();
                if (!madeFolders.contains(parent)) {
                    if (!QDir().mkpath(parent))
                        return false;
                    madeFolders.insert(parent);
                }
                out.setFileName(join(stagedRoot, rel));
                if (!out.open(QIODevice::WriteOnly))
                    return false;
                pOpenStaged = &out;
                return true;
            };
            if (!kept && !comparing && !stage())
                return fail();
            qint64 n;
            qint64 entryBytes = 0;
            while ((n = entry.read(buffer.data(), kChunk)) > 0) {
                if (comparing) {
                    // A file that changed mostly differs at once: its start is read alone first.
                    const qint64 head = std::min<qint64>(n, kCompareHead);
                    const auto differs = [&](qint64 from, qint64 bytes) {
                        return bytes > 0 && (installed.read(installedBuffer.data() + from, bytes) != bytes ||
                                             memcmp(installedBuffer.constData() + from, buffer.constData() + from,
                                                    size_t(bytes)) != 0);
                    };
                    if (differs(0, head) || differs(head, n - head)) {
                        // What came before is the installed file's own start.
                        comparing = false;
                        if (!stage() || !copyStart(installed, out, entryBytes, installedBuffer) ||
                            out.write(buffer.constData(), n) != n)
                            return fail();
                        installed.close();
                    }
                } else if (!kept && out.write(buffer.constData(), n) != n) {
                    return fail();
                }
                entryBytes += n;
                bytesDone += n;
                if (bytesDone - reported >= kProgressStep) {
                    reported = bytesDone;
                    emit sigInstallProgress(filesDone, filesTotal, bytesDone, bytesTotal);
                }
            }
            entry.close(); // compares the CRC of an entry read to its end
            // Data that ends before the announced size is never compared with its CRC: damage
            // that ends a compressed stream early would otherwise install a cut-off file.
            if (n < 0 || entry.getZipError() != UNZ_OK || entryBytes != qint64(info.uncompressedSize))
                return fail();
            ++filesDone;
            if (comparing) {
                installed.close();
            } else if (!kept) {
                if (!out.flush())
                    return fail();
                out.close();
                pOpenStaged = nullptr;
                out.setPermissions(modeOf(info, join(root, rel)));
                staged.push_back({rel, qint64(info.uncompressedSize)});
                watch(STEP_FILE_STAGED, staged.size());
            }
            emit sigInstallProgress(filesDone, filesTotal, bytesDone, bytesTotal);
        }
        if (zip.getZipError() != UNZ_OK)
            return fail();
        zip.close();
    }

    // --- Plan: folders to create, and no file or folder whose kind the package changes. ------
    Manifest manifest;
    manifest.package = packagePath;
    manifest.packageStamp = stampOf(packagePath);
    QStringList needed;
    const auto withParents = [&needed](const QString &folder) {
        for (QString path = folder; path != QLatin1String("."); path = QFileInfo(path).path())
            needed << path;
    };
    for (const QString &folder : qAsConst(packageFolders))
        withParents(folder);
    for (const StagedFile &file : staged)
        withParents(QFileInfo(file.rel).path());
    // One folder as the file system sees it: "Sub" and "sub" are one folder on Windows, and
    // creating the second would fail there.
    {
        QSet<QString> seen;
        QStringList unique;
        for (const QString &folder : qAsConst(needed)) {
            const QString key =
                Platform::fileNameCase() == Qt::CaseInsensitive ? PackageGuard::foldedName(folder) : folder;
            if (!seen.contains(key)) {
                seen.insert(key);
                unique << folder;
            }
        }
        needed = unique;
    }
    // Parents before children.
    std::sort(needed.begin(), needed.end(), [](const QString &a, const QString &b) {
        return a.count(QLatin1Char('/')) < b.count(QLatin1Char('/'));
    });
    for (const QString &rel : qAsConst(needed)) {
        const QFileInfo installed(join(root, rel));
        if (installed.exists() && !installed.isDir())
            return fail();
        if (leadsOutside(root, rel))
            return fail();
        if (!installed.exists())
            manifest.folders << rel;
    }
    for (const StagedFile &file : staged) {
        if (QFileInfo(join(root, file.rel)).isDir() || leadsOutside(root, QFileInfo(file.rel).path()))
            return fail();
        manifest.files << file.rel;
    }
    // The staged files and the manifest reach the disk before the target is touched.
    if (!writeManifest(journal, manifest) || !Platform::flushFileSystemOf(journal))
        return fail();
    watch(STEP_JOURNAL_WRITTEN, 0);

    // --- Commit: renames only, each one undoable from the journal. ----------------------------
    const QString asideRoot = journal + QLatin1String("/old");
    const auto undo = [&] {
        rollBack(root, journal);
        return INSTALL_FAILED;
    };
    for (const QString &rel : qAsConst(manifest.folders)) {
        if (!QDir(root).mkdir(rel))
            return undo();
        if (folderModes.contains(rel))
            QFile::setPermissions(join(root, rel),
                                  folderModes.value(rel) | QFile::ExeOwner | QFile::WriteOwner);
    }
    QSet<QString> asideFolders;
    for (int i = 0; i < manifest.files.size(); ++i) {
        const QString &rel = manifest.files.at(i);
        const QString installed = join(root, rel);
        const QFileInfo current(installed);
        const QString staged = join(stagedRoot, rel);
        bool inPlace = false;
        if (current.exists() || current.isSymLink()) {
            const QString aside = join(asideRoot, rel);
            const QString parent = QFileInfo(aside).path();
            if (!asideFolders.contains(parent)) {
                QDir().mkpath(parent);
                asideFolders.insert(parent);
            }
            // Where it can, the old file keeps its name until the new one takes it: a station
            // killed in between still has its launcher to start the recovery with.
            inPlace = !current.isSymLink() && current.isFile() &&
                      Platform::keepAndReplace(installed, aside, staged, [&] { watch(STEP_OLD_KEPT, i); });
            if (!inPlace && !QFile::rename(installed, aside))
                return undo();
        }
        if (!inPlace && !QFile::rename(staged, installed))
            return undo();
        watch(STEP_FILE_MOVED_IN, i + 1);
    }
    if (!Platform::flushFileSystemOf(root))
        return undo();
    {
        QFile marker(join(journal, QLatin1String(kCommittedName)));
        if (!marker.open(QIODevice::WriteOnly))
            return undo();
    }
    watch(STEP_COMMITTED, manifest.files.size());

    // --- Clean up: the replaced files are deleted after install() returned, off the caller's
    // wait. A journal that cannot be renamed aside now is finished at the next settle(). ------
    const bool packageRemoved = QFile::remove(packagePath);
    if (!retire(journal).isEmpty())
        sweepLeftovers(journal, m_stepWatcher);
    return packageRemoved ? INSTALL_OK : INSTALL_PACKAGE_NOT_REMOVED;
}
