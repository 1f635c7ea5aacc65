#pragma once

// The operating system behind one set of plain functions. Each function has a Windows
// implementation (platform_win.cpp, calling the facilities the launcher was designed around)
// and a Linux one (platform_posix.cpp) with the same observable behaviour; the INI writer and
// the version reader are portable code used on both.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class QProcess;
class QTextCodec;

#include <functional>
#include <memory>

class QSettings;

namespace Platform {

// --- Window system --------------------------------------------------------------------------
// True when the window system blends translucent windows with what lies beneath them, so a
// pop-up's dimming layer and the toast's strip can be see-through. windowSystem is the name
// of the Qt platform plugin in use ("xcb", "wayland", "windows", "offscreen", ...). An X
// desktop blends only while a compositing manager runs (it owns the selection _NET_WM_CM_S<n>
// of the screen); without one the transparent parts show black. Every other window system
// blends, or draws into images that keep their transparency.
bool windowSystemBlendsTranslucency(const QString &windowSystem);

// --- Private-profile INI writer -------------------------------------------------------------
// Writes one key the way the Windows private-profile writer does: section and key matched
// without regard to case (the stored spelling is kept), an existing value replaced in place
// (every occurrence, so no stale duplicate shadows it), a new key right after the last key
// line of its section (blank lines and comments that follow stay below it), a new section at
// the end of the file after one blank line, the file created when missing, every other byte
// kept. New lines use the file's own line ending. Our editor rewrites the file through a
// temporary file beside it and renames it, so a crash never leaves half a file. Windows uses
// WritePrivateProfileStringA while the file, section, key and value are plain ASCII; otherwise
// our editor too, as the ANSI writer passes the bytes through the system code page, which
// mangles UTF-8 text on a Chinese (GBK) system.
// Returns false for an empty or multi-line section or key, a key holding '=' or starting with
// ';', '#' or '[', a section holding ']', or when the file cannot be read or replaced.
// iniPath is the file's path in the system's 8-bit encoding.
bool writeProfileString(const QByteArray &iniPath, const QString &section, const QString &key,
                        const QString &value);

// The text stored for a value: the value's own UTF-8 bytes when QSettings (INI, UTF-8) reads
// them back unchanged ("true", "123", "2026-01-02 10:00:00", names, Chinese text); otherwise
// backslash escapes for '\', '"', control characters, line breaks ("\n" - so multi-line text
// stays on one line), U+FEFF and lone surrogates; double quotes around values with ',' or ';'
// or leading or trailing blanks; and "@@" for a leading '@'. Pass release notes with their
// real line breaks.
QByteArray iniEncodeValue(const QString &value);

// "section/key" as stored in the file that settings reads, both matched without regard to
// case (in whichever spelling of the section holds the key); the given spelling when absent.
// QSettings matches case-sensitively on Linux, while the files are written and read with
// differing spellings ("upgradePackageType" and "UpgradePackageType").
QString findProfileKey(QSettings &settings, const QString &section, const QString &key);

// --- Executable versions --------------------------------------------------------------------
// File version (not product version) of a PE executable's version resource, or of the
// version note a Linux tool carries (see toolversion.h), as "a.b.c.d"; "0.0.0.0" when the
// file is missing, is not an executable, carries no version or is damaged. Windows asks its
// version-resource functions; Linux reads the file with a portable reader that checks every
// offset against the file's size.
QString fileVersionOf(const QString &path);

// --- Server certificates --------------------------------------------------------------------
// Whether Qt's TLS here verifies a server against the CA list set on a connection. OpenSSL
// (Linux) does. Qt 5's Schannel backend (Windows) never hands that list to the system and
// trusts the system's roots alone; there the caller checks with chainLeadsToRoots itself.
bool tlsTakesConnectionCaList();
// Whether the system, given roots (DER certificates) as its only trusted roots, builds a sound
// chain for a TLS server from chain (DER: the server's own certificate first, then those it
// sent along): every certificate within its dates, signatures and CA constraints in order.
// The host name is left to the TLS layer. Windows only: false where the TLS layer takes the
// CA list itself.
bool chainLeadsToRoots(const QList<QByteArray> &chain, const QList<QByteArray> &roots);

// --- Durability -----------------------------------------------------------------------------
// Pushes everything written so far on the file system holding path to the disk, so that a
// power loss after it returns cannot undo those writes. False when the flush failed.
bool flushFileSystemOf(const QString &path);

// Gives the file at path a second name, keptAs, then puts from in path's place in one step: the
// name path is never missing on the way, so a kill or power cut between the two leaves the old
// file where it was. False, with nothing replaced, where the two steps cannot be taken: then
// keptAs does not exist either. Linux: a hard link, then rename(2) over the old name. Windows:
// always false; a running program there can be renamed, not replaced, and the caller renames.
// between runs when both names exist and nothing is replaced yet (for a watcher).
bool keepAndReplace(const QString &path, const QString &keptAs, const QString &from,
                    const std::function<void()> &between = {});

// Renames from to to, replacing a file already at to in one step. False if it could not.
bool renameOver(const QString &from, const QString &to);

// --- Processes ------------------------------------------------------------------------------
// Image names of the running processes, one per process ("tool.exe" on Windows). On Linux it
// scans /proc without starting anything: the name is the executable's file name; a program
// started through a "#!" line (a script tool) or as "sh tool.sh" is listed under the script's
// file name, found in its command line (the kernel's own name for it is cut to 15 characters).
QStringList listRunningImages();

// Whether a program of this image name is among the listed running images. Windows keeps the
// stations' search of the process listing: the name anywhere in it, its ".exe" closing the match.
// Linux names have no suffix to close it, so there a listed name must equal it: a tool "JBM" is
// not running because "JBMonitor" is.
bool imageRunning(const QStringList &runningImages, const QString &imageName);

// Whether a process runs this very program file (an absolute path), wherever other copies of
// the same name run. Linux compares the executable, or for a program started through a "#!"
// line or an interpreter the script, by its resolved path. Windows keeps the image name of the
// process listing: the launcher runs once per session there.
bool programRunning(const QString &programPath);

// Ends, without asking (like taskkill /f), every process of exactly this image name that the
// current user owns, never this process itself. Returns how many were ended; it waits up to
// 3 s for them to be gone, so files can be replaced right after. Linux signals
// through each process's open /proc folder, so a pid reused meanwhile is never hit.
int forceEndImage(const QString &imageName);

// Ends a tool's processes the way the stations always have. Windows: the helper script
// (helperScriptName()) in helperFolder is deleted, rewritten as "taskkill /f /im <name>", CR LF,
// "exit", and run for at most 10 s; the file stays. Linux: forceEndImage, which the script
// would only have wrapped.
void endImageThroughHelper(const QString &imageName, const QString &helperFolder);

// Starts a program detached from this process, in the given working folder (which must exist).
bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder);

// ".exe" on Windows, empty on Linux: appended where a program's configured name needs it.
QString executableSuffix();

// How the file system compares names: without regard to case on Windows, exactly on Linux.
Qt::CaseSensitivity fileNameCase();

// The codec for zip entry names stored without the UTF-8 flag: the system's ANSI code page on
// Windows (as its own zip support reads them); on Linux UTF-8 where the bytes are valid UTF-8,
// else GB18030 (what archivers on a Chinese-locale Windows write).
QTextCodec *zipNameCodec();

// --- Tool start scripts ---------------------------------------------------------------------
// The script written into a tool's folder to start it ("temp.bat" on Windows, "temp.sh" on
// Linux), and the helper script in the working folder ("tmp.bat" / "tmp.sh").
QString toolStartScriptName();
QString helperScriptName();

// Contents of a start script with three roles: a comment line, change to the script's own
// folder, start the program (executable name with its suffix) detached. Windows: three lines
// joined by CR LF, no final line break. Linux: a POSIX sh script that starts ./<name> in its
// own session (setsid, nohup, standard streams on /dev/null) so it outlives the script.
QByteArray toolStartScriptText(const QString &executableFileName);

// Writes a script file and makes it runnable (executable bit on Linux).
bool writeScriptFile(const QString &path, const QByteArray &text);

// Starts a script in process (the command interpreter on Windows, /bin/sh on Linux) and returns
// at once; the caller follows it through the process's signals. A relative scriptPath is taken
// from this process's current folder.
void startScript(QProcess &process, const QString &scriptPath, const QString &workingFolder);

// Runs a script as a child process (the command interpreter on Windows, /bin/sh on Linux) and
// waits for it at most timeoutMs (negative: no limit) without processing events; a script still
// running then is killed. A relative scriptPath is taken from this process's current folder. Returns true
// only when it ran to its end in time with exit code 0. exitCode gets the code (-1 when it did not start,
// crashed or timed out), errorText the process error text.
bool runScript(const QString &scriptPath, const QString &workingFolder, int timeoutMs,
               int *exitCode = nullptr, QString *errorText = nullptr);

// --- Machine-wide lock ----------------------------------------------------------------------
// A short critical section under one key for the machine's processes (Windows: the session's,
// like the launcher's shared segment). The kernel frees it when its holder dies, however it dies.
// Linux: a System V semaphore whose operations the kernel undoes at exit. Windows: a named mutex;
// one whose holder died is "abandoned" and counts as acquired.
class MachineLockPrivate;
class MachineLock {
public:
    // Waits until the lock is held (or cannot be had at all).
    explicit MachineLock(const QString &key);
    // Gives the lock up.
    ~MachineLock();
    MachineLock(const MachineLock &) = delete;
    MachineLock &operator=(const MachineLock &) = delete;

    // False when the system refused the lock; the caller goes on unguarded rather than not at all.
    bool isLocked() const { return m_bLocked; }

private:
    std::unique_ptr<MachineLockPrivate> d;
    bool m_bLocked = false;
};

// --- Folder locks ---------------------------------------------------------------------------
// An exclusive lock on one file that every process of the machine sees and that the system
// frees when its holder dies, however it dies: no stale lock outlives a killed installer.
// Linux: flock() on the file held open (not inherited by started programs). Windows: the file
// held open with no sharing and deleted on close. The file exists while the lock is held (a
// killed holder may leave it behind, unlocked). A second lock on the same file within one
// process is refused as well.
class FileLockPrivate;
class FileLock {
public:
    explicit FileLock(const QString &path);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // Takes the lock without waiting; false when another holder has it or the file cannot be
    // opened (a folder without write access).
    bool tryLock();
    void unlock();
    bool isLocked() const;

private:
    std::unique_ptr<FileLockPrivate> d;
};

// --- Package digests -------------------------------------------------------------------------
// SHA-256 with the system's own implementation, which uses the processor's SHA instructions:
// several times faster than a portable one, so checking a large package costs next to nothing.
// Linux: OpenSSL's libcrypto. Windows: CNG (bcrypt).
class Sha256Private;
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(const char *data, qint64 size);
    // The 32-byte digest of everything added; the object starts over afterwards.
    QByteArray result();

private:
    std::unique_ptr<Sha256Private> d;
};

} // namespace Platform
