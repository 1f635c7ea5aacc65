#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

class QNetworkReply;
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

    // Qt's TLS on Windows leaves the CA list of a connection out and trusts the system's roots
    // alone (Platform::tlsTakesConnectionCaList); there the two below stand in for it, with the
    // system checking the chain against these CAs. Elsewhere they change nothing.
    //
    // A handshake the system's roots refused goes on when the server's chain leads to these
    // CAs within its dates and nothing but that trust was reported missing (a wrong host name
    // reported with it still refuses the server).
    void answerHandshakeErrors(QNetworkReply *reply) const;
    // For requests, once the handshake passed: false for a server that does not lead to these
    // CAs (one only the system's roots vouch for), which must not be used.
    bool allowsServer(const QList<QSslCertificate> &chain) const;

    // What a refused handshake reported, for a log line: "text (TLS: error; error)", or text
    // alone when there are no TLS errors.
    static QString withTlsErrors(const QString &text, const QList<QSslError> &errors);

private:
    bool leadsToTheseCas(const QList<QSslCertificate> &chain) const;

    QString m_szFile;
    QString m_szProblem;
    QList<QSslCertificate> m_listCertificates;
};
