#pragma once

#include "platform.h"
#include "servertrust.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

class QFile;
class QNetworkReply;

// Streams one URL into one file. Used once: construct, startDownload, then exactly one
// sigDownloadFinished() unless the preparation failed (see hasStarted()).
class DownloadTool : public QObject {
    Q_OBJECT
public:
    DownloadTool(const QString &url, const QString &saveDir, QObject *parent = nullptr);
    // Closes the target file (what was written stays on disk) and ends a running transfer.
    ~DownloadTool() override;

    // Target: saveDir (or the program's folder + "/tmp") + "/" + the last segment of fileName,
    // else of the URL's path, else "tmp" ("/" and "\\" both end a segment). An existing file
    // there is removed first.
    void startDownload(QString fileName);
    // The station's CA setting for an https address (see ServerTrust::applyToDownload); set
    // before startDownload.
    void setServerTrust(const ServerTrust &trust) { m_trust = trust; }
    void startRequest(const QUrl &url);

    // True once the request has been sent; false when startDownload stopped early (invalid
    // URL, target not writable), in which case no signal will follow.
    bool hasStarted() const { return m_bStarted; }
    // Outcome of a finished transfer: false on success, true on any failure.
    bool isFailed() const { return m_bFailed; }
    // The file being written, once startDownload has opened it.
    QString targetPath() const { return m_szTargetPath; }
    // Asks, before startDownload, for the SHA-256 of every byte written into the file, taken as
    // they arrive (no second read of the package for its signature).
    void setDigestWanted(bool wanted);
    // That digest; empty unless it was asked for and the transfer succeeded.
    QByteArray digest() const { return m_bFailed || !m_bDigestDone ? QByteArray() : m_digestValue; }
    // Why the download failed or could not start (a refused handshake with its TLS errors);
    // empty while it runs and after success.
    QString errorText() const { return m_szError; }

signals:
    void sigProgress(qint64 bytesReceived, qint64 bytesTotal, double ratio);
    void sigDownloadFinished();

private slots:
    void httpReadyRead();
    void networkReplyProgress(qint64 bytesReceived, qint64 bytesTotal);
    void httpFinished();

private:
    // The most the reply holds before this thread has written it to the file.
    static constexpr qint64 kReadBufferBytes = 1024 * 1024;

    void noteWriteError();
    void fail(const QString &error);

    QString m_szUrl;
    QString m_szSaveDir;
    QString m_szDefaultName = QStringLiteral("tmp");
    QUrl m_currentUrl;
    QNetworkAccessManager m_netManager;
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<QFile> m_file;
    std::unique_ptr<Platform::Sha256> m_pDigest;
    QByteArray m_digestValue;
    bool m_bDigestDone = false;
    bool m_bFailed = false;
    bool m_bStarted = false;
    ServerTrust m_trust;
    QList<QSslError> m_tlsErrors; // what the handshake found, kept for errorText()
    QString m_szError;
    QString m_szTargetPath;
    QString m_szWriteError; // first failed write into the target file
    QByteArray m_chunk;     // reused for every read from the reply
};
