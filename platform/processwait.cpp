#include "platform_p.h"

#include <QProcess>

namespace Platform {

bool runAndWait(QProcess &process, const QString &program, const QStringList &arguments, int timeoutMs,
                int *exitCode, QString *errorText) {
    if (exitCode)
        *exitCode = -1;
    process.start(program, arguments);
    // The wait blocks on purpose: the caller must not handle events while a script runs.
    const bool ended = process.waitForStarted(timeoutMs < 0 ? -1 : qMax(timeoutMs, 1000)) &&
                       process.waitForFinished(timeoutMs < 0 ? -1 : timeoutMs);
    if (!ended && process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(1000);
    }
    if (errorText)
        *errorText = process.errorString();
    if (!ended || process.exitStatus() != QProcess::NormalExit)
        return false;
    if (exitCode)
        *exitCode = process.exitCode();
    return process.exitCode() == 0;
}

} // namespace Platform
