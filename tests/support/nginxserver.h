#pragma once

#include <QJsonArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// Serves a folder with Debian's nginx on a free loopback port for one test, through
// scripts/nginx-loopback.py: a real web server's byte ranges, If-Range, ETag and
// Last-Modified, as a factory's file server answers them, beside the stand-in server's
// made-up faults.
//
//     if (!NginxServer::isAvailable())
//         QSKIP("nginx is not installed");
//     NginxServer nginx;
//     QVERIFY2(nginx.start(folder), qPrintable(nginx.lastError()));
//     ... download nginx.fileUrl("pkg.zip") ...
//     const QJsonArray got = nginx.requests();     // {"status", "bytes", "range", "ifRange", ...}
//
// Windows builds (the tests under wine) have no nginx: isAvailable() is false there.
class NginxServer {
public:
    NginxServer();
    ~NginxServer(); // stops nginx
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // nginx and python3 are there and the tests run on Linux.
    static bool isAvailable();

    // Serves rootDir at "/" and waits (at most 20 s) until nginx accepts connections.
    // rateBytesPerSecond > 0 limits every connection to that rate (nginx's limit_rate).
    bool start(const QString &rootDir, qint64 rateBytesPerSecond = 0);
    void stop();
    bool isRunning() const;
    QString lastError() const { return m_szLastError; }

    quint16 port() const { return m_iPort; }
    QString baseUrl() const;                    // "http://127.0.0.1:PORT/"
    QString fileUrl(const QString &name) const; // baseUrl() + name, percent-encoded

    // The requests nginx has finished, oldest first, from its access log: objects with
    // "status" and "bytes" (body bytes sent, numbers), "request" (the request line), "range"
    // and "ifRange" (the headers, "" when absent), "msec", "requestTime", "connection". A
    // request appears once its answer has ended (sent whole, cut, or the client gone).
    QJsonArray requests() const;
    // Waits (processing events) until at least count requests have been logged.
    bool waitForRequests(int count, int timeoutMs = 5000) const;

private:
    std::unique_ptr<QTemporaryDir> m_pTempDir;
    std::unique_ptr<QProcess> m_pProcess;
    quint16 m_iPort = 0;
    QString m_szAccessLog;
    QString m_szLastError;
};
