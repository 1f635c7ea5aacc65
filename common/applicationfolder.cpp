#include "applicationfolder.h"

#include <QCoreApplication>

namespace {
QString &folderOverride() {
    static QString folder;
    return folder;
}
} // namespace

namespace ApplicationFolder {

QString path() {
    const QString &folder = folderOverride();
    return folder.isEmpty() ? QCoreApplication::applicationDirPath() : folder;
}

void setPathForTesting(const QString &folder) {
    folderOverride() = folder;
}

} // namespace ApplicationFolder
