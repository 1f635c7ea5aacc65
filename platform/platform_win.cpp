#include "platform.h"
#include "platform_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QTextCodec>

#include <windows.h>

// Processes through the command interpreter's tasklist and taskkill, tools started by a batch
// file with "start": the facilities the stations were set up around.

namespace Platform {

namespace {

const int kTasklistTimeoutMs = 30000;

QString runAndRead(const QString &program, const QStringList &arguments, int timeoutMs) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs))
        return QString();
    process.waitForFinished(timeoutMs);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(1000);
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

QString currentUserName() {
    return qEnvironmentVariable("USERNAME");
}

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

// "tasklist /fo csv /nh" prints one quoted record per process whose first field is the image
// name, whatever the system's language; a name with blanks stays whole.
QStringList listImages(const QStringList &filters) {
    const QString text =
        runAndRead(QStringLiteral("tasklist"),
                   QStringList{QStringLiteral("/fo"), QStringLiteral("csv"), QStringLiteral("/nh")} + filters,
                   kTasklistTimeoutMs);
    QStringList images;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const int open = line.indexOf(QLatin1Char('"'));
        const int close = open < 0 ? -1 : line.indexOf(QLatin1Char('"'), open + 1);
        if (close > open + 1)
            images.append(line.mid(open + 1, close - open - 1));
    }
    return images;
}

} // namespace

QStringList listRunningImages() {
    return listImages(QStringList());
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

// Counted with the same filters taskkill is given: this user's processes of that image, never
// the launcher itself.
int forceEndImage(const QString &imageName) {
    if (imageName.isEmpty())
        return 0;
    QStringList filters{QStringLiteral("/fi"),
                        QStringLiteral("PID ne %1").arg(QCoreApplication::applicationPid())};
    const QString user = currentUserName();
    if (!user.isEmpty())
        filters << QStringLiteral("/fi") << QStringLiteral("USERNAME eq %1").arg(user);
    int running = 0;
    for (const QString &image :
         listImages(filters +
                    QStringList{QStringLiteral("/fi"), QStringLiteral("IMAGENAME eq %1").arg(imageName)})) {
        if (image.compare(imageName, Qt::CaseInsensitive) == 0)
            ++running;
    }
    if (running == 0)
        return 0;
    QProcess process;
    process.start(QStringLiteral("taskkill"),
                  QStringList{QStringLiteral("/f"), QStringLiteral("/im"), imageName} + filters);
    if (!process.waitForStarted(kTasklistTimeoutMs))
        return 0;
    process.waitForFinished(-1);
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 ? running : 0;
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
    runScript(path, QString(), 10000);
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

bool flushFileSystemOf(const QString &path) {
    // Flushing a whole volume needs administrator rights. NTFS journals its renames, so a
    // power loss leaves every file wholly old or wholly new, though recent writes may be lost.
    Q_UNUSED(path)
    return true;
}

} // namespace Platform
