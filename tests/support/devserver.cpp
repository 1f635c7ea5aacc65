#include "devserver.h"
#include "testfiles.h"
#include "testpaths.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QUrl>

namespace {
const int kStartLimitMs = 20000;
const int kControlLimitMs = 10000;
} // namespace

DevServer::DevServer() = default;

DevServer::~DevServer() {
    stop();
}

bool DevServer::start(const QString &dataFile, const QStringList &extraArgs) {
    stop();
    m_szLastError.clear();
    m_pTempDir = std::make_unique<QTemporaryDir>();
    if (!m_pTempDir->isValid()) {
        m_szLastError = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    m_szFilesDir = m_pTempDir->filePath(QStringLiteral("files"));
    QDir().mkpath(m_szFilesDir);

    const QString script = TestPaths::sourceDir() + QStringLiteral("/devserver/devserver.py");
    const QString python = TestPaths::python();
    if (python.isEmpty()) {
        m_szLastError = QStringLiteral("python3 not found");
        return false;
    }
    // The ports come on standard output and in a ready file: under wine, the output of a
    // host program never reaches the Windows side.
    const QString readyFile = m_pTempDir->filePath(QStringLiteral("ready.json"));
    // -B: never write bytecode caches into the source tree.
    QStringList args{QStringLiteral("-B"),           TestPaths::hostPath(script),
                     QStringLiteral("--port"),       QStringLiteral("0"),
                     QStringLiteral("--https-port"), QStringLiteral("0"),
                     QStringLiteral("--ready-file"), TestPaths::hostPath(readyFile),
                     QStringLiteral("--files"),      TestPaths::hostPath(m_szFilesDir)};
    // A host program started under wine sees its input closed at once; there the quit request
    // and the wine runner's clean-up end the server instead.
    if (!TestPaths::runsUnderWine())
        args << QStringLiteral("--watch-stdin");
    if (!dataFile.isEmpty())
        args << QStringLiteral("--data") << TestPaths::hostPath(dataFile);
    args << extraArgs;

    m_pProcess = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
    env.insert(QStringLiteral("PYTHONIOENCODING"), QStringLiteral("utf-8"));
    m_pProcess->setProcessEnvironment(env);
    m_pProcess->setWorkingDirectory(m_pTempDir->path());
    m_pProcess->setProgram(python);
    m_pProcess->setArguments(args);
    // Under wine a host program's handle never signals its end, so waiting on it would stall
    // every stop: there the server runs detached and is ended by its quit request.
    m_bDetached = TestPaths::runsUnderWine();
    if (m_bDetached) {
        if (!m_pProcess->startDetached()) {
            m_szLastError = QStringLiteral("cannot start python3: ") + m_pProcess->errorString();
            m_pProcess.reset();
            return false;
        }
    } else {
        // Server tracebacks belong in the test's output.
        m_pProcess->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_pProcess->start();
        if (!m_pProcess->waitForStarted(kStartLimitMs)) {
            m_szLastError = QStringLiteral("cannot start python3: ") + m_pProcess->errorString();
            m_pProcess.reset();
            return false;
        }
    }

    QDeadlineTimer deadline(kStartLimitMs);
    QByteArray line;
    while (true) {
        if (!m_bDetached && m_pProcess->canReadLine()) {
            line = m_pProcess->readLine();
            break;
        }
        QFile ready(readyFile);
        if (ready.open(QIODevice::ReadOnly)) {
            line = ready.readAll();
            break;
        }
        const bool exited = !m_bDetached && m_pProcess->state() != QProcess::Running;
        if (exited || deadline.hasExpired()) {
            m_szLastError = exited
                                ? QStringLiteral("the server exited with code %1").arg(m_pProcess->exitCode())
                                : QStringLiteral("the server did not get ready in time");
            stop();
            return false;
        }
        if (m_bDetached)
            QThread::msleep(50);
        else
            m_pProcess->waitForReadyRead(int(qMax<qint64>(1, qMin<qint64>(deadline.remainingTime(), 100))));
    }
    const QJsonObject ready = QJsonDocument::fromJson(line).object();
    m_iHttpPort = quint16(ready.value(QStringLiteral("http")).toInt());
    m_iHttpsPort = quint16(ready.value(QStringLiteral("https")).toInt());
    if (m_iHttpPort == 0) {
        m_szLastError = QStringLiteral("unexpected ready line: ") + QString::fromUtf8(line);
        stop();
        return false;
    }
    return true;
}

bool DevServer::startWithData(const QJsonObject &data, const QStringList &extraArgs) {
    // The data file must outlive start(), which replaces m_pTempDir, so it goes into its own folder.
    static QTemporaryDir dataDir;
    static int counter = 0;
    const QString file = dataDir.filePath(QStringLiteral("data-%1.json").arg(++counter));
    QFile f(file);
    if (!dataDir.isValid() || !f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_szLastError = QStringLiteral("cannot write the data file");
        return false;
    }
    f.write(QJsonDocument(data).toJson());
    f.close();
    return start(file, extraArgs);
}

void DevServer::stop() {
    if (m_pProcess) {
        if (m_bDetached) {
            if (m_iHttpPort)
                controlOk("POST", QStringLiteral("quit"));
        } else {
            TestFiles::endWatchingProcess(*m_pProcess, 3000); // the server watches its standard input
        }
        m_pProcess.reset();
    }
    m_iHttpPort = 0;
    m_iHttpsPort = 0;
}

bool DevServer::isRunning() const {
    if (m_bDetached)
        return m_pProcess && m_iHttpPort != 0;
    return m_pProcess && m_pProcess->state() == QProcess::Running;
}

QString DevServer::httpBase() const {
    return m_iHttpPort ? QStringLiteral("http://127.0.0.1:%1/").arg(m_iHttpPort) : QString();
}

QString DevServer::httpsBase() const {
    return m_iHttpsPort ? QStringLiteral("https://127.0.0.1:%1/").arg(m_iHttpsPort) : QString();
}

QString DevServer::filesDir() const {
    return m_szFilesDir;
}

QString DevServer::fileUrl(const QString &name, bool https) const {
    return (https ? httpsBase() : httpBase()) + QStringLiteral("files/") +
           QString::fromLatin1(QUrl::toPercentEncoding(name, "/"));
}

QByteArray DevServer::control(const QByteArray &method, const QString &path, const QByteArray &body) const {
    if (!isRunning()) {
        m_szLastError = QStringLiteral("the server is not running");
        return QByteArray();
    }
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_iHttpPort);
    if (!socket.waitForConnected(kControlLimitMs)) {
        m_szLastError = QStringLiteral("control connection failed: ") + socket.errorString();
        return QByteArray();
    }
    QByteArray request = method + " /__control/" + path.toUtf8() + " HTTP/1.1\r\n";
    request += "Host: 127.0.0.1:" + QByteArray::number(m_iHttpPort) + "\r\n";
    request += "Connection: close\r\nContent-Type: application/json\r\n";
    request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    socket.write(request);

    QDeadlineTimer deadline(kControlLimitMs);
    QByteArray answer;
    int headerEnd = -1;
    qint64 expected = -1;
    while (true) {
        answer += socket.readAll();
        if (headerEnd < 0 && (headerEnd = answer.indexOf("\r\n\r\n")) >= 0) {
            for (const QByteArray &h : answer.left(headerEnd).split('\n')) {
                if (h.toLower().startsWith("content-length:"))
                    expected = h.mid(15).trimmed().toLongLong();
            }
        }
        if (headerEnd >= 0 && expected >= 0 && answer.size() - headerEnd - 4 >= expected)
            break;
        if (socket.state() != QAbstractSocket::ConnectedState || deadline.hasExpired())
            break;
        socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    if (headerEnd < 0 || !answer.startsWith("HTTP/1.") || answer.mid(9, 3) != "200") {
        m_szLastError =
            QStringLiteral("control %1 failed: %2").arg(path, QString::fromUtf8(answer.left(300)));
        return QByteArray();
    }
    QByteArray payload = answer.mid(headerEnd + 4);
    if (expected >= 0)
        payload.truncate(int(expected));
    return payload.isNull() ? QByteArray("") : payload;
}

bool DevServer::controlOk(const QByteArray &method, const QString &path, const QByteArray &body) const {
    const QByteArray answer = control(method, path, body);
    if (answer.isNull())
        return false;
    if (!QJsonDocument::fromJson(answer).object().value(QStringLiteral("ok")).toBool()) {
        m_szLastError =
            QStringLiteral("control %1 refused: %2").arg(path, QString::fromUtf8(answer.left(300)));
        return false;
    }
    return true;
}

bool DevServer::setBehaviour(const QString &path, const QJsonObject &behaviour) {
    QJsonObject payload{{QStringLiteral("path"), path}};
    payload.insert(QStringLiteral("behaviour"), behaviour.isEmpty() ? QJsonValue() : QJsonValue(behaviour));
    return controlOk("POST", QStringLiteral("behaviour"),
                     QJsonDocument(payload).toJson(QJsonDocument::Compact));
}

bool DevServer::release(const QString &path) {
    QJsonObject payload;
    if (!path.isEmpty())
        payload.insert(QStringLiteral("path"), path);
    return controlOk("POST", QStringLiteral("release"),
                     QJsonDocument(payload).toJson(QJsonDocument::Compact));
}

bool DevServer::reset() {
    return controlOk("POST", QStringLiteral("reset"));
}

bool DevServer::setData(const QJsonObject &data) {
    return controlOk("POST", QStringLiteral("data"), QJsonDocument(data).toJson(QJsonDocument::Compact));
}

QJsonObject DevServer::data() const {
    return QJsonDocument::fromJson(control("GET", QStringLiteral("data"))).object();
}

int DevServer::offerCount(const QString &proToolId) const {
    const QByteArray answer = control("GET", QStringLiteral("offers"));
    if (answer.isNull())
        return -1;
    return QJsonDocument::fromJson(answer).object().value(proToolId).toInt();
}

QJsonArray DevServer::requests(const QString &path) const {
    QString what = QStringLiteral("requests");
    if (!path.isEmpty())
        what += QStringLiteral("?path=") + QString::fromLatin1(QUrl::toPercentEncoding(path));
    return QJsonDocument::fromJson(control("GET", what)).array();
}

bool DevServer::clearRequests() {
    return controlOk("POST", QStringLiteral("requests/clear"));
}

bool DevServer::waitForRequests(const QString &path, int count, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    while (requests(path).size() < count) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(25);
    }
    return true;
}

QString DevServer::fieldValue(const QJsonObject &request, const QString &name) {
    for (const QJsonValue &f : request.value(QStringLiteral("fields")).toArray()) {
        if (f.toObject().value(QStringLiteral("name")).toString() == name)
            return f.toObject().value(QStringLiteral("value")).toString();
    }
    return QString();
}

QStringList DevServer::fieldNames(const QJsonObject &request) {
    QStringList names;
    for (const QJsonValue &f : request.value(QStringLiteral("fields")).toArray())
        names << f.toObject().value(QStringLiteral("name")).toString();
    return names;
}

QString DevServer::queryValue(const QJsonObject &request, const QString &name) {
    for (const QJsonValue &f : request.value(QStringLiteral("queryFields")).toArray()) {
        if (f.toObject().value(QStringLiteral("name")).toString() == name)
            return f.toObject().value(QStringLiteral("value")).toString();
    }
    return QString();
}

QJsonObject DevServer::demoData() {
    QFile f(TestPaths::sourceDir() + QStringLiteral("/devserver/demo-data.json"));
    if (!f.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(f.readAll()).object();
}

bool DevServer::writeServerConfig(const QString &folder, const QString &configBase,
                                  const QString &ownershipBase, const QString &productionBase) {
    QFile f(QDir(folder).filePath(QStringLiteral("serverConfig.ini")));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    const QString owner = ownershipBase.isEmpty() ? configBase : ownershipBase;
    const QString production = productionBase.isEmpty() ? configBase : productionBase;
    const QString text = QStringLiteral("[ServerDomainName]\nDomainName=%1\n\n"
                                        "[ServerManagerName]\nDomainName=%2\n\n"
                                        "[ServerPPCName]\nDomainName=%3\n")
                             .arg(configBase, owner, production);
    return f.write(text.toUtf8()) > 0;
}

quint16 DevServer::closedPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 9;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
