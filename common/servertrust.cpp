#include "servertrust.h"

#include "applicationfolder.h"
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QSslConfiguration>

namespace {

// The operating system's list takes a tenth of a second to read and changes with system
// updates only, so it is read once per run, and only on a station that uses the setting.
const QList<QSslCertificate> &systemCertificates() {
    static const QList<QSslCertificate> certificates = QSslConfiguration::systemCaCertificates();
    return certificates;
}

QList<QByteArray> derOf(const QList<QSslCertificate> &certificates) {
    QList<QByteArray> der;
    for (const QSslCertificate &certificate : certificates)
        der << certificate.toDer();
    return der;
}

// Errors that only say the chain ends at no root the system trusts; any other (dates, host
// name, a broken signature) refuses the server whatever its CA.
bool onlyTrustMissing(const QList<QSslError> &errors) {
    for (const QSslError &error : errors) {
        switch (error.error()) {
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::CertificateUntrusted:
            break;
        default:
            return false;
        }
    }
    return !errors.isEmpty();
}

} // namespace

QString ServerTrust::stationConfigPath() {
    return ApplicationFolder::path() + QStringLiteral("/serverConfig.ini");
}

ServerTrust ServerTrust::fromServerConfig(const QString &serverConfigPath) {
    ServerTrust trust;
    const QSettings settings(serverConfigPath, QSettings::IniFormat);
    const QString value = settings.value(QStringLiteral("Security/CACertificates")).toString().trimmed();
    if (value.isEmpty())
        return trust;
    trust.m_szFile = QDir::cleanPath(QDir(QFileInfo(serverConfigPath).absolutePath()).filePath(value));

    const QString shown = QDir::toNativeSeparators(trust.m_szFile);
    QFile file(trust.m_szFile);
    if (QFileInfo(trust.m_szFile).isDir() || !file.open(QIODevice::ReadOnly)) {
        trust.m_szProblem = QStringLiteral("CA证书文件无法读取:") + shown;
        return trust;
    }
    trust.m_listCertificates = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
    if (trust.m_listCertificates.isEmpty())
        trust.m_szProblem = QStringLiteral("CA证书文件中没有证书:") + shown;
    return trust;
}

void ServerTrust::applyToRequest(QNetworkRequest &request) const {
    QSslConfiguration tls = request.sslConfiguration();
    if (isSet()) {
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        tls.setCaCertificates(m_listCertificates);
        tls.setProtocol(QSsl::TlsV1_2OrLater);
    } else {
        // "TLS 1.0 or later": what TlsV1SslV3 means to OpenSSL, but Windows' Schannel takes
        // TlsV1SslV3 for TLS 1.0 alone, which current servers refuse.
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls.setProtocol(QSsl::TlsV1_0OrLater);
    }
    request.setSslConfiguration(tls);
}

void ServerTrust::applyToDownload(QNetworkRequest &request) const {
    if (!isSet())
        return;
    // One list, the system's and these: a list set on the request replaces what verification
    // would otherwise use.
    QSslConfiguration tls = request.sslConfiguration();
    tls.setCaCertificates(systemCertificates() + m_listCertificates);
    request.setSslConfiguration(tls);
}

bool ServerTrust::leadsToTheseCas(const QList<QSslCertificate> &chain) const {
    return Platform::chainLeadsToRoots(derOf(chain), derOf(m_listCertificates));
}

void ServerTrust::answerHandshakeErrors(QNetworkReply *reply) const {
    if (!isSet() || Platform::tlsTakesConnectionCaList())
        return;
    const ServerTrust trust = *this;
    QObject::connect(reply, &QNetworkReply::sslErrors, reply, [trust, reply](const QList<QSslError> &errors) {
        if (onlyTrustMissing(errors) &&
            trust.leadsToTheseCas(reply->sslConfiguration().peerCertificateChain()))
            reply->ignoreSslErrors(errors);
    });
}

bool ServerTrust::allowsServer(const QList<QSslCertificate> &chain) const {
    return !isSet() || Platform::tlsTakesConnectionCaList() || leadsToTheseCas(chain);
}

QString ServerTrust::withTlsErrors(const QString &text, const QList<QSslError> &errors) {
    QStringList texts;
    for (const QSslError &error : errors) {
        if (!texts.contains(error.errorString()))
            texts << error.errorString();
    }
    return texts.isEmpty()
               ? text
               : text + QStringLiteral(" (TLS: ") + texts.join(QStringLiteral("; ")) + QLatin1Char(')');
}
