#pragma once

// Internals shared by the platform files and their tests; not for the layers above.

#include <QByteArray>
#include <QString>
#include <QStringList>

class QProcess;

namespace Platform {

// The whole INI text after writing one key (value already encoded): the edit behind
// writeProfileString, kept free of file handling.
QByteArray applyProfileWrite(const QByteArray &text, const QString &section, const QString &key,
                             const QByteArray &encodedValue);

// Section and key names that cannot break the file (not empty, one line, no "=" in a key...).
bool validProfileNames(const QString &section, const QString &key);
// False when the section stands in the text more than once (in any spelling) or the key more
// than once in it: a writer that changes only the first would leave a stale value that readers
// taking the last one still see.
bool profileWriteHasOneTarget(const QByteArray &text, const QString &section, const QString &key);

// writeProfileString done by our own editor: read, edit, write beside and rename.
bool editProfileFile(const QByteArray &iniPath, const QString &section, const QString &key,
                     const QString &value);

// Starts a prepared process and waits for it without handling events (negative: no limit);
// true only when it ended in time with exit code 0.
bool runAndWait(QProcess &process, const QString &program, const QStringList &arguments, int timeoutMs,
                int *exitCode, QString *errorText);

// fileVersionOf on bytes in memory; never reads outside [data, data + size).
QString fileVersionOfData(const char *data, qint64 size);

// The reader behind fileVersionOf on Linux, for PE and ELF files alike; Windows asks the system.
QString portableFileVersionOf(const QString &path);

} // namespace Platform
