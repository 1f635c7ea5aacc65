#include "testpaths.h"

#include <QByteArray>
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

} // namespace TestPaths
