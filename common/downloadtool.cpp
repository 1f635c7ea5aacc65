#include "downloadtool.h"

#include "applicationfolder.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>

DownloadTool::DownloadTool(const QString &url, const QString &saveDir, QObject *parent)
    : QObject(parent), m_szUrl(url), m_szSaveDir(saveDir) {
    // Redirect answers are reported as failures, never followed.
    m_netManager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

DownloadTool::~DownloadTool() {
    if (m_reply) {
        // Detach first: aborting emits finished(), which must not reach a half-destroyed object.
        disconnect(m_reply, nullptr, this, nullptr);
        m_reply->abort();
    }
    if (m_file) {
        m_file->close();
        m_file.reset();
    }
}

void DownloadTool::startDownload(QString fileName) {
    const QUrl url = QUrl::fromUserInput(m_szUrl);
    if (!url.isValid()) {
        m_szError = QStringLiteral("Invalid URL: %1: %2").arg(m_szUrl, url.errorString());
        qDebug().noquote() << m_szError;
        return;
    }

    QString name = fileName.isEmpty() ? url.fileName(QUrl::FullyDecoded) : fileName;
    // Names come from the server (product ids, URLs): Windows also takes "\\" as a separator,
    // so a name must never climb out of the folder with either.
    const int slash = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    if (slash >= 0)
        name = name.mid(slash + 1);
    if (name.isEmpty())
        name = m_szDefaultName;

    if (m_szSaveDir.isEmpty())
        m_szSaveDir = ApplicationFolder::path() + QStringLiteral("/tmp");
    if (!QFileInfo(m_szSaveDir).isDir())
        QDir().mkpath(m_szSaveDir);

    const QString path = m_szSaveDir + QLatin1Char('/') + name;
    if (QFile::exists(path))
        QFile::remove(path);

    std::unique_ptr<QFile> file(new QFile(path));
    if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        m_szError = QStringLiteral("Unable to save the file %1: %2")
                        .arg(QDir::toNativeSeparators(path), file->errorString());
        qDebug().noquote() << m_szError + QLatin1Char('.');
        return;
    }
    m_file = std::move(file);
    m_szTargetPath = path;
    startRequest(url);
}

void DownloadTool::startRequest(const QUrl &url) {
    m_currentUrl = url;
    QNetworkRequest request(url);
    m_trust.applyToDownload(request);
    m_reply = m_netManager.get(request);
    m_trust.answerHandshakeErrors(m_reply);
    // Without a bound the reply takes in the body as fast as the network delivers it, however
    // far this thread's writing lags behind: a large package would end up wholly in memory.
    m_reply->setReadBufferSize(kReadBufferBytes);
    m_bStarted = true;
    connect(m_reply, &QNetworkReply::finished, this, &DownloadTool::httpFinished);
    connect(m_reply, &QIODevice::readyRead, this, &DownloadTool::httpReadyRead);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &DownloadTool::networkReplyProgress);
    connect(m_reply, &QNetworkReply::sslErrors, this,
            [this](const QList<QSslError> &errors) { m_tlsErrors = errors; });
    qDebug().noquote() << QStringLiteral("Downloading %1...").arg(url.toString());
}

void DownloadTool::httpReadyRead() {
    if (!m_file || !m_reply)
        return;
    // After the first failed write (disk full) the file has a hole: stop writing, fail at the end.
    if (!m_szWriteError.isEmpty()) {
        m_reply->skip(m_reply->bytesAvailable());
        return;
    }
    if (m_chunk.size() != kReadBufferBytes)
        m_chunk.resize(kReadBufferBytes);
    qint64 got = 0;
    while ((got = m_reply->read(m_chunk.data(), m_chunk.size())) > 0) {
        if (m_file->write(m_chunk.constData(), got) != got) {
            noteWriteError();
            m_reply->skip(m_reply->bytesAvailable());
            return;
        }
        if (m_pDigest)
            m_pDigest->addData(m_chunk.constData(), got);
    }
}

void DownloadTool::setDigestWanted(bool wanted) {
    m_pDigest.reset(wanted ? new Platform::Sha256 : nullptr);
}

void DownloadTool::noteWriteError() {
    // A short write (file-size limit) leaves no error code behind: name the file in any case.
    m_szWriteError = QStringLiteral("Unable to write %1").arg(QDir::toNativeSeparators(m_file->fileName()));
    if (m_file->error() != QFileDevice::NoError)
        m_szWriteError += QStringLiteral(": ") + m_file->errorString();
}

void DownloadTool::fail(const QString &error) {
    qDebug().noquote() << QStringLiteral("Download failed: %1.").arg(error);
    m_szError = error;
    m_bFailed = true;
    emit sigDownloadFinished();
}

void DownloadTool::networkReplyProgress(qint64 bytesReceived, qint64 bytesTotal) {
    const double ratio = double(bytesReceived) / double(bytesTotal);
    emit sigProgress(bytesReceived, bytesTotal, ratio);
    qDebug().noquote() << QString::number(ratio * 100, 'f', 2) + QStringLiteral("%    ") +
                              QString::number(bytesReceived / 1048576) + QStringLiteral("MB") +
                              QLatin1Char('/') + QString::number(bytesTotal / 1048576) + QStringLiteral("MB");
}

void DownloadTool::httpFinished() {
    QFileInfo fileInfo;
    if (m_file) {
        httpReadyRead();
        if (m_szWriteError.isEmpty() && !m_file->flush())
            noteWriteError();
        fileInfo.setFile(m_file->fileName());
        m_file->close();
        m_file.reset();
    }

    // A connection closed before the announced length arrived is sometimes reported without
    // an error, and a server need not announce a length at all; a cut-off or partly written
    // package must never pass for a complete one.
    QString error;
    if (m_reply->error() == QNetworkReply::SslHandshakeFailedError) {
        error = ServerTrust::withTlsErrors(m_reply->errorString(), m_tlsErrors);
    } else if (m_reply->error() != QNetworkReply::NoError) {
        error = m_reply->errorString();
    } else if (!m_szWriteError.isEmpty()) {
        error = m_szWriteError;
    } else {
        const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
        fileInfo.refresh();
        if (announced.isValid() && !fileInfo.filePath().isEmpty() &&
            fileInfo.size() != announced.toLongLong())
            error =
                QStringLiteral("received %1 of %2 bytes").arg(fileInfo.size()).arg(announced.toLongLong());
    }

    if (!error.isEmpty()) {
        QFile::remove(fileInfo.absoluteFilePath());
        fail(error);
        return;
    }

    const QVariant redirect = m_reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
    if (redirect.isValid()) {
        fail(QStringLiteral("redirected to %1, not followed").arg(redirect.toUrl().toString()));
        return;
    }

    m_bFailed = false;
    if (m_pDigest) {
        m_digestValue = m_pDigest->result();
        m_bDigestDone = true;
    }
    emit sigDownloadFinished();
    fileInfo.refresh();
    qDebug().noquote() << QStringLiteral("Downloaded %1 bytes to %2 in %3")
                              .arg(fileInfo.size())
                              .arg(fileInfo.fileName(), QDir::toNativeSeparators(fileInfo.absolutePath()));
    qDebug() << "Finished";
}
