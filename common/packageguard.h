#pragma once

#include <QString>

// Safety checks around package installation, shared by the launcher's and the updater's
// installers: nothing is written into an installed folder until the package is known to be
// whole and harmless, and an installed file is only replaced once its successor is complete.
namespace PackageGuard {

// Reads every entry of the zip archive and checks its CRC. False when the archive cannot be
// opened, an entry is damaged or encrypted, an entry is a symbolic link, or an entry's path
// would land outside targetFolder (absolute, drive-qualified or climbing with "..").
bool testArchive(const QString &packageFile, const QString &targetFolder);

// Replaces target by a copy of source: the copy is made under a temporary name beside target
// and renamed over it, so a failed copy leaves target as it was. The source is not touched.
bool replaceFile(const QString &source, const QString &target);

} // namespace PackageGuard
