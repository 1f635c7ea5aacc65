#include "servertrust.h"

#include "applicationfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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
