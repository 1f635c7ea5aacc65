#include "platform.h"
#include "platform_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QSet>
#include <QTextCodec>
#include <QVector>

#include <windows.h>

#include <sddl.h>
#include <tlhelp32.h>

// Processes listed through the system's process snapshot (the names tasklist prints), ended
// through taskkill, tools started by a batch file with "start": the facilities the stations
// were set up around.

namespace Platform {

namespace {

const int kTaskkillTimeoutMs = 10000;

} // namespace

// The stations' own writer while the file and the key stay plain ASCII. It re-encodes the whole
// file through the system's ANSI code page (GBK on the factory machines), which would garble
// UTF-8 text, so otherwise our editor, which follows the same placement rules, does the write.
bool writeProfileString(const QByteArray &iniPath, const QString &section, const QString &key,
                        const QString &value) {
    if (iniPath.isEmpty() || !validProfileNames(section, key))
        return false;
    const QByteArray encoded = iniEncodeValue(value);
    const auto ascii = [](const QByteArray &bytes) {
        for (const char c : bytes) {
            if (static_cast<unsigned char>(c) > 0x7f)
                return false;
        }
        return true;
    };
    const QByteArray sectionBytes = section.toUtf8();
    const QByteArray keyBytes = key.toUtf8();
    QFile existing(QFile::decodeName(iniPath));
    QByteArray current;
    if (existing.open(QIODevice::ReadOnly))
        current = existing.readAll();
    existing.close();
    // Windows' writer changes only the first of duplicated sections or keys; such files, and
    // text beyond ASCII, go through our own editor.
    if (ascii(iniPath) && ascii(sectionBytes) && ascii(keyBytes) && ascii(encoded) && ascii(current) &&
        profileWriteHasOneTarget(current, section, key)) {
        // A name without a full path would be looked up in the Windows folder instead.
        const QByteArray fullPath = QFile::encodeName(
            QDir::toNativeSeparators(QFileInfo(QFile::decodeName(iniPath)).absoluteFilePath()));
        return WritePrivateProfileStringA(sectionBytes.constData(), keyBytes.constData(), encoded.constData(),
                                          fullPath.constData()) != 0;
    }
    return editProfileFile(iniPath, section, key, value);
}

// The stations' own version reader. The wide-character functions, so that a folder name outside
// the system code page still finds its file.
QString fileVersionOf(const QString &path) {
    const QString none = QStringLiteral("0.0.0.0");
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return none;
    const std::wstring native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toStdWString();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(native.c_str(), &ignored);
    if (size == 0)
        return none;
    QByteArray block(int(size), '\0');
    if (!GetFileVersionInfoW(native.c_str(), 0, size, block.data()))
        return none;
    VS_FIXEDFILEINFO *info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != 0xFEEF04BD)
        return none;
    return QStringLiteral("%1.%2.%3.%4")
        .arg(HIWORD(info->dwFileVersionMS))
        .arg(LOWORD(info->dwFileVersionMS))
        .arg(HIWORD(info->dwFileVersionLS))
        .arg(LOWORD(info->dwFileVersionLS));
}

namespace {

struct ProcessEntry {
    DWORD pid = 0;
    QString image;
};

// The system's process snapshot: the image names tasklist prints, in about a millisecond and
// without starting a console program (which under wine prints nothing at all).
QVector<ProcessEntry> snapshotProcesses() {
    QVector<ProcessEntry> processes;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return processes;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        processes.append({entry.th32ProcessID, QString::fromWCharArray(entry.szExeFile)});
    CloseHandle(snapshot);
    return processes;
}

// The user a process runs as, as its token's SID in text; empty when it cannot be asked (a
// process of another user or of the system).
QString processUser(DWORD pid) {
    QString user;
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return user;
    HANDLE token = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        QByteArray buffer(int(size), '\0');
        LPWSTR text = nullptr;
        if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &text)) {
            user = QString::fromWCharArray(text);
            LocalFree(text);
        }
        CloseHandle(token);
    }
    CloseHandle(process);
    return user;
}

} // namespace

QStringList listRunningImages() {
    QStringList images;
    for (const ProcessEntry &process : snapshotProcesses())
        images.append(process.image);
    return images;
}

bool imageRunning(const QStringList &runningImages, const QString &imageName) {
    return runningImages.join(QLatin1Char('\n')).contains(imageName);
}

bool programRunning(const QString &programPath) {
    const QString name = QFileInfo(programPath).fileName();
    for (const QString &image : listRunningImages()) {
        if (image.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// This user's processes of that image, never the launcher itself, as taskkill's filters pick
// them; counted as they are gone afterwards, so what could not be ended is not counted.
int forceEndImage(const QString &imageName) {
    if (imageName.isEmpty())
        return 0;
    const DWORD self = GetCurrentProcessId();
    const QString me = processUser(self);
    QSet<DWORD> targets;
    for (const ProcessEntry &process : snapshotProcesses()) {
        if (process.pid == self || process.image.compare(imageName, Qt::CaseInsensitive) != 0)
            continue;
        // A process whose user cannot be asked is left to taskkill's own filter.
        const QString user = processUser(process.pid);
        if (me.isEmpty() || user.isEmpty() || user == me)
            targets.insert(process.pid);
    }
    if (targets.isEmpty())
        return 0;
    // Ended by their ids, as picked above: the same as taskkill /f with its filters, without
    // depending on which filters the system's taskkill understands.
    for (DWORD pid : qAsConst(targets)) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        if (!process)
            continue;
        TerminateProcess(process, 1);
        CloseHandle(process);
    }
    // Gone within 3 s, so files can be replaced right after.
    QElapsedTimer waited;
    waited.start();
    QSet<DWORD> left = targets;
    while (true) {
        left.clear();
        for (const ProcessEntry &entry : snapshotProcesses()) {
            if (targets.contains(entry.pid))
                left.insert(entry.pid);
        }
        if (left.isEmpty() || waited.hasExpired(3000))
            break;
        Sleep(50);
    }
    return targets.size() - left.size();
}

void endImageThroughHelper(const QString &imageName, const QString &helperFolder) {
    const QString path = QDir(helperFolder).filePath(helperScriptName());
    QFile::remove(path);
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return;
    script.write(QStringLiteral("taskkill /f /im %1\r\nexit").arg(imageName).toLocal8Bit());
    script.close();
    // Bounded: a hung taskkill must not freeze the window for good; the caller lists again.
    runScript(path, QString(), kTaskkillTimeoutMs);
}

bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder) {
    if (!workingFolder.isEmpty() && !QFileInfo(workingFolder).isDir())
        return false;
    return QProcess::startDetached(program, arguments, workingFolder);
}

QString executableSuffix() {
    return QStringLiteral(".exe");
}

Qt::CaseSensitivity fileNameCase() {
    return Qt::CaseInsensitive;
}

QTextCodec *zipNameCodec() {
    // Qt's locale codec on Windows is the ANSI code page.
    return QTextCodec::codecForLocale();
}

QString toolStartScriptName() {
    return QStringLiteral("temp.bat");
}

QString helperScriptName() {
    return QStringLiteral("tmp.bat");
}

QByteArray toolStartScriptText(const QString &executableFileName) {
    return ":: Start programs \r\n"
           "cd \"%~dp0\" \r\n"
           "start " +
           executableFileName.toLocal8Bit() + ' ';
}

bool writeScriptFile(const QString &path, const QByteArray &text) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void startScript(QProcess &process, const QString &scriptPath, const QString &workingFolder) {
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    // A batch file given as the program is run by the command interpreter.
    process.start(QDir::toNativeSeparators(QFileInfo(scriptPath).absoluteFilePath()), QStringList());
}

bool runScript(const QString &scriptPath, const QString &workingFolder, int timeoutMs, int *exitCode,
               QString *errorText) {
    QProcess process;
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    // A batch file given as the program is run by the command interpreter.
    return runAndWait(process, QDir::toNativeSeparators(QFileInfo(scriptPath).absoluteFilePath()),
                      QStringList(), timeoutMs, exitCode, errorText);
}

class MachineLockPrivate {
public:
    HANDLE mutex = nullptr;
};

// A semaphore would stay taken after its holder was killed; a mutex is given up by the kernel.
// The name lives in the session's namespace, like the launcher's shared segment.
MachineLock::MachineLock(const QString &key) : d(new MachineLockPrivate) {
    const QString name = QStringLiteral("Tovarin.MachineLock.") + key;
    d->mutex = CreateMutexW(nullptr, FALSE, reinterpret_cast<LPCWSTR>(name.utf16()));
    if (!d->mutex)
        return;
    const DWORD waited = WaitForSingleObject(d->mutex, INFINITE);
    // Abandoned: the holder died inside. What the lock guards is checked afresh by every holder,
    // so the lock is ours like any other.
    m_bLocked = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

MachineLock::~MachineLock() {
    if (m_bLocked)
        ReleaseMutex(d->mutex);
    if (d->mutex)
        CloseHandle(d->mutex);
}

class FileLockPrivate {
public:
    QString path;
    HANDLE file = INVALID_HANDLE_VALUE;
};

FileLock::FileLock(const QString &path) : d(new FileLockPrivate) {
    d->path = path;
}

FileLock::~FileLock() {
    unlock();
}

bool FileLock::tryLock() {
    if (d->file != INVALID_HANDLE_VALUE)
        return true;
    // No sharing: every other open, in any process, fails until this handle closes, which the
    // kernel does for a process that dies, deleting the file. Not inheritable, so started tools
    // never hold it.
    const QString native = QDir::toNativeSeparators(d->path);
    const HANDLE file =
        CreateFileW(reinterpret_cast<LPCWSTR>(native.utf16()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    d->file = file;
    return true;
}

void FileLock::unlock() {
    if (d->file == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(d->file);
    d->file = INVALID_HANDLE_VALUE;
}

bool FileLock::isLocked() const {
    return d->file != INVALID_HANDLE_VALUE;
}

bool flushFileSystemOf(const QString &path) {
    // Flushing a whole volume needs administrator rights. NTFS journals its renames, so a
    // power loss leaves every file wholly old or wholly new, though recent writes may be lost.
    Q_UNUSED(path)
    return true;
}

bool keepAndReplace(const QString &path, const QString &keptAs, const QString &from,
                    const std::function<void()> &between) {
    Q_UNUSED(path)
    Q_UNUSED(keptAs)
    Q_UNUSED(from)
    Q_UNUSED(between)
    return false;
}

bool renameOver(const QString &from, const QString &to) {
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING) != 0;
}

} // namespace Platform
