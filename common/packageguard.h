#pragma once

#include <QString>
#include <QStringList>

class QuaZip;

// Safety checks around package installation, shared by the launcher's and the updater's
// installers: nothing is written into an installed folder until the package is known to be
// whole and harmless, and an installed file is only replaced once its successor is complete.
namespace PackageGuard {

// An archive entry's path relative to the folder it unpacks into, "/"-separated and without a
// trailing "/" (a folder entry "a/b/" gives "a/b"), or a null string when the name is unsafe:
// empty, absolute (leading separator, drive letter), holding a "." or ".." segment or an empty
// one, a ":" (Windows would open an alternate data stream), a control character, or a segment
// that Windows reads as a device (CON, NUL, COM1, "aux.txt", ...) or as nothing (only dots and
// spaces). Backslashes count as separators, as Windows' own unpacker takes them.
QString entryPath(const QString &entryName);

// The name Windows' file system sees for a relative path: case folded, trailing dots and spaces
// of each segment dropped. Two paths with one folded name are one file there.
QString foldedName(const QString &rel);

// Why a package with these entry names must not be installed, for the log; empty when every
// name is safe (entryPath) and no two entries are one file on Windows (a file named twice, or
// a file and a folder of one folded name).
QString namesProblem(const QStringList &entryNames);

// Opens a zip for reading with the entry-name decoding every installer uses: UTF-8 for names
// flagged as UTF-8, Platform::zipNameCodec() for the others.
bool openForReading(QuaZip &zip);

// The decoded entry names of a zip file, folders with their trailing "/"; false when it cannot
// be read.
bool readEntryNames(const QString &packageFile, QStringList &names);

// Reads every entry of the zip archive and checks its CRC. False when the archive cannot be
// opened, an entry is damaged or encrypted, an entry is a symbolic link, or its names fail
// namesProblem().
bool testArchive(const QString &packageFile);

// Replaces target by a copy of source: the copy is made under a temporary name beside target
// and renamed over it, so a failed copy leaves target as it was. The source is not touched.
bool replaceFile(const QString &source, const QString &target);

} // namespace PackageGuard
