#pragma once

// What every fuzz target shares: a headless application made once, a scratch station folder,
// and a loopback server that answers every request with the current input.

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace Fuzz {

// The programs trace a lot on the debug output; millions of lines would drown the findings.
inline void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type == QtFatalMsg) {
        fprintf(stderr, "qFatal: %s\n", qPrintable(message));
        abort();
    }
}

// One application for the whole run, on the offscreen platform (no display needed).
inline QApplication &application() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QApplication *app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler(quietMessages);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// A temporary folder that lives for the whole run.
inline QString scratchFolder() {
    static QTemporaryDir *dir = new QTemporaryDir;
    return dir->path();
}

inline bool writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QByteArray bytesOf(const uint8_t *data, size_t size) {
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// Answers every HTTP request with status 200 and m_body, then closes the connection. It is
// also the process's proxy: whatever address an answer names (a picture URL, say), the request
// ends here on loopback and never leaves the machine.
class AnswerServer : public QTcpServer {
public:
    AnswerServer() {
        listen(QHostAddress::LocalHost);
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), serverPort()));
    }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1/").arg(serverPort()); }
    QByteArray m_body;
    // Fixed answers for requests whose line holds the key (a login before the request fuzzed).
    QMap<QByteArray, QByteArray> m_fixed;

protected:
    void incomingConnection(qintptr handle) override {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(handle);
        auto received = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received] {
            *received += socket->readAll();
            const int headEnd = received->indexOf("\r\n\r\n");
            if (headEnd < 0)
                return;
            // Wait for the whole body: closing on a half-sent one would read as a transfer error.
            const QByteArray head = received->left(headEnd).toLower();
            const int at = head.indexOf("content-length:");
            if (at >= 0) {
                const int end = head.indexOf("\r\n", at);
                const int length = head.mid(at + 15, end < 0 ? -1 : end - at - 15).trimmed().toInt();
                if (received->size() < headEnd + 4 + length)
                    return;
            }
            disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
            const QByteArray line = received->left(received->indexOf("\r\n"));
            QByteArray body = m_body;
            for (auto it = m_fixed.constBegin(); it != m_fixed.constEnd(); ++it) {
                if (line.contains(it.key()))
                    body = it.value();
            }
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                          "Content-Length: " +
                          QByteArray::number(body.size()) + "\r\n\r\n" + body);
            socket->disconnectFromHost();
        });
    }
};

// serverConfig.ini pointing all three services at base.
inline QByteArray serverConfig(const QString &base) {
    return QStringLiteral("[ServerDomainName]\nDomainName=%1\n\n[ServerManagerName]\nDomainName=%1\n\n"
                          "[ServerPPCName]\nDomainName=%1\n")
        .arg(base)
        .toUtf8();
}

} // namespace Fuzz
