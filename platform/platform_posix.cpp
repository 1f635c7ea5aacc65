#include "platform.h"
#include "platform_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QTextCodec>
#include <QSystemSemaphore>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Platform {

namespace {

// The kernel keeps at most 15 characters of a program's name (TASK_COMM_LEN - 1).
const int kCommLength = 15;

// Reads a small /proc file of the process whose /proc folder dirFd is.
QByteArray readSmallFile(int dirFd, const char *path) {
    QByteArray data;
    const int fd = ::openat(dirFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, int(n));
        if (data.size() > 256 * 1024) // command lines are short; never swallow a huge one whole
            break;
    }
    ::close(fd);
    return data;
}

QByteArray baseName(const QByteArray &path) {
    const int slash = path.lastIndexOf('/');
    return slash < 0 ? path : path.mid(slash + 1);
}

// Interpreters whose first plain argument is the script they run ("sh tool.sh").
bool isInterpreter(const QByteArray &name) {
    static const char *const names[] = {"sh",      "bash", "dash", "zsh",  "ksh",    "mksh",    "ash",
                                        "busybox", "perl", "ruby", "node", "python", "python2", "python3"};
    for (const char *n : names) {
        if (name == n)
            return true;
    }
    return name.startsWith("python3.") || name.startsWith("python2.");
}

// A process seen through its /proc folder. The open folder keeps naming that very process: once
// it has ended, reads through it fail and signals sent through it go nowhere, even if its pid
// has been given to a new process meanwhile.
struct ProcessImage {
    pid_t pid = 0;
    uid_t owner = 0;
    QByteArray image;
    QByteArray imagePath; // as the kernel or the command line gives it; may be relative to cwd
    bool zombie = false;
    int dirFd = -1;
};

bool isZombieStat(const QByteArray &stat) {
    const int close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() && (stat.at(close + 2) == 'Z' || stat.at(close + 2) == 'X');
}

// The image name of one process: its executable's file name, or for a program started
// through a "#!" line or an interpreter, the script's file name. On success out.dirFd is open.
bool readProcess(int procFd, const char *pidText, ProcessImage &out) {
    char *end = nullptr;
    const long pid = strtol(pidText, &end, 10);
    if (pid <= 0 || !end || *end != '\0')
        return false;
    const int dirFd = ::openat(procFd, pidText, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;

    struct stat st;
    if (::fstat(dirFd, &st) != 0) {
        ::close(dirFd);
        return false;
    }
    out.pid = pid_t(pid);
    out.owner = st.st_uid;
    out.zombie = isZombieStat(readSmallFile(dirFd, "stat"));

    QByteArray comm = readSmallFile(dirFd, "comm");
    if (comm.endsWith('\n'))
        comm.chop(1);

    QByteArray exe;
    QByteArray exePath;
    bool replaced = false;
    char link[4096];
    const ssize_t n = ::readlinkat(dirFd, "exe", link, sizeof link - 1);
    if (n > 0) {
        exePath = QByteArray(link, int(n));
        replaced = exePath.endsWith(" (deleted)"); // replaced while running: still the same program
        if (replaced)
            exePath.chop(int(sizeof(" (deleted)") - 1));
        exe = baseName(exePath);
    }

    const QList<QByteArray> argv = readSmallFile(dirFd, "cmdline").split('\0');

    QByteArray image = exe.isEmpty() ? comm : exe;
    QByteArray imagePath = exePath;
    // The kernel's link follows the old file where an installation moved it aside; the path the
    // program was started by still names it, as long as it names a file of that name.
    if (replaced && !argv.isEmpty() && baseName(argv.first()) == exe)
        imagePath = argv.first();
    if (!comm.isEmpty() && comm != exe.left(kCommLength)) {
        // Started through a "#!" line: the kernel named it after the script, which the
        // interpreter received as an argument; its full name comes from there. No match: a
        // program that renamed itself keeps its executable's name.
        for (const QByteArray &arg : argv) {
            const QByteArray name = baseName(arg);
            if (!name.isEmpty() && name.left(kCommLength) == comm) {
                image = name;
                imagePath = arg;
                break;
            }
        }
    }
    if (isInterpreter(image)) {
        // "sh tool.sh": the first argument that is not an option names the script; code given
        // on the command line ("sh -c", "python3 -m", "perl -e") leaves the interpreter's name.
        const bool shell = image.endsWith("sh") || image == "busybox";
        for (int i = 1; i < argv.size(); ++i) {
            const QByteArray &arg = argv.at(i);
            if (arg.isEmpty() || arg == "-c" || (!shell && (arg == "-m" || arg == "-e")))
                break;
            if (arg.startsWith('-'))
                continue;
            if (!arg.startsWith("/dev/fd/") && !arg.startsWith("/proc/")) { // a script fed through a pipe
                image = baseName(arg);
                imagePath = arg;
            }
            break;
        }
    }
    out.image = image;
    out.imagePath = imagePath;
    if (image.isEmpty()) {
        ::close(dirFd);
        return false;
    }
    out.dirFd = dirFd;
    return true;
}

// Calls visit for each process; visit may take over process.dirFd (setting it to -1),
// otherwise it is closed.
template <typename Visit> void forEachProcess(Visit visit) {
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return;
    const int procFd = ::dirfd(proc);
    while (const dirent *entry = ::readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        ProcessImage process;
        if (!readProcess(procFd, entry->d_name, process))
            continue;
        visit(process);
        if (process.dirFd >= 0)
            ::close(process.dirFd);
    }
    ::closedir(proc);
}

// SIGKILL to exactly the process behind the folder, never to a later owner of its pid.
bool killProcess(const ProcessImage &process) {
#ifdef SYS_pidfd_send_signal
    if (::syscall(SYS_pidfd_send_signal, process.dirFd, SIGKILL, nullptr, 0) == 0)
        return true;
    if (errno != ENOSYS && errno != EINVAL && errno != EBADF)
        return false; // ESRCH: it has ended already
#endif
    return ::kill(process.pid, SIGKILL) == 0;
}

bool isGone(int dirFd) {
    const QByteArray stat = readSmallFile(dirFd, "stat");
    return stat.isEmpty() || isZombieStat(stat);
}

QByteArray shellQuoted(const QString &text) {
    QByteArray quoted = text.toLocal8Bit();
    quoted.replace('\'', "'\\''");
    return '\'' + quoted + '\'';
}

} // namespace

QString fileVersionOf(const QString &path) {
    return portableFileVersionOf(path);
}

bool writeProfileString(const QByteArray &iniPath, const QString &section, const QString &key,
                        const QString &value) {
    return editProfileFile(iniPath, section, key, value);
}

QStringList listRunningImages() {
    QStringList images;
    forEachProcess([&](const ProcessImage &process) {
        if (!process.zombie)
            images.append(QFile::decodeName(process.image));
    });
    return images;
}

bool imageRunning(const QStringList &runningImages, const QString &imageName) {
    return runningImages.contains(imageName);
}

bool programRunning(const QString &programPath) {
    const QFileInfo wanted(programPath);
    const QByteArray wantedName = QFile::encodeName(wanted.fileName());
    const QString wantedPath = wanted.canonicalFilePath().isEmpty()
                                   ? QDir::cleanPath(wanted.absoluteFilePath())
                                   : wanted.canonicalFilePath();
    bool running = false;
    forEachProcess([&](const ProcessImage &process) {
        if (running || process.zombie || process.image != wantedName)
            return;
        QString path = QFile::decodeName(process.imagePath);
        if (!path.startsWith(QLatin1Char('/'))) {
            // A script named relative to the folder its process was started in.
            char cwd[4096];
            const ssize_t n = ::readlinkat(process.dirFd, "cwd", cwd, sizeof cwd - 1);
            if (n <= 0)
                return;
            path = QFile::decodeName(QByteArray(cwd, int(n))) + QLatin1Char('/') + path;
        }
        const QFileInfo found(path);
        const QString foundPath =
            found.canonicalFilePath().isEmpty() ? QDir::cleanPath(path) : found.canonicalFilePath();
        running = foundPath == wantedPath;
    });
    return running;
}

int forceEndImage(const QString &imageName) {
    if (imageName.isEmpty())
        return 0;
    const QByteArray wanted = QFile::encodeName(imageName);
    const uid_t me = ::getuid();
    const pid_t self = ::getpid();
    QVector<int> ended; // their /proc folders
    forEachProcess([&](ProcessImage &process) {
        if (process.zombie || process.owner != me || process.pid == self || process.image != wanted)
            return;
        if (killProcess(process)) {
            ended.append(process.dirFd);
            process.dirFd = -1;
        }
    });

    const int signalled = ended.size();

    // taskkill returns once the processes are ending; wait for them so that callers may
    // replace their files right away.
    for (int waited = 0; waited < 3000 && !ended.isEmpty(); waited += 10) {
        for (int i = ended.size() - 1; i >= 0; --i) {
            if (isGone(ended.at(i))) {
                ::close(ended.at(i));
                ended.remove(i);
            }
        }
        if (!ended.isEmpty()) {
            const timespec pause{0, 10 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
    }
    for (const int dirFd : qAsConst(ended))
        ::close(dirFd);
    return signalled;
}

void endImageThroughHelper(const QString &imageName, const QString &helperFolder) {
    Q_UNUSED(helperFolder);
    forceEndImage(imageName);
}

bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder) {
    if (!workingFolder.isEmpty() && !QFileInfo(workingFolder).isDir())
        return false;
    return QProcess::startDetached(program, arguments, workingFolder);
}

QString executableSuffix() {
    return QString();
}

Qt::CaseSensitivity fileNameCase() {
    return Qt::CaseSensitive;
}

namespace {

// Names that decode as UTF-8 are taken as UTF-8 (archivers on Linux write them without the
// flag); any other byte sequence is GB18030, a superset of GBK.
class ZipNameCodec : public QTextCodec {
public:
    QByteArray name() const override { return QByteArrayLiteral("x-tovarin-zipname"); }
    int mibEnum() const override { return -4711; }

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *) const override {
        QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull);
        const QString utf8 = QTextCodec::codecForMib(106)->toUnicode(in, length, &state);
        if (state.invalidChars == 0 && state.remainingChars == 0)
            return utf8;
        return QTextCodec::codecForName("GB18030")->toUnicode(in, length);
    }
    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *) const override {
        return QString(in, length).toUtf8();
    }
};

} // namespace

QTextCodec *zipNameCodec() {
    // Codecs register themselves and live as long as the process.
    static QTextCodec *codec = new ZipNameCodec;
    return codec;
}

QString toolStartScriptName() {
    return QStringLiteral("temp.sh");
}

QString helperScriptName() {
    return QStringLiteral("tmp.sh");
}

QByteArray toolStartScriptText(const QString &executableFileName) {
    // setsid puts the tool in its own session, so it outlives this script, the launcher's
    // wait and the launcher itself; its streams must not hold the launcher's pipes open.
    QByteArray text = "#!/bin/sh\n";
    text += "# Start programs\n";
    text += "cd \"$(dirname \"$0\")\" || exit 1\n";
    text += "nohup setsid ./" + shellQuoted(executableFileName) + " </dev/null >/dev/null 2>&1 &\n";
    return text;
}

bool writeScriptFile(const QString &path, const QByteArray &text) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit())
        return false;
    return QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner |
                                           QFileDevice::ExeUser | QFileDevice::ExeGroup |
                                           QFileDevice::ExeOther | QFileDevice::ReadOwner |
                                           QFileDevice::ReadUser);
}

namespace {
void prepareScript(QProcess &process, const QString &workingFolder) {
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
}
} // namespace

void startScript(QProcess &process, const QString &scriptPath, const QString &workingFolder) {
    prepareScript(process, workingFolder);
    process.start(QStringLiteral("/bin/sh"), {QFileInfo(scriptPath).absoluteFilePath()});
}

bool runScript(const QString &scriptPath, const QString &workingFolder, int timeoutMs, int *exitCode,
               QString *errorText) {
    QProcess process;
    prepareScript(process, workingFolder);
    // A relative path names the script from this process's folder, as on Windows, not from the
    // script's working folder.
    return runAndWait(process, QStringLiteral("/bin/sh"), {QFileInfo(scriptPath).absoluteFilePath()},
                      timeoutMs, exitCode, errorText);
}

// Qt's System V semaphore operations carry SEM_UNDO: the kernel reverts a dead holder's hold.
class MachineLockPrivate {
public:
    explicit MachineLockPrivate(const QString &key) : semaphore(key, 1, QSystemSemaphore::Open) {}
    QSystemSemaphore semaphore;
};

MachineLock::MachineLock(const QString &key) : d(new MachineLockPrivate(key)) {
    m_bLocked = d->semaphore.acquire();
}

MachineLock::~MachineLock() {
    if (m_bLocked)
        d->semaphore.release();
}

class FileLockPrivate {
public:
    QString path;
    int fd = -1;
};

FileLock::FileLock(const QString &path) : d(new FileLockPrivate) {
    d->path = path;
}

FileLock::~FileLock() {
    unlock();
}

bool FileLock::tryLock() {
    if (d->fd >= 0)
        return true;
    const QByteArray path = QFile::encodeName(d->path);
    // The holder removes the file as it lets go: a lock won on a file that is no longer the one
    // at the path is worthless, and the path is opened again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        // flock belongs to the open file, so a second open in this process is refused too.
        int rc;
        do
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            ::close(fd);
            return false;
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::stat(path.constData(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            d->fd = fd;
            return true;
        }
        ::close(fd);
    }
    return false;
}

void FileLock::unlock() {
    if (d->fd < 0)
        return;
    ::unlink(QFile::encodeName(d->path).constData());
    ::close(d->fd);
    d->fd = -1;
}

bool FileLock::isLocked() const {
    return d->fd >= 0;
}

bool keepAndReplace(const QString &path, const QString &keptAs, const QString &from,
                    const std::function<void()> &between) {
    const QByteArray kept = QFile::encodeName(keptAs);
    if (::link(QFile::encodeName(path).constData(), kept.constData()) != 0)
        return false;
    if (between)
        between();
    if (renameOver(from, path))
        return true;
    ::unlink(kept.constData());
    return false;
}

bool renameOver(const QString &from, const QString &to) {
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool flushFileSystemOf(const QString &path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool flushed = ::syncfs(fd) == 0;
    ::close(fd);
    return flushed;
}

} // namespace Platform
