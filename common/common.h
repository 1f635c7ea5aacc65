#pragma once

#include "installservice.h"
#include "packagesignature.h"

#include <QDir>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class ServerTrust;

// Shared services of both programs: server addresses, signed requests, file and package
// operations and blocking downloads (and, in the launcher, the daily log). Requests and
// downloads block the caller but keep its thread's events flowing; the object must live in
// the calling thread, since the network objects of a request become its children.
//
// Built twice: as "common" for the launcher and, with COMMON_FOR_UPDATER defined, as
// "common_updater" for the updater, whose HTTPS requests log nothing, whose download waits
// 10 s instead of 120 s and which has no slotLogRecord.
class Common : public QObject {
    Q_OBJECT
public:
    explicit Common(QObject *parent = nullptr);

    // --- Server addresses ("serverConfig.ini" beside the program, read afresh each time) -----
    QString getServerConfigPath();
    // Reads another serverConfig.ini from now on (the updater reads the launcher's).
    void setServerConfigPath(const QString &path);
    QString getDomainName();
    QString getManagerName();
    QString getPPCDomain();

    // --- Signatures ------------------------------------------------------------------------
    // MD5 (lower-case hex) over the Latin-1 bytes of text followed by the signing key.
    QString stringMod5Encryption(QString text);
    // MD5 (lower-case hex) over the Latin-1 bytes of text, without key.
    QString stringMod5EncryptionOrg(QString text);
    // "sign" for the tool configuration service: the values of all fields but "sign" in
    // ascending key order, then the key.
    QString valueChainSign(const QMap<QString, QString> &params);
    // "sign" for the device-ownership service: name and value of every field but "sign" in
    // ascending key order, then the key.
    QString pairChainSign(const QMap<QString, QString> &params);

    // --- Requests (10 s limit) --------------------------------------------------------------
    // The body (UTF-8) on status 200; the reply's error text on a transfer or HTTP error; an
    // empty string on any other status, when the limit runs out, or when the answer is larger
    // than 4 MiB (refused as soon as that shows). Redirects are not followed.
    QString httpPostRequest(QString url, QMap<QString, QString> params);
    // As httpPostRequest, with TLS and no certificate verification; logs time-outs, refused
    // answers and errors (for a refused handshake with the TLS errors behind it).
    //
    // With "Security/CACertificates" in serverConfig.ini (see ServerTrust) every request to an
    // https address, of any of the four, verifies the server against those CAs alone over
    // TLS 1.2 or later; when that file cannot be used, nothing is sent and the answer, like
    // the log line, is ServerTrust::problem().
    QString httpsPostRequest(QString url, QMap<QString, QString> params);
    // GET of url + "?" + key=value pairs joined by "&", each name and value percent-encoded
    // (a bare "?" for an empty map).
    QString httpGetRequest(QString url, QMap<QString, QString> params);
    // The same GET with httpsPostRequest's TLS settings and logging.
    QString httpsGetRequest(QString url, QMap<QString, QString> params);

#ifndef COMMON_FOR_UPDATER
    // Appends one line to the day's file in "log" under the working directory.
    void slotLogRecord(QString message);
#endif

    // --- Files and packages -----------------------------------------------------------------
    // Both run on InstallService: a failure leaves the target as it was and keeps the package;
    // an interrupted run is settled by InstallService::recoverInterrupted() at the next start.
    // Replaces the existing targetExe by sourceExe (installed executable) and removes sourceExe.
    bool UpdataExe(QString sourceExe, QString targetExe);
    // Unpacks packageFile over the existing targetFolder and removes packageFile. A damaged or
    // unsafe archive is refused before anything is written.
    bool UpdataZip(QString packageFile, QString targetFolder);
    // Unpacks what lies below the archive's top-level folder archiveFolder over targetFolder
    // (a tool's own folder): nothing of the package can name a file outside targetFolder.
    bool UpdataZipFolder(const QString &packageFile, const QString &archiveFolder,
                         const QString &targetFolder);
    // Why the last UpdataZip/UpdataZipFolder/UpdataExe refused its package, for the log (an unsafe
    // or doubled entry name, too little free space); empty otherwise.
    QString lastInstallDetail() const;
    // Whether DownloadFiles() takes the SHA-256 of what it writes (for a signature check); off
    // by default, as it costs time nobody needs without one.
    void setDownloadDigestWanted(bool wanted) { m_bDownloadDigestWanted = wanted; }
    // SHA-256 of the file the last successful DownloadFiles() wrote, taken while it arrived;
    // empty after a failed one or when not asked for.
    QByteArray lastDownloadDigest() const;
    // Whether the last installation failed for what its package holds (see InstallService).
    bool lastInstallRefused() const;
    // Packs the whole tree below sourceFolder, hidden files included, into packageFile, with
    // UTF-8 entry names.
    bool compressDir(QString packageFile, QString sourceFolder);
    // The entry names of a zip file, folders with their trailing "/"; false when it cannot be read.
    bool zipEntryNames(const QString &packageFile, QStringList &names);
    // File version "a.b.c.d" of an executable, "0.0.0.0" when it has none.
    QString GetEXEVersionNum(QString exePath);
    // Creates path with all missing levels and returns it (see the definition for the form).
    QString mkMutiDir(QString path);
    bool copyDirectory(const QString &sourceFolder, const QString &targetFolder, bool overwrite);
    // Deletes a folder tree; true when the folder is gone (or never existed).
    bool delDir(const QString &path);
    // copyDirectory (overwriting) and delDir that take hidden and system files too, as the
    // installation paths need: a "Thumbs.db" or ".env" is neither lost nor left in the way.
    bool copyTree(const QString &sourceFolder, const QString &targetFolder);
    bool removeTree(const QString &path);

    // --- Downloads --------------------------------------------------------------------------
    // Downloads url into saveDir + "/" + the chosen file name (see DownloadTool); true only
    // when the file arrived completely. Each attempt has a time limit; an attempt cut off (by
    // the limit or a broken connection) after bytes arrived is continued from where it stopped,
    // up to 8 attempts, and what arrived stays beside the target (never under its name) for
    // the next download of the same address to continue. Progress is reported through
    // sigDownloadProgress meanwhile, counted from the start of the file.
    // Only http and https addresses with a host are fetched; any other fails at once, logged.
    // Over https the server's certificate is verified against the system's CAs and those of
    // "Security/CACertificates"; when that file cannot be used, https fails at once, logged.
    bool DownloadFiles(const QString &url, const QString &saveDir, const QString &fileName);
    static bool packageAddressAllowed(const QString &url);
    // Fetches the signature lying beside a package just downloaded from packageUrl into
    // packageFile + ".sig" and judges it against the package's digest (lastDownloadDigest()
    // of that download) with the station's keys. The signature file stays for whoever checks
    // the package again; lastDownloadDigest() is kept.
    PackageSignature::VERDICT_E fetchPackageSignature(const QString &packageUrl, const QString &packageFile,
                                                      const QList<QByteArray> &keys);
    // Why the last DownloadFiles() failed, empty after a successful one: the reply's error
    // text, for a refused handshake followed by the TLS errors, as in "SSL handshake failed
    // (TLS: The issuer certificate of a locally looked up certificate could not be found)";
    // "下载超时" when the limit ran out; the log text of a refused address or an unusable CA
    // file. Not logged here: the caller names the tool it was for.
    QString lastDownloadError() const;
    // Shortens the download limit for tests; 0 restores the program's own.
    static void setDownloadLimitForTesting(int ms);
    // Off: downloads neither keep nor resume what arrived, and an attempt cut off fails at once
    // (the behaviour before resuming, the reference of the shift-start bench).
    static void setResumeEnabledForBench(bool enabled);

signals:
    // Bytes of the running download so far, and its announced size (-1 when not announced).
    void sigDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);

signals:
    // Progress of UpdataZip and UpdataExe, delivered while they wait.
    void sigInstallProgress(int filesInstalled, int filesTotal, qint64 bytesInstalled, qint64 bytesTotal);

private:
    bool install(const QString &package, const QString &target, const QStringList &keepList,
                 InstallService::PACKAGEKIND_E kind, const QString &archiveFolder);
    bool packFolder(const QString &packageFile, const QString &sourceFolder);
    bool copyFolder(const QString &sourceFolder, const QString &targetFolder, bool overwrite,
                    QDir::Filters extra);
    bool deleteFolder(const QString &path, QDir::Filters extra);
    QString post(const QString &url, const QMap<QString, QString> &params, bool secure);
    QString get(const QString &url, const QMap<QString, QString> &params, bool secure);
    // TLS settings of a request to be sent; false, with the answer to give, when it must not go.
    bool prepareTls(QNetworkRequest &request, bool secure, ServerTrust &trust, QString &refusal);
    QString awaitAnswer(QNetworkAccessManager *manager, QNetworkReply *reply, bool secure,
                        const ServerTrust &trust);
    void recordFailure(const QString &message);

    QString m_szServerConfigPath;
    QString m_szDomainName;
    QString m_szManagerName;
    QString m_szLastInstallDetail;
    bool m_bLastInstallRefused = false;
    QByteArray m_lastDownloadDigest;
    bool m_bDownloadDigestWanted = false;
    QString m_szLastDownloadError;
};
