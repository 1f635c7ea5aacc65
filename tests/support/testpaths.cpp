#include "testpaths.h"

#include <QByteArray>
#include <QDir>
#include <QStandardPaths>
#include <QtGlobal>

namespace TestPaths {

QString sourceDir()
{
    const QByteArray env = qgetenv("TOVARIN_SOURCE_DIR");
    return env.isEmpty() ? QStringLiteral(TOVARIN_SOURCE_DIR) : QString::fromLocal8Bit(env);
}

QString binaryDir()
{
    const QByteArray env = qgetenv("TOVARIN_BINARY_DIR");
    return env.isEmpty() ? QStringLiteral(TOVARIN_BINARY_DIR) : QString::fromLocal8Bit(env);
}

QString programPath(const QString &name)
{
    return binaryDir() + QStringLiteral("/bin/") + name;
}

QString python()
{
    const QString env = qEnvironmentVariable("TOVARIN_PYTHON");
    return env.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("python3")) : env;
}

QString hostPath(const QString &path)
{
    const QString plain = QDir::fromNativeSeparators(path);
    const QStringList drives = qEnvironmentVariable("TOVARIN_HOST_DRIVES").split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &mapping : drives) {
        const QString drive = mapping.section(QLatin1Char('='), 0, 0);
        if (!drive.isEmpty() && plain.startsWith(drive + QLatin1Char('/'), Qt::CaseInsensitive))
            return mapping.section(QLatin1Char('='), 1) + plain.mid(drive.size());
    }
    return path;
}

bool runsUnderWine()
{
    return qEnvironmentVariableIsSet("TOVARIN_HOST_DRIVES");
}

} // namespace TestPaths
