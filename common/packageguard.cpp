#include "packageguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

namespace {

constexpr quint32 kFileTypeMask = 0170000;
constexpr quint32 kSymbolicLinkType = 0120000;

bool isLinkEntry(const QuaZipFileInfo64 &info) {
    // Checked on the raw attributes too: the helper only trusts archives made on Unix hosts.
    return info.isSymbolicLink() || ((info.externalAttr >> 16) & kFileTypeMask) == kSymbolicLinkType;
}

bool staysInside(const QString &entryName, const QString &root) {
    QString name = entryName;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')))
        return false;
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':'))
        return false;
    const QString full = QDir::cleanPath(root + QLatin1Char('/') + name);
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    return full == root || full.startsWith(prefix);
}

bool entryReadsBack(QuaZip &zip, qint64 announcedSize) {
    QuaZipFile entry(&zip);
    if (!entry.open(QIODevice::ReadOnly))
        return false;
    char buffer[64 * 1024];
    qint64 total = 0;
    for (;;) {
        const qint64 n = entry.read(buffer, sizeof(buffer));
        if (n < 0) {
            entry.close();
            return false;
        }
        if (n == 0)
            break;
        total += n;
    }
    // The CRC is compared when an entry read to its end is closed, and only then: data that
    // ends early is caught by its size.
    entry.close();
    return entry.getZipError() == UNZ_OK && total == announcedSize;
}

} // namespace

namespace PackageGuard {

bool testArchive(const QString &packageFile, const QString &targetFolder) {
    QuaZip zip(packageFile);
    if (!zip.open(QuaZip::mdUnzip))
        return false;
    const QString root = QDir::cleanPath(QDir(targetFolder).absolutePath());
    bool sound = true;
    for (bool more = zip.goToFirstFile(); more && sound; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        if (!zip.getCurrentFileInfo(&info) || isLinkEntry(info) || !staysInside(info.name, root)) {
            sound = false;
            break;
        }
        sound = entryReadsBack(zip, qint64(info.uncompressedSize));
    }
    if (zip.getZipError() != UNZ_OK)
        sound = false;
    zip.close();
    return sound;
}

bool replaceFile(const QString &source, const QString &target) {
    const QFileInfo targetInfo(target);
    const QString temporary =
        targetInfo.absolutePath() + QLatin1Char('/') + targetInfo.fileName() + QStringLiteral(".updating");
    QFile::remove(temporary);
    if (!QFile::copy(source, temporary)) {
        QFile::remove(temporary);
        return false;
    }
    if (targetInfo.exists() && !QFile::remove(target)) {
        QFile::remove(temporary);
        return false;
    }
    if (!QFile::rename(temporary, target)) {
        // Leave the complete copy beside the target so it can still be recovered by hand.
        if (!QFile::copy(temporary, target))
            return false;
        QFile::remove(temporary);
    }
    return true;
}

} // namespace PackageGuard
