#pragma once

// The operating system behind one set of plain functions. Each function has a Windows
// implementation (platform_win.cpp, calling the facilities the launcher was designed around)
// and a Linux one (platform_posix.cpp) with the same observable behaviour.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Platform {

// --- Private-profile INI writer -------------------------------------------------------------
// Writes one key the way the Windows private-profile writer does: section and key matched
// without regard to case, an existing value replaced in place, a new key at the end of its
// section, a new section at the end of the file, the file created when missing, everything
// else kept byte for byte. The value is stored in the form QSettings (INI, UTF-8) reads back
// exactly (see iniEncodeValue). iniPath is the file's path in the system's 8-bit encoding.
bool writeProfileString(const QByteArray &iniPath, const QString &section, const QString &key,
                        const QString &value);

// The text stored for a value: the value itself when QSettings reads it back unchanged,
// otherwise a quoted, escaped form that it does read back unchanged.
QByteArray iniEncodeValue(const QString &value);

// --- Executable versions --------------------------------------------------------------------
// File version (not product version) of a PE executable's version resource, or of the
// version note a Linux tool carries (see toolversion.h), as "a.b.c.d"; "0.0.0.0" when the
// file is missing, is not an executable, carries no version or is damaged.
QString fileVersionOf(const QString &path);

// --- Processes ------------------------------------------------------------------------------
// Image names of the running processes ("tool.exe" on Windows, the program name on Linux).
QStringList listRunningImages();

// Ends, without asking, every process of exactly this image name that the current user owns.
// Returns how many were signalled.
int forceEndImage(const QString &imageName);

// Starts a program detached from this process, in the given working folder.
bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder);

// ".exe" on Windows, empty on Linux: appended where a program's configured name needs it.
QString executableSuffix();

// --- Tool start scripts ---------------------------------------------------------------------
// The script written into a tool's folder to start it ("temp.bat" on Windows, "temp.sh" on
// Linux), and the helper script in the working folder ("tmp.bat" / "tmp.sh").
QString toolStartScriptName();
QString helperScriptName();

// Contents of a start script with three roles: a comment line, change to the script's own
// folder, start the program (executable name with its suffix) detached.
QByteArray toolStartScriptText(const QString &executableFileName);

// Writes a script file and makes it runnable (executable bit on Linux).
bool writeScriptFile(const QString &path, const QByteArray &text);

// Runs a script as a child process and waits for it at most timeoutMs without processing
// events. Returns false when it could not be started or did not end in time.
bool runScript(const QString &scriptPath, const QString &workingFolder, int timeoutMs);

} // namespace Platform
