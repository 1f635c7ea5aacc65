#include "packageguard.h"

#include "platform.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

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

QString foldedSegment(const QString &segment) {
    QString folded = segment.toCaseFolded();
    while (folded.endsWith(QLatin1Char('.')) || folded.endsWith(QLatin1Char(' ')))
        folded.chop(1);
    return folded;
}

// Windows opens the device, not a file, for these names with any extension.
bool isDeviceName(const QString &segment) {
    static const QRegularExpression device(
        QStringLiteral("^(con|prn|aux|nul|com[1-9]|lpt[1-9]|conin\\$|conout\\$)$"));
    QString base = foldedSegment(segment);
    const int dot = base.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        base.truncate(dot);
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    return device.match(base).hasMatch();
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

QString entryPath(const QString &entryName) {
    QString name = entryName;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.endsWith(QLatin1Char('/')))
        name.chop(1);
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')))
        return QString();
    for (const QChar c : qAsConst(name)) {
        if (c == QLatin1Char(':') || c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QString();
    }
    for (const QString &segment : name.split(QLatin1Char('/'))) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String("..") ||
            foldedSegment(segment).isEmpty() || isDeviceName(segment))
            return QString();
    }
    return name;
}

QString foldedName(const QString &rel) {
    QStringList segments = rel.split(QLatin1Char('/'));
    for (QString &segment : segments)
        segment = foldedSegment(segment);
    return segments.join(QLatin1Char('/'));
}

QString namesProblem(const QStringList &entryNames) {
    // Folded name -> (the entry that named it, whether it is a folder).
    QHash<QString, QPair<QString, bool>> seen;
    for (const QString &name : entryNames) {
        const QString rel = entryPath(name);
        if (rel.isNull())
            return QStringLiteral("安装包含有不安全的文件名:") + name;
        const bool folder = name.endsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('\\'));
        const QString folded = foldedName(rel);
        const auto earlier = seen.constFind(folded);
        if (earlier != seen.constEnd() && !(folder && earlier->second))
            return QStringLiteral("安装包含有重名的文件:") + earlier->first + QStringLiteral(" / ") + name;
        seen.insert(folded, qMakePair(name, folder));
        // Every parent is a folder: no file may share its name.
        for (int slash = folded.lastIndexOf(QLatin1Char('/')); slash > 0;
             slash = folded.lastIndexOf(QLatin1Char('/'), slash - 1)) {
            const QString parent = folded.left(slash);
            const auto other = seen.constFind(parent);
            if (other != seen.constEnd() && !other->second)
                return QStringLiteral("安装包含有重名的文件:") + other->first + QStringLiteral(" / ") + name;
            if (other == seen.constEnd())
                seen.insert(parent, qMakePair(parent + QLatin1Char('/'), true));
        }
    }
    return QString();
}

bool openForReading(QuaZip &zip) {
    // Flagged names are UTF-8 whatever codec is set; this one decodes the rest.
    zip.setFileNameCodec(Platform::zipNameCodec());
    return zip.open(QuaZip::mdUnzip);
}

bool readEntryNames(const QString &packageFile, QStringList &names) {
    names.clear();
    QuaZip zip(packageFile);
    if (!openForReading(zip))
        return false;
    names = zip.getFileNameList();
    const bool ok = zip.getZipError() == UNZ_OK;
    zip.close();
    return ok;
}

bool testArchive(const QString &packageFile) {
    QuaZip zip(packageFile);
    if (!openForReading(zip))
        return false;
    QStringList names;
    bool sound = true;
    for (bool more = zip.goToFirstFile(); more && sound; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        if (!zip.getCurrentFileInfo(&info) || isLinkEntry(info)) {
            sound = false;
            break;
        }
        names << info.name;
        sound = entryReadsBack(zip, qint64(info.uncompressedSize));
    }
    if (zip.getZipError() != UNZ_OK || !namesProblem(names).isEmpty())
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
