#pragma once

#include "hashingthread.h"
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
//
// The bytes go into a side file beside the target (target + ".part"), renamed to the target
// once complete, so a cut-off package never lies under its own name. A transfer that is cut
// (connection lost, stopped at a time limit) keeps the side file with the address and the
// server's validators (target + ".part.json"); the next download of the same address into the
// same target asks only for the rest ("Range" with "If-Range") and appends it, and starts over
// when the server sends the whole file (no ranges, or the file changed) or cannot serve the range.
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
    // Ends a running transfer as a cut (its bytes kept for resuming when they can be) and
    // reports nothing more.
    void stop();

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
    // Whether what arrived was kept for the next download of the address to continue, and how
    // much further the kept bytes reach than those this downloader started from (0 or less
    // when it got nowhere, e.g. the server sent the file from its start again and stalled).
    bool partKept() const { return m_bPartKept; }
    qint64 advanced() const { return m_iAdvanced; }
    // Resuming at all (on by default): off gives the old behaviour, for the shift-start bench's
    // reference run.
    static void setResumeEnabled(bool enabled);
    static bool resumeEnabled();

signals:
    void sigProgress(qint64 bytesReceived, qint64 bytesTotal, double ratio);
    void sigDownloadFinished();

private slots:
    void httpReadyRead();
    void networkReplyProgress(qint64 bytesReceived, qint64 bytesTotal);
    void httpFinished();
    void httpHeaders();

private:
    // The most the reply holds before this thread has written it to the file.
    static constexpr qint64 kReadBufferBytes = 1024 * 1024;

    void noteWriteError();
    void fail(const QString &error);
    // Opens the side file: appended to when what it holds can be continued, else empty.
    bool openPart(const QUrl &url);
    // Starts again from byte 0 with a plain request (the server cannot serve the rest).
    void restartWhole();
    // After a cut: keeps the side file when the server named the version it holds.
    void settleCut();
    void removePart();
    // The attempt ended with these bytes on disk: what the next one resumes from.
    void closePart();

    QString m_szUrl;
    QString m_szSaveDir;
    QString m_szDefaultName = QStringLiteral("tmp");
    QUrl m_currentUrl;
    QNetworkAccessManager m_netManager;
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<QFile> m_file;
    std::unique_ptr<HashingThread> m_pDigest;
    QByteArray m_digestValue;
    bool m_bDigestDone = false;
    bool m_bFailed = false;
    bool m_bStarted = false;
    ServerTrust m_trust;
    QList<QSslError> m_tlsErrors; // what the handshake found, kept for errorText()
    QString m_szError;
    QString m_szTargetPath;
    QString m_szPartPath;
    qint64 m_iResumeFrom = 0;      // bytes of the side file the request asked the rest of
    qint64 m_iTotal = -1;          // whole size as the server named it, -1 when unknown
    qint64 m_iStartedAt = 0; // side file's size when this downloader began
    qint64 m_iAdvanced = 0;
    QByteArray m_validator;        // the ETag or Last-Modified the side file's bytes belong to
    bool m_bHeadersSeen = false;
    bool m_bRestarted = false;
    bool m_bPartKept = false;
    QString m_szWriteError; // first failed write into the target file
    QByteArray m_chunk;     // reused for every read from the reply
};
