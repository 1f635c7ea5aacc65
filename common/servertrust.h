#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

class QNetworkRequest;

// The CA certificates a station trusts for its factory's servers: "CACertificates" in section
// "Security" of serverConfig.ini, a PEM file of one or more certificates. A relative value is
// taken from the folder of that serverConfig.ini; an absolute one as it is. Write "/" between
// folders: the INI reader takes "\" for the start of an escape.
//
// Read afresh for each request and download, so an edited file takes effect at the next one.
class ServerTrust {
public:
    // serverConfig.ini beside the running program.
    static QString stationConfigPath();
    // The setting of that serverConfig.ini and, when it is set, the certificates of its file.
    static ServerTrust fromServerConfig(const QString &serverConfigPath);

    // The setting names a file.
    bool isSet() const { return !m_szFile.isEmpty(); }
    // Set, but its file is missing, unreadable or holds no certificate: nothing may then be
    // fetched over TLS at all, and problem() says why.
    bool isBroken() const { return isSet() && m_listCertificates.isEmpty(); }
    // The file the setting names, resolved.
    QString file() const { return m_szFile; }
    // For the log: "CA证书文件无法读取:<file>" or "CA证书文件中没有证书:<file>"; empty otherwise.
    QString problem() const { return m_szProblem; }
    QList<QSslCertificate> certificates() const { return m_listCertificates; }

    // Service requests. Set: the server must show a certificate issued by these CAs and no
    // other, over TLS 1.2 or later. Not set: nothing is verified and TLS 1.0 or later is taken,
    // for factory servers with self-signed or expired certificates.
    void applyToRequest(QNetworkRequest &request) const;
    // Package and picture downloads, which verify always. Set: these CAs count beside the
    // operating system's. Not set: the request is left as it is (the system's CAs alone).
    void applyToDownload(QNetworkRequest &request) const;

    // What a refused handshake reported, for a log line: "text (TLS: error; error)", or text
    // alone when there are no TLS errors.
    static QString withTlsErrors(const QString &text, const QList<QSslError> &errors);

private:
    QString m_szFile;
    QString m_szProblem;
    QList<QSslCertificate> m_listCertificates;
};
