#include "downloadtool.h"

#include "applicationfolder.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

namespace {

bool s_bResumeEnabled = true;

// Side files of packages nobody asked for again in this long are removed: disk use stays bounded.
const qint64 kStalePartSeconds = 3 * 24 * 3600;

QString metaPathOf(const QString &partPath) {
    return partPath + QStringLiteral(".json");
}

// The validator a resumed request names in "If-Range": a strong ETag, else Last-Modified.
QByteArray validatorOf(const QNetworkReply *reply) {
    const QByteArray etag = reply->rawHeader("ETag").trimmed();
    if (!etag.isEmpty() && !etag.startsWith("W/"))
        return etag;
    return reply->rawHeader("Last-Modified").trimmed();
}

void removeStaleParts(const QString &folder) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QFileInfo &part : QDir(folder).entryInfoList({QStringLiteral("*.part")}, QDir::Files)) {
        if (part.lastModified().toUTC().secsTo(now) > kStalePartSeconds) {
            QFile::remove(part.filePath());
            QFile::remove(metaPathOf(part.filePath()));
        }
    }
}

} // namespace

void DownloadTool::setResumeEnabled(bool enabled) {
    s_bResumeEnabled = enabled;
}

bool DownloadTool::resumeEnabled() {
    return s_bResumeEnabled;
}

DownloadTool::DownloadTool(const QString &url, const QString &saveDir, QObject *parent)
    : QObject(parent), m_szUrl(url), m_szSaveDir(saveDir) {
    // Redirect answers are reported as failures, never followed.
    m_netManager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

DownloadTool::~DownloadTool() {
    stop();
}

void DownloadTool::stop() {
    if (m_reply) {
        // Detach first: aborting emits finished(), which must not reach a half-destroyed object.
        disconnect(m_reply, nullptr, this, nullptr);
        if (m_reply->isRunning()) {
            m_reply->abort();
            if (m_file)
                settleCut();
        }
    }
    closePart();
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
    if (QFileInfo(path).isDir()) {
        m_szError = QStringLiteral("Unable to save the file %1: a folder of that name is in the way")
                        .arg(QDir::toNativeSeparators(path));
        qDebug().noquote() << m_szError + QLatin1Char('.');
        return;
    }
    if (QFile::exists(path))
        QFile::remove(path);
    m_szTargetPath = path;
    m_szPartPath = path + QStringLiteral(".part");
    removeStaleParts(m_szSaveDir);
    if (!openPart(url))
        return;
    startRequest(url);
}

bool DownloadTool::openPart(const QUrl &url) {
    // What an earlier download of this very address left, and which version of the file it is.
    QByteArray validator;
    qint64 have = 0;
    if (s_bResumeEnabled && QFileInfo(m_szPartPath).isFile()) {
        QFile metaFile(metaPathOf(m_szPartPath));
        const QJsonObject meta = metaFile.open(QIODevice::ReadOnly)
                                     ? QJsonDocument::fromJson(metaFile.read(64 * 1024)).object()
                                     : QJsonObject();
        if (meta.value(QStringLiteral("url")).toString() == url.toString())
            validator = meta.value(QStringLiteral("validator")).toString().toLatin1();
        if (!validator.isEmpty())
            have = QFileInfo(m_szPartPath).size();
    }
    auto file = std::make_unique<QFile>(m_szPartPath);
    const bool resume = have > 0 && file->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    if (resume) {
        // The digest covers the whole file, resumed or not: the bytes already there first.
        if (m_pDigest) {
            qint64 n;
            while ((n = file->read(m_pDigest->block(), m_pDigest->blockBytes())) > 0)
                m_pDigest->add(n);
        }
        file->seek(have);
        m_iResumeFrom = have;
        m_iStartedAt = have;
        m_validator = validator;
    } else {
        file->close();
        QFile::remove(metaPathOf(m_szPartPath));
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            m_szError = QStringLiteral("Unable to save the file %1: %2")
                            .arg(QDir::toNativeSeparators(m_szTargetPath), file->errorString());
            qDebug().noquote() << m_szError + QLatin1Char('.');
            return false;
        }
        m_iResumeFrom = 0;
        m_validator.clear();
    }
    m_file = std::move(file);
    return true;
}

void DownloadTool::startRequest(const QUrl &url) {
    m_currentUrl = url;
    QNetworkRequest request(url);
    if (m_iResumeFrom > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_iResumeFrom) + '-');
        // A file changed on the server since is sent whole instead of a wrong rest.
        request.setRawHeader("If-Range", m_validator);
    }
    m_trust.applyToDownload(request);
    m_bHeadersSeen = false;
    m_reply = m_netManager.get(request);
    m_trust.answerHandshakeErrors(m_reply);
    // Without a bound the reply takes in the body as fast as the network delivers it, however
    // far this thread's writing lags behind: a large package would end up wholly in memory.
    m_reply->setReadBufferSize(kReadBufferBytes);
    m_bStarted = true;
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &DownloadTool::httpHeaders);
    connect(m_reply, &QNetworkReply::finished, this, &DownloadTool::httpFinished);
    connect(m_reply, &QIODevice::readyRead, this, &DownloadTool::httpReadyRead);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &DownloadTool::networkReplyProgress);
    connect(m_reply, &QNetworkReply::sslErrors, this,
            [this](const QList<QSslError> &errors) { m_tlsErrors = errors; });
    if (m_iResumeFrom > 0)
        qDebug().noquote() << QStringLiteral("Downloading %1 from byte %2...").arg(url.toString()).arg(m_iResumeFrom);
    else
        qDebug().noquote() << QStringLiteral("Downloading %1...").arg(url.toString());
}

void DownloadTool::httpHeaders() {
    if (m_bHeadersSeen || !m_reply)
        return;
    m_bHeadersSeen = true;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_iResumeFrom > 0) {
        // "bytes first-last/total": the rest must start exactly where the side file ends.
        static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+|\\*)$"));
        const QRegularExpressionMatch match =
            range.match(QString::fromLatin1(m_reply->rawHeader("Content-Range").trimmed()));
        if (status == 206 && match.hasMatch() && match.captured(1).toLongLong() == m_iResumeFrom) {
            m_iTotal = match.captured(3) == QLatin1String("*") ? -1 : match.captured(3).toLongLong();
        } else if (status == 200) {
            // The whole file again (no ranges, or it changed): it replaces what was there.
            qDebug().noquote() << QStringLiteral("Download starts over: the server sent the whole file");
            m_file->resize(0);
            m_file->seek(0);
            if (m_pDigest)
                m_pDigest->result();
            m_iResumeFrom = 0;
        } else if ((status == 416 || status == 206) && !m_bRestarted) {
            // 416 or a range that does not fit: ask for the whole file once.
            restartWhole();
            return;
        }
    }
    if (status == 200 || status == 206) {
        m_validator = validatorOf(m_reply);
        QFile metaFile(metaPathOf(m_szPartPath));
        if (m_validator.isEmpty() || !s_bResumeEnabled) {
            metaFile.remove();
        } else if (metaFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            metaFile.write(QJsonDocument(QJsonObject{{QStringLiteral("url"), m_currentUrl.toString()},
                                                     {QStringLiteral("validator"),
                                                      QString::fromLatin1(m_validator)}})
                               .toJson(QJsonDocument::Compact));
        }
    }
}

void DownloadTool::restartWhole() {
    qDebug().noquote() << QStringLiteral("Download starts over: the rest from byte %1 cannot be served")
                              .arg(m_iResumeFrom);
    m_bRestarted = true;
    disconnect(m_reply, nullptr, this, nullptr);
    m_reply->abort();
    m_reply->deleteLater();
    m_file->resize(0);
    m_file->seek(0);
    if (m_pDigest)
        m_pDigest->result();
    m_iResumeFrom = 0;
    m_iTotal = -1;
    QFile::remove(metaPathOf(m_szPartPath));
    startRequest(m_currentUrl);
}

void DownloadTool::httpReadyRead() {
    if (!m_file || !m_reply)
        return;
    if (!m_bHeadersSeen) {
        const QNetworkReply *asked = m_reply;
        httpHeaders();
        if (m_reply != asked)
            return; // asked for the whole file anew
    }
    // After the first failed write (disk full) the file has a hole: stop writing, fail at the end.
    if (!m_szWriteError.isEmpty()) {
        m_reply->skip(m_reply->bytesAvailable());
        return;
    }
    if (!m_pDigest && m_chunk.size() != kReadBufferBytes)
        m_chunk.resize(kReadBufferBytes);
    for (;;) {
        // With a digest, the bytes are read straight into the block that is hashed next.
        char *buffer = m_pDigest ? m_pDigest->block() : m_chunk.data();
        const qint64 got = m_reply->read(buffer, kReadBufferBytes);
        if (got <= 0)
            break;
        if (m_file->write(buffer, got) != got) {
            noteWriteError();
            m_reply->skip(m_reply->bytesAvailable());
            return;
        }
        if (m_pDigest)
            m_pDigest->add(got);
    }
}

void DownloadTool::setDigestWanted(bool wanted) {
    m_pDigest.reset(wanted ? new HashingThread(int(kReadBufferBytes)) : nullptr);
}

void DownloadTool::noteWriteError() {
    // A short write (file-size limit) leaves no error code behind: name the file in any case.
    m_szWriteError = QStringLiteral("Unable to write %1").arg(QDir::toNativeSeparators(m_szTargetPath));
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
    // A resumed transfer counts from the start of the file, so a bar continues where it stood.
    if (m_iResumeFrom > 0) {
        bytesReceived += m_iResumeFrom;
        bytesTotal = m_iTotal > 0 ? m_iTotal : (bytesTotal >= 0 ? bytesTotal + m_iResumeFrom : bytesTotal);
    }
    const double ratio = double(bytesReceived) / double(bytesTotal);
    emit sigProgress(bytesReceived, bytesTotal, ratio);
    qDebug().noquote() << QString::number(ratio * 100, 'f', 2) + QStringLiteral("%    ") +
                              QString::number(bytesReceived / 1048576) + QStringLiteral("MB") +
                              QLatin1Char('/') + QString::number(bytesTotal / 1048576) + QStringLiteral("MB");
}

void DownloadTool::closePart() {
    if (!m_file)
        return;
    m_file->close();
    m_file.reset();
}

void DownloadTool::removePart() {
    closePart();
    QFile::remove(m_szPartPath);
    QFile::remove(metaPathOf(m_szPartPath));
}

void DownloadTool::settleCut() {
    const bool keep = s_bResumeEnabled && !m_validator.isEmpty() && m_szWriteError.isEmpty() &&
                      QFileInfo::exists(metaPathOf(m_szPartPath));
    if (keep) {
        closePart();
        const qint64 size = QFileInfo(m_szPartPath).size();
        m_bPartKept = size > 0;
        m_iAdvanced = size - m_iStartedAt;
    } else {
        removePart();
    }
}

void DownloadTool::httpFinished() {
    if (m_file) {
        const QNetworkReply *asked = m_reply;
        httpReadyRead();
        if (m_reply != asked)
            return;
        if (m_szWriteError.isEmpty() && !m_file->flush())
            noteWriteError();
    }
    const qint64 onDisk = m_file ? m_file->size() : QFileInfo(m_szPartPath).size();
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    // A connection closed before the announced length arrived is sometimes reported without
    // an error, and a server need not announce a length at all; a cut-off or partly written
    // package must never pass for a complete one.
    QString error;
    bool cut = false; // the transfer broke off: what arrived may be continued
    if (m_reply->error() == QNetworkReply::SslHandshakeFailedError) {
        error = ServerTrust::withTlsErrors(m_reply->errorString(), m_tlsErrors);
    } else if (m_reply->error() != QNetworkReply::NoError) {
        error = m_reply->errorString();
        // A broken connection or a server error passes; a missing file or a refusal does not.
        const int code = int(m_reply->error());
        cut = code < QNetworkReply::ProxyConnectionRefusedError ||
              (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError) ||
              status >= 500;
    } else if (!m_szWriteError.isEmpty()) {
        error = m_szWriteError;
    } else {
        const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
        const qint64 expected =
            m_iTotal > 0 ? m_iTotal : (announced.isValid() ? announced.toLongLong() + m_iResumeFrom : -1);
        if (expected >= 0 && onDisk != expected) {
            error = QStringLiteral("received %1 of %2 bytes").arg(onDisk).arg(expected);
            cut = onDisk < expected;
        }
    }

    if (!error.isEmpty()) {
        if (cut)
            settleCut();
        else
            removePart();
        fail(error);
        return;
    }

    closePart();
    QFile::remove(metaPathOf(m_szPartPath));
    QFile::remove(m_szTargetPath);
    if (!QFile::rename(m_szPartPath, m_szTargetPath)) {
        QFile::remove(m_szPartPath);
        fail(QStringLiteral("Unable to save the file %1").arg(QDir::toNativeSeparators(m_szTargetPath)));
        return;
    }

    // The redirect's own body stays under the target's name, as a failed download's did.
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
    const QFileInfo fileInfo(m_szTargetPath);
    qDebug().noquote() << QStringLiteral("Downloaded %1 bytes to %2 in %3")
                              .arg(fileInfo.size())
                              .arg(fileInfo.fileName(), QDir::toNativeSeparators(fileInfo.absolutePath()));
    qDebug() << "Finished";
}
