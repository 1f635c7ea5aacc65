#include "toolpackages.h"
#include "testpaths.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {
const int kRunLimitMs = 60000;

QStringList versionArguments(const QString &version) {
    return version.isEmpty() ? QStringList{QStringLiteral("--no-version")}
                             : QStringList{QStringLiteral("--version"), version};
}

bool fail(QString *error, const QString &text) {
    if (error)
        *error = text;
    return false;
}
} // namespace

QString ToolPackages::demotoolPath() {
    return QStringLiteral(DEMOTOOL_PROGRAM);
}

bool ToolPackages::run(const QStringList &arguments, QString *error) {
    const QString python = TestPaths::python();
    if (python.isEmpty())
        return fail(error, QStringLiteral("python3 not found"));
    QStringList args{QStringLiteral("-B"),
                     TestPaths::sourceDir() + QStringLiteral("/devserver/toolpackage.py")};
    args << arguments;
    if (!arguments.contains(QStringLiteral("--binary")))
        args << QStringLiteral("--binary") << demotoolPath();
    QProcess process;
    process.start(python, args);
    if (!process.waitForFinished(kRunLimitMs)) {
        process.kill();
        process.waitForFinished();
        return fail(error, QStringLiteral("toolpackage.py did not finish"));
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return fail(error, QString::fromUtf8(process.readAllStandardError()).trimmed());
    return true;
}

bool ToolPackages::makeZip(const QString &out, const QString &folder, const QString &exeName,
                           const QString &version, const QMap<QString, QByteArray> &files,
                           const QStringList &rawEntries, QString *error) {
    QStringList args{QStringLiteral("zip"),
                     QStringLiteral("-o"),
                     out,
                     QStringLiteral("--folder"),
                     folder,
                     QStringLiteral("--exe"),
                     exeName};
    args << versionArguments(version);
    // File contents go through files of their own: any bytes, whatever the command line allows.
    QTemporaryDir contents;
    if (!contents.isValid())
        return fail(error, QStringLiteral("cannot create a temporary folder"));
    int i = 0;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = contents.filePath(QString::number(i++));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(it.value()) != it.value().size())
            return fail(error, QStringLiteral("cannot write ") + path);
        args << QStringLiteral("--file-from") << it.key() + QLatin1Char('=') + path;
    }
    for (const QString &entry : rawEntries)
        args << QStringLiteral("--raw-entry") << entry;
    return run(args, error);
}

bool ToolPackages::makeExe(const QString &out, const QString &version, QString *error) {
    QStringList args{QStringLiteral("exe"), QStringLiteral("-o"), out};
    args << versionArguments(version);
    return run(args, error);
}
