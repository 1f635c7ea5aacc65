#include "common.h"

#include "downloadtool.h"
#include "installservice.h"
#include "logrecorder.h"
#include "packageguard.h"
#include "platform.h"
#include "secretmask.h"
#include "servertrust.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>
#include <QUrl>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

namespace {

const char kSigningKey[] = "r4wq%k#2SIGNKEY58";
constexpr int kRequestLimitMs = 10000;
// Service answers are small JSON texts; anything larger is refused before it is all in memory.
constexpr qint64 kMaxAnswerBytes = 4 * 1024 * 1024;
// What Qt may hold of an answer before this code takes it: the rest waits in the socket.
constexpr qint64 kAnswerReadBufferBytes = 256 * 1024;
#ifdef COMMON_FOR_UPDATER
constexpr int kDownloadLimitMs = 10000;
#else
constexpr int kDownloadLimitMs = 120000;
#endif
int s_iDownloadLimitForTesting = 0;
// Attempts of one download that each made progress before it counts as failed.
constexpr int kDownloadAttempts = 8;

QString md5Hex(const QByteArray &bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

bool usesTls(const QUrl &url) {
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

} // namespace

Common::Common(QObject *parent) : QObject(parent), m_szServerConfigPath(ServerTrust::stationConfigPath()) {}

QString Common::getServerConfigPath() {
    return m_szServerConfigPath;
}

void Common::setServerConfigPath(const QString &path) {
    m_szServerConfigPath = path;
}

QString Common::getDomainName() {
    QSettings settings(m_szServerConfigPath, QSettings::IniFormat);
    m_szDomainName = settings.value(QStringLiteral("ServerDomainName/DomainName")).toString();
    return m_szDomainName;
}

QString Common::getManagerName() {
    QSettings settings(m_szServerConfigPath, QSettings::IniFormat);
    m_szManagerName = settings.value(QStringLiteral("ServerManagerName/DomainName")).toString();
    return m_szManagerName;
}

QString Common::getPPCDomain() {
    QSettings settings(m_szServerConfigPath, QSettings::IniFormat);
    return settings.value(QStringLiteral("ServerPPCName/DomainName")).toString();
}

QString Common::stringMod5Encryption(QString text) {
    return md5Hex(text.toLatin1() + kSigningKey);
}

QString Common::stringMod5EncryptionOrg(QString text) {
    return md5Hex(text.toLatin1());
}

QString Common::valueChainSign(const QMap<QString, QString> &params) {
    QString chain;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (it.key() != QLatin1String("sign"))
            chain += it.value();
    }
    return stringMod5Encryption(chain);
}

QString Common::pairChainSign(const QMap<QString, QString> &params) {
    QString chain;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (it.key() != QLatin1String("sign"))
            chain += it.key() + it.value();
    }
    return stringMod5Encryption(chain);
}

QString Common::httpPostRequest(QString url, QMap<QString, QString> params) {
    return post(url, params, false);
}

QString Common::httpsPostRequest(QString url, QMap<QString, QString> params) {
    return post(url, params, true);
}

QString Common::httpGetRequest(QString url, QMap<QString, QString> params) {
    return get(url, params, false);
}

QString Common::httpsGetRequest(QString url, QMap<QString, QString> params) {
    return get(url, params, true);
}

bool Common::prepareTls(QNetworkRequest &request, bool secure, ServerTrust &trust, QString &refusal) {
    const bool tls = usesTls(request.url());
    if (!secure && !tls)
        return true;
    trust = ServerTrust::fromServerConfig(m_szServerConfigPath);
    // A station told whom to trust sends nothing over TLS unverified: a broken setting fails
    // the request as a refused handshake would, with the reason in the log.
    if (tls && trust.isBroken()) {
        qDebug().noquote() << trust.problem();
        recordFailure(trust.problem());
        refusal = trust.problem();
        return false;
    }
    if (secure || trust.isSet())
        trust.applyToRequest(request);
    return true;
}

QString Common::post(const QString &url, const QMap<QString, QString> &params, bool secure) {
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    ServerTrust trust;
    QString refusal;
    if (!prepareTls(request, secure, trust, refusal))
        return refusal;

    auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType, this);
    QHttpPart part;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"%1\"").arg(it.key()));
        part.setBody(it.value().toUtf8());
        body->append(part);
        qDebug().noquote() << "test::" << it.key() << ":" << SecretMask::fieldForTrace(it.key(), it.value());
    }

    auto *manager = new QNetworkAccessManager(this);
    QNetworkReply *reply = manager->post(request, body);
    body->setParent(reply);
    return awaitAnswer(manager, reply, secure, trust);
}

QString Common::get(const QString &url, const QMap<QString, QString> &params, bool secure) {
    // Each name and value encoded on its own: an "&", "=", "#" or "+" typed into a station value
    // must arrive as that character, not start another field or end the query.
    QStringList pairs;
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        pairs << QString::fromLatin1(QUrl::toPercentEncoding(it.key()) + '=' +
                                     QUrl::toPercentEncoding(it.value()));
    const QString fullUrl = url + QLatin1Char('?') + pairs.join(QLatin1Char('&'));
    qDebug().noquote() << "geng:" << fullUrl;

    QNetworkRequest request(QUrl(fullUrl, QUrl::TolerantMode));
    ServerTrust trust;
    QString refusal;
    if (!prepareTls(request, secure, trust, refusal))
        return refusal;
    auto *manager = new QNetworkAccessManager(this);
    return awaitAnswer(manager, manager->get(request), secure, trust);
}

QString Common::awaitAnswer(QNetworkAccessManager *manager, QNetworkReply *reply, bool secure,
                            const ServerTrust &trust) {
    QString answer;
    QTimer limit;
    limit.setSingleShot(true);
    // Coarse timers may fire 5 % early; the limit is meant to the millisecond.
    limit.setTimerType(Qt::PreciseTimer);
    limit.setInterval(kRequestLimitMs);

    QEventLoop loop;
    // The body is taken as it arrives, so neither Qt nor this code ever holds more than the
    // cap and one read buffer of it.
    QByteArray body;
    bool tooLarge = false;
    // Aborted once the loop has returned: aborting inside the reply's own signals upsets it.
    auto refuse = [&] {
        tooLarge = true;
        loop.quit();
    };
    auto take = [&] {
        if (tooLarge)
            return;
        body += reply->read(kMaxAnswerBytes + 1 - body.size());
        if (body.size() > kMaxAnswerBytes)
            refuse();
    };
    reply->setReadBufferSize(kAnswerReadBufferBytes);
    QList<QSslError> tlsErrors;
    bool foreignServer = false;
    trust.answerHandshakeErrors(reply);
    connect(reply, &QNetworkReply::sslErrors, &loop,
            [&tlsErrors](const QList<QSslError> &errors) { tlsErrors = errors; });
    // Where the handshake could pass on the system's roots alone, the server is held to the
    // station's CAs before anything is sent (aborting here is what the signal is for).
    connect(reply, &QNetworkReply::encrypted, &loop, [&] {
        const QList<QSslCertificate> chain = reply->sslConfiguration().peerCertificateChain();
        if (!trust.allowsServer(chain)) {
            foreignServer = true;
            tlsErrors = {QSslError(QSslError::CertificateUntrusted, chain.value(0))};
            reply->abort();
        }
    });
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    const QMetaObject::Connection done =
        connect(manager, &QNetworkAccessManager::finished, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        bool announced = false;
        const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&announced);
        if (announced && length > kMaxAnswerBytes && !tooLarge)
            refuse();
    });
    connect(reply, &QNetworkReply::readyRead, &loop, take);
    limit.start();
    if (!reply->isFinished())
        loop.exec();
    take();

    if (tooLarge) {
        disconnect(done);
        reply->abort();
        qDebug() << "http应答过大";
        if (secure)
            recordFailure(QStringLiteral("http应答过大"));
    } else if (!limit.isActive()) {
        disconnect(done);
        reply->abort();
        qDebug() << "http请求超时";
        if (secure)
            recordFailure(QStringLiteral("http请求超时"));
    } else {
        limit.stop();
        if (reply->error() != QNetworkReply::NoError) {
            answer = QString::fromLatin1(reply->errorString().toLatin1());
            // The log says why a handshake was refused; the caller gets the reply's text alone.
            if (secure)
                recordFailure(reply->error() == QNetworkReply::SslHandshakeFailedError || foreignServer
                                  ? ServerTrust::withTlsErrors(answer, tlsErrors)
                                  : answer);
        } else {
            const int code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            qDebug() << "服务器返回的Code : " << code;
            if (code == 200)
                answer = QString::fromUtf8(body);
        }
    }

    // The multipart body is a child of the reply and goes with it.
    reply->deleteLater();
    manager->deleteLater();
    return answer;
}

void Common::recordFailure(const QString &message) {
#ifdef COMMON_FOR_UPDATER
    Q_UNUSED(message);
#else
    slotLogRecord(message);
#endif
}

#ifndef COMMON_FOR_UPDATER
void Common::slotLogRecord(QString message) {
    LogRecorder::recordInLogFolder(message);
}
#endif

bool Common::UpdataExe(QString sourceExe, QString targetExe) {
    return install(sourceExe, targetExe, QStringList(), InstallService::PACKAGE_EXE, QString());
}

bool Common::UpdataZip(QString packageFile, QString targetFolder) {
    return install(packageFile, targetFolder, QStringList(), InstallService::PACKAGE_ZIP, QString());
}

bool Common::install(const QString &package, const QString &target, const QStringList &keepList,
                     InstallService::PACKAGEKIND_E kind, const QString &archiveFolder) {
    InstallService service;
    service.setArchiveFolder(archiveFolder);
    connect(&service, &InstallService::sigInstallProgress, this, &Common::sigInstallProgress);
    const InstallService::INSTALLRESULT_E result = service.install(package, target, keepList, kind);
    m_szLastInstallDetail = service.detail();
    m_bLastInstallRefused = service.packageRefused();
    if (result != InstallService::INSTALL_OK)
        qDebug().noquote() << service.message();
    if (!m_szLastInstallDetail.isEmpty())
        qDebug().noquote() << m_szLastInstallDetail;
    return result == InstallService::INSTALL_OK;
}

bool Common::UpdataZipFolder(const QString &packageFile, const QString &archiveFolder,
                             const QString &targetFolder) {
    return install(packageFile, targetFolder, QStringList(), InstallService::PACKAGE_ZIP, archiveFolder);
}

QString Common::lastInstallDetail() const {
    return m_szLastInstallDetail;
}

QByteArray Common::lastDownloadDigest() const {
    return m_lastDownloadDigest;
}

QString Common::lastDownloadError() const {
    return m_szLastDownloadError;
}

bool Common::lastInstallRefused() const {
    return m_bLastInstallRefused;
}

bool Common::compressDir(QString packageFile, QString sourceFolder) {
    const bool bResult = packFolder(packageFile, sourceFolder);
    qDebug() << "bResult压缩:" << bResult;
    if (!bResult)
        qDebug() << "压缩失败";
    return bResult;
}

bool Common::packFolder(const QString &packageFile, const QString &sourceFolder) {
    // Every file goes in, hidden ones too, and names are stored as flagged UTF-8 so that no code
    // page can garble them on the way back.
    const QString root = QDir(sourceFolder).absolutePath();
    if (!QFileInfo(root).isDir())
        return false;
    QFile::remove(packageFile);
    QuaZip zip(packageFile);
    zip.setUtf8Enabled(true);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    bool ok = true;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (ok && it.hasNext()) {
        const QFileInfo info(it.next());
        if (info.isSymLink())
            continue; // a link's target is outside what is being packed, or packed itself
        QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isDir())
            name += QLatin1Char('/');
        QuaZipFile entry(&zip);
        if (!entry.open(QIODevice::WriteOnly, QuaZipNewInfo(name, info.filePath()))) {
            ok = false;
            break;
        }
        if (!info.isDir()) {
            QFile source(info.filePath());
            if (!source.open(QIODevice::ReadOnly)) {
                ok = false;
            } else {
                QByteArray buffer(256 * 1024, Qt::Uninitialized);
                for (qint64 n; ok && (n = source.read(buffer.data(), buffer.size())) > 0;)
                    ok = entry.write(buffer.constData(), n) == n;
            }
        }
        entry.close();
        ok = ok && entry.getZipError() == ZIP_OK;
    }
    zip.close();
    ok = ok && zip.getZipError() == ZIP_OK;
    if (!ok)
        QFile::remove(packageFile);
    return ok;
}

bool Common::zipEntryNames(const QString &packageFile, QStringList &names) {
    return PackageGuard::readEntryNames(packageFile, names);
}

QString Common::GetEXEVersionNum(QString exePath) {
    const QString version = Platform::fileVersionOf(exePath);
    qDebug().noquote() << version;
    return version;
}

QString Common::mkMutiDir(QString path) {
    if (QFileInfo::exists(path))
        return path;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) {
        // A bare relative name has no ancestor to recurse to: create it in the working folder.
        QDir().mkdir(path);
        return path;
    }
    const QString parent = path.left(slash);
    const QString last = path.mid(slash + 1);
    // "/name": the parent is the file-system root, not the working folder.
    const QString base = parent.isEmpty() ? QString() : mkMutiDir(parent);
    if (!last.isEmpty())
        QDir(base.isEmpty() ? QStringLiteral("/") : base).mkdir(last);
    return base + QLatin1Char('/') + last;
}

bool Common::copyDirectory(const QString &sourceFolder, const QString &targetFolder, bool overwrite) {
    return copyFolder(sourceFolder, targetFolder, overwrite, QDir::Filters());
}

bool Common::copyTree(const QString &sourceFolder, const QString &targetFolder) {
    return copyFolder(sourceFolder, targetFolder, true, QDir::Hidden | QDir::System);
}

bool Common::copyFolder(const QString &sourceFolder, const QString &targetFolder, bool overwrite,
                        QDir::Filters extra) {
    QDir source(sourceFolder);
    QDir target(targetFolder);
    if (!target.exists() && !target.mkdir(target.absolutePath()))
        return false;

    const QFileInfoList entries =
        source.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | extra, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (entry.isDir()) {
            if (!copyFolder(entry.filePath(), target.filePath(name), overwrite, extra))
                return false;
        } else {
            if (overwrite && target.exists(name))
                target.remove(name);
            if (!QFile::copy(entry.filePath(), target.filePath(name)))
                return false;
        }
    }
    return true;
}

bool Common::delDir(const QString &path) {
    return deleteFolder(path, QDir::Filters());
}

bool Common::removeTree(const QString &path) {
    return deleteFolder(path, QDir::Hidden | QDir::System);
}

bool Common::deleteFolder(const QString &path, QDir::Filters extra) {
    if (path.isEmpty())
        return false;
    QDir dir(path);
    if (!dir.exists())
        return true;

    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::Drives | QDir::NoDotAndDotDot | extra);
    for (const QFileInfo &entry : entries) {
        // A link is removed itself; following it would delete whatever it points to.
        if (entry.isSymLink())
            QFile::remove(entry.absoluteFilePath());
        else if (entry.isDir())
            deleteFolder(entry.absoluteFilePath(), extra);
        else
            dir.remove(entry.fileName());
    }
    return dir.rmdir(dir.absolutePath());
}

bool Common::packageAddressAllowed(const QString &url) {
    // Only web addresses with a host: a local path, file:, ftp:, data: or a UNC share (which
    // makes Windows connect out and offer the station's credentials) is never fetched.
    const QUrl address = QUrl::fromUserInput(url);
    const QString scheme = address.scheme().toLower();
    return address.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !address.host().isEmpty() && !url.trimmed().startsWith(QLatin1String("\\\\")) &&
           !url.trimmed().startsWith(QLatin1String("//"));
}

bool Common::DownloadFiles(const QString &url, const QString &saveDir, const QString &fileName) {
    m_lastDownloadDigest.clear();
    m_szLastDownloadError.clear();
    if (!packageAddressAllowed(url)) {
        QString shown = url;
        for (QChar &c : shown) {
            if (c.unicode() < 0x20)
                c = QLatin1Char(' ');
        }
        m_szLastDownloadError = QStringLiteral("拒绝下载的地址:") + shown;
        qDebug().noquote() << m_szLastDownloadError;
        recordFailure(m_szLastDownloadError);
        return false;
    }
    ServerTrust trust;
    if (usesTls(QUrl::fromUserInput(url))) {
        trust = ServerTrust::fromServerConfig(m_szServerConfigPath);
        if (trust.isBroken()) {
            m_szLastDownloadError = trust.problem();
            qDebug().noquote() << m_szLastDownloadError;
            recordFailure(m_szLastDownloadError);
            return false;
        }
    }
    // Each attempt has the limit; one that was cut while bytes still came is continued from
    // where it stopped, so a slow but working transfer ends instead of starting over for ever.
    bool result = false;
    for (int attempt = 1;; ++attempt) {
        QTimer limit;
        limit.setSingleShot(true);
        limit.setTimerType(Qt::PreciseTimer);
        limit.setInterval(s_iDownloadLimitForTesting > 0 ? s_iDownloadLimitForTesting : kDownloadLimitMs);

        DownloadTool downloader(url, saveDir, nullptr);
        downloader.setDigestWanted(m_bDownloadDigestWanted);
        downloader.setServerTrust(trust);
        bool finished = false;
        connect(&downloader, &DownloadTool::sigDownloadFinished, &downloader, [&finished] { finished = true; });
        connect(&downloader, &DownloadTool::sigProgress, this, [this](qint64 bytesReceived, qint64 bytesTotal) {
            emit sigDownloadProgress(bytesReceived, bytesTotal);
        });
        downloader.startDownload(fileName);

        // Nothing was sent (bad URL, target not writable): there is nothing to wait for.
        if (downloader.hasStarted() && !finished) {
            QEventLoop loop;
            connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
            connect(&downloader, &DownloadTool::sigDownloadFinished, &loop, &QEventLoop::quit);
            limit.start();
            loop.exec();
            qDebug() << "helloworld";
        }

        const bool cutOff = downloader.hasStarted() && !finished;
        if (cutOff)
            downloader.stop();
        result = finished && !downloader.isFailed();
        m_lastDownloadDigest = result ? downloader.digest() : QByteArray();
        if (result)
            break;
        m_szLastDownloadError = cutOff ? QStringLiteral("下载超时") : downloader.errorText();
        if (!downloader.partKept() || downloader.advanced() <= 0 || attempt >= kDownloadAttempts)
            break;
        const QString note = QStringLiteral("下载中断(%1)，第%2次续传，已下载%3字节")
                                 .arg(m_szLastDownloadError)
                                 .arg(attempt)
                                 .arg(QFileInfo(downloader.targetPath() + QStringLiteral(".part")).size());
        qDebug().noquote() << note;
    }
    if (result)
        m_szLastDownloadError.clear();
    return result;
}

void Common::setResumeEnabledForBench(bool enabled) {
    DownloadTool::setResumeEnabled(enabled);
}

void Common::setDownloadLimitForTesting(int ms) {
    s_iDownloadLimitForTesting = ms;
}
