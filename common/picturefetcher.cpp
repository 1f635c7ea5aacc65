#include "picturefetcher.h"

#include "servertrust.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

namespace {

bool isReservedDeviceName(const QString &name) {
    static const QStringList fixed = {QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                      QStringLiteral("NUL")};
    if (fixed.contains(name, Qt::CaseInsensitive))
        return true;
    return name.size() == 4 && name.at(3).isDigit() &&
           (name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) ||
            name.startsWith(QLatin1String("LPT"), Qt::CaseInsensitive));
}

QString encodeChar(QChar c) {
    return QStringLiteral("_%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
}

// Servers hand out pictures as PNG, JPEG, GIF, BMP or WebP; an error page answered with status
// 200 must not replace a good picture.
bool looksLikePicture(const QByteArray &head) {
    return head.startsWith("\x89PNG\r\n\x1a\n") || head.startsWith("\xFF\xD8\xFF") ||
           head.startsWith("GIF87a") || head.startsWith("GIF89a") || head.startsWith("BM") ||
           (head.startsWith("RIFF") && head.mid(8, 4) == "WEBP");
}

} // namespace

PictureFetcher::PictureFetcher(const QString &folder, QObject *parent) : QObject(parent), m_szFolder(folder) {
    // Redirects are not followed, like every other download of the launcher.
    m_netManager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

PictureFetcher::~PictureFetcher() {
    cancelAll();
}

QString PictureFetcher::fileNameFor(const QString &id) {
    if (id.isEmpty())
        return QString();
    QString name;
    for (const QChar c : id) {
        const ushort u = c.unicode();
        const bool keep = (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-';
        name += keep ? QString(c) : encodeChar(c);
    }
    if (isReservedDeviceName(name))
        name = encodeChar(name.at(0)) + name.mid(1);
    // Keeps the name well below every file system's limit; "_long_" is never produced above.
    if (name.size() > 120)
        name = QStringLiteral("_long_") +
               QString::fromLatin1(QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha1).toHex());
    return name + QStringLiteral(".png");
}

bool PictureFetcher::isFetchableUrl(const QString &url) {
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    return parsed.isValid() && !parsed.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

QString PictureFetcher::pathFor(const QString &id) const {
    const QString name = fileNameFor(id);
    return name.isEmpty() ? QString() : m_szFolder + QLatin1Char('/') + name;
}

void PictureFetcher::setLimits(int timeLimitMs, qint64 sizeLimit) {
    m_iTimeLimitMs = timeLimitMs;
    m_iSizeLimit = sizeLimit;
}

bool PictureFetcher::fetch(const QString &id, const QString &url) {
    const QString path = pathFor(id);
    if (path.isEmpty() || !isFetchableUrl(url))
        return false;
    QNetworkRequest request{QUrl(url)};
    ServerTrust trust;
    if (request.url().scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0) {
        trust = ServerTrust::fromServerConfig(ServerTrust::stationConfigPath());
        if (trust.isBroken()) {
            qDebug().noquote() << trust.problem();
            return false;
        }
        trust.applyToDownload(request);
    }
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->id == id) {
            drop(it.key());
            break;
        }
    }
    QDir().mkpath(m_szFolder);

    auto *file = new QSaveFile(path);
    if (!file->open(QIODevice::WriteOnly)) {
        qDebug().noquote() << QStringLiteral("Unable to save the file %1: %2.")
                                  .arg(QDir::toNativeSeparators(path), file->errorString());
        delete file;
        return false;
    }

    QNetworkReply *reply = m_netManager.get(request);
    trust.answerHandshakeErrors(reply);
    Fetch pending;
    pending.id = id;
    pending.file = file;
    m_pending.insert(reply, pending);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
    // The whole transfer is bounded, not only its silent stretches: a trickling server ends too.
    auto *limit = new QTimer(reply);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, reply, &QNetworkReply::abort);
    limit->start(m_iTimeLimitMs);
    return true;
}

void PictureFetcher::cancelAll() {
    const QList<QNetworkReply *> replies = m_pending.keys();
    for (QNetworkReply *reply : replies)
        drop(reply);
}

void PictureFetcher::drop(QNetworkReply *reply) {
    const Fetch fetch = m_pending.take(reply);
    // Aborting emits finished(), which must find nothing to report.
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    if (fetch.file) {
        fetch.file->cancelWriting();
        delete fetch.file;
    }
}

void PictureFetcher::onReadyRead(QNetworkReply *reply) {
    auto it = m_pending.find(reply);
    if (it == m_pending.end() || it->tooLarge)
        return;
    const QByteArray chunk = reply->readAll();
    it->received += chunk.size();
    if (it->received > m_iSizeLimit) {
        it->tooLarge = true;
        if (!reply->isFinished())
            reply->abort();
        return;
    }
    if (it->head.size() < 16)
        it->head += chunk.left(16 - it->head.size());
    it->file->write(chunk);
}

void PictureFetcher::onFinished(QNetworkReply *reply) {
    if (!m_pending.contains(reply))
        return;
    onReadyRead(reply);
    if (!m_pending.contains(reply))
        return;
    Fetch fetch = m_pending.take(reply);
    reply->deleteLater();

    QString error;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (fetch.tooLarge)
        error = QStringLiteral("larger than %1 bytes").arg(m_iSizeLimit);
    else if (reply->error() != QNetworkReply::NoError)
        error = reply->errorString();
    else if (status != 200)
        error = QStringLiteral("status %1").arg(status);
    else if (announced.isValid() && announced.toLongLong() != fetch.received)
        error = QStringLiteral("received %1 of %2 bytes").arg(fetch.received).arg(announced.toLongLong());
    else if (!looksLikePicture(fetch.head))
        error = QStringLiteral("not a picture");

    bool ok = false;
    if (error.isEmpty() && !fetch.file->flush())
        error = fetch.file->errorString();
    if (error.isEmpty()) {
        ok = fetch.file->commit();
        if (!ok)
            error = fetch.file->errorString();
    } else {
        fetch.file->cancelWriting();
    }
    delete fetch.file;

    if (!ok) {
        qDebug().noquote() << QStringLiteral("Picture of %1 not fetched: %2.").arg(fetch.id, error);
        emit sigPictureFailed(fetch.id);
        return;
    }
    emit sigPictureFetched(fetch.id, pathFor(fetch.id));
}
