// Zip packages through the shared services: listing, checking and unpacking over a folder.
#include "common.h"
#include "fuzzsupport.h"
#include "packageguard.h"

#include <QDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::application();
    static const QString root = Fuzz::scratchFolder();
    const QString package = root + QStringLiteral("/package.zip");
    const QString target = root + QStringLiteral("/Tool");
    QDir(target).removeRecursively();
    QDir().mkpath(target);
    Fuzz::writeFile(target + QStringLiteral("/keep.txt"), "kept");
    Fuzz::writeFile(package, Fuzz::bytesOf(data, size));

    Common common;
    QStringList names;
    common.zipEntryNames(package, names);
    PackageGuard::testArchive(package);
    common.UpdataZip(package, target);
    // Nothing may land outside the target folder.
    const QStringList beside = QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &name : beside) {
        if (name != QLatin1String("Tool") && name != QLatin1String("package.zip") &&
            !name.startsWith(QLatin1String("Tool"))) {
            fprintf(stderr, "written outside the tool folder: %s\n", qPrintable(name));
            abort();
        }
    }
    return 0;
}
