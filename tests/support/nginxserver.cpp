#include "nginxserver.h"
#include "testfiles.h"
#include "testpaths.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>
#include <QUrl>

namespace {
const int kStartLimitMs = 20000;

QString nginxProgram() {
    const QString named = qEnvironmentVariable("NGINX");
    if (!named.isEmpty())
        return QFileInfo(named).isExecutable() ? named : QString();
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (!onPath.isEmpty())
        return onPath;
    return QStandardPaths::findExecutable(
        QStringLiteral("nginx"),
        {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"), QStringLiteral("/sbin")});
}
} // namespace

NginxServer::NginxServer() = default;

NginxServer::~NginxServer() {
    stop();
}

bool NginxServer::isAvailable() {
    // A Windows build (under wine) would find no nginx of its own, and the host's is not its to start.
    if (QSysInfo::kernelType() != QLatin1String("linux") || TestPaths::runsUnderWine())
        return false;
    return !nginxProgram().isEmpty() && !TestPaths::python().isEmpty();
}

bool NginxServer::start(const QString &rootDir, qint64 rateBytesPerSecond) {
    stop();
    m_szLastError.clear();
    if (!isAvailable()) {
        m_szLastError = QStringLiteral("nginx or python3 is not available");
        return false;
    }
    if (!QFileInfo(rootDir).isDir()) {
        m_szLastError = QStringLiteral("no folder ") + rootDir;
        return false;
    }
    m_pTempDir = std::make_unique<QTemporaryDir>();
    if (!m_pTempDir->isValid()) {
        m_szLastError = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    const QString portFile = m_pTempDir->filePath(QStringLiteral("port"));
    const QString logs = m_pTempDir->filePath(QStringLiteral("logs"));
    m_szAccessLog = logs + QStringLiteral("/access.log");
    QStringList args{QStringLiteral("-B"),
                     TestPaths::sourceDir() + QStringLiteral("/scripts/nginx-loopback.py"),
                     QDir(rootDir).absolutePath(),
                     portFile,
                     QString::number(qMax<qint64>(0, rateBytesPerSecond)),
                     QStringLiteral("--logs"),
                     logs,
                     QStringLiteral("--watch-stdin")};
    m_pProcess = std::make_unique<QProcess>();
    m_pProcess->setProgram(TestPaths::python());
    m_pProcess->setArguments(args);
    m_pProcess->setWorkingDirectory(m_pTempDir->path());
    m_pProcess->setStandardOutputFile(QProcess::nullDevice());
    m_pProcess->setProcessChannelMode(
        QProcess::ForwardedErrorChannel); // nginx's complaints in the test's output
    m_pProcess->start();
    if (!m_pProcess->waitForStarted(kStartLimitMs)) {
        m_szLastError = QStringLiteral("cannot start python3: ") + m_pProcess->errorString();
        m_pProcess.reset();
        return false;
    }
    QDeadlineTimer deadline(kStartLimitMs);
    while (!QFileInfo::exists(portFile)) {
        if (m_pProcess->state() != QProcess::Running || deadline.hasExpired()) {
            m_szLastError =
                m_pProcess->state() != QProcess::Running
                    ? QStringLiteral("nginx-loopback exited with code %1").arg(m_pProcess->exitCode())
                    : QStringLiteral("nginx did not get ready in time");
            stop();
            return false;
        }
        m_pProcess->waitForFinished(50);
    }
    QFile port(portFile);
    if (port.open(QIODevice::ReadOnly))
        m_iPort = quint16(port.readAll().trimmed().toUInt());
    if (m_iPort == 0) {
        m_szLastError = QStringLiteral("unreadable port file");
        stop();
        return false;
    }
    return true;
}

void NginxServer::stop() {
    if (m_pProcess) {
        // The launcher script watches its standard input.
        TestFiles::endWatchingProcess(*m_pProcess, 8000);
        m_pProcess.reset();
    }
    m_iPort = 0;
}

bool NginxServer::isRunning() const {
    return m_pProcess && m_pProcess->state() == QProcess::Running && m_iPort != 0;
}

QString NginxServer::baseUrl() const {
    return m_iPort ? QStringLiteral("http://127.0.0.1:%1/").arg(m_iPort) : QString();
}

QString NginxServer::fileUrl(const QString &name) const {
    return baseUrl() + QString::fromLatin1(QUrl::toPercentEncoding(name, "/"));
}

QJsonArray NginxServer::requests() const {
    QJsonArray out;
    QFile log(m_szAccessLog);
    if (m_szAccessLog.isEmpty() || !log.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (!entry.isEmpty())
            out.append(entry);
    }
    return out;
}

bool NginxServer::waitForRequests(int count, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    while (requests().size() < count) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}
