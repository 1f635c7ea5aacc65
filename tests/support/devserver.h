#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// Runs the stand-in factory server (devserver/devserver.py) on free loopback ports for one test.
//
// All three services share one root, so every base below serves the configuration service
// ("ToolClientConfigManageApi/..."), the device-ownership service ("CollectDeviceOwnership/...")
// and the production service ("ProductionApi/login"); package and picture files are served
// under "files/" from filesDir().
//
//     DevServer server;
//     QVERIFY2(server.start(), qPrintable(server.lastError()));      // demo data set
//     DevServer::writeServerConfig(stationDir, server.httpBase());     // serverConfig.ini
//     ... run the code under test ...
//     const QJsonArray got = server.requests("ToolClientConfigManageApi/toolLogin");
//     QCOMPARE(got.size(), 1);
//     QVERIFY(got.at(0).toObject().value("signOk").toBool());
//     QCOMPARE(DevServer::fieldValue(got.at(0).toObject(), "account"), QString("operator"));
//
// Each recorded request is a JSON object with: "seq", "method", "path" (no leading "/"),
// "scheme" ("http"/"https"), "target" (the request line's target as sent, e.g.
// "/ProductionApi/login?"), "query" (raw), "queryFields" and "fields" (arrays of
// {"name","value","headers"} in arrival order; multipart values decoded as UTF-8), "headers"
// (names in lower case), "contentType", "bodySize", "signRule" ("value", "pair" or null),
// "signOk" (true/false, null when the path is not signed), "expectedSign", "receivedMs",
// "status" (HTTP status answered, 0 when dropped) and "ack" (the answer's ack, when JSON),
// "sentBytes" (body bytes written, for file and "bodyBytes" answers; null otherwise) and
// "contentRange" (the Content-Range of a file's 206 or 416, else null). A client's Range and
// If-Range are headers["range"] and headers["if-range"].
//
// Files are answered with Accept-Ranges, a strong ETag (size, mtime, inode: it changes when a
// test rewrites the file) and Last-Modified. "Range: bytes=N-" / "bytes=N-M" / "bytes=-S" get
// 206 with Content-Range, unless If-Range names another ETag or date (then 200, whole file);
// N at or past the end gets 416 "bytes */SIZE"; several ranges or a malformed one get 200.
//
// A behaviour makes one path misbehave (exact path, or a pattern ending in "*" such as
// "files/*"); members, all optional:
//     "delayMs": 10500        wait before answering (other requests are served meanwhile)
//     "status": 404 / 204 / 500   answer this HTTP status with a small HTML body (none for 204)
//     "redirect": "URL"       answer 302 (or "status") with Location and a small body
//     "body": "text"          answer 200 with exactly this body ("contentType" optional)
//     "bodyBytes": 5000000    answer 200 with that many filler bytes ("0123456789abcdef" over
//                             and over), their length announced; "noLength": true announces
//                             none, "announceBytes": N announces N (held after the bytes when
//                             larger, until release(path) or "holdMs"); the record's
//                             "sentBytes" tells how many were written before the client left
//     "ack": 200 or "500"     replace the ack of the normal JSON answer (numbers stay numbers)
//     "data": ...             replace the data member of the normal answer
//     "json": {...}           answer exactly this JSON object
//     "hold": true            keep the request waiting until release(path) (at most "holdMs")
//     "drop": true            close the connection without answering
//     "ignoreSign": true      answer normally even if the signature is wrong
//     "trickle": {"chunkBytes": 256, "intervalMs": 200}   files: send slowly
//     "truncateAfter": 100    files: announce the full length, send this many bytes, close
//     "stallAfter": 100       files: announce the full length, send this many bytes, then
//                             nothing until release(path) (at most "holdMs"), then close
//                             (both count the bytes of the answer: of the range, when ranged)
//     "noRanges": true        files: ignore Range, always 200 with the whole file
//     "status416": true       files: answer 416 to every request carrying Range
//     "thenReplaceWith": "v2.zip"   files: as this answer starts, the file is replaced by a
//                             copy of filesDir()/v2.zip (new ETag, Last-Modified a second
//                             on); this answer still sends the old bytes. With "times": 1 the
//                             next request, a continuation say, finds the new version.
//     "times": 1              apply only to the next N requests of that path
//     "when": {"proToolId": "102"}   apply only to requests whose first field of each name
//                             (form field, else query field) has that value; such a behaviour
//                             is kept beside the path's others (one per "when"), a mismatch
//                             leaves its "times" alone, and release(path) lets its holds go
// A behaviour with "when" comes before the path's unconditional one; clearBehaviour(path)
// removes all of the path's behaviours. A path may also carry a label, "path#label", to keep
// several behaviours without "when"; release("path#label") lets only that one's holds go.
// Wrong signatures are answered with ack "403" (msg "sign mismatch"); wrong credentials with
// "303"; unknown tool or product with "404". See devserver/README.md for the data file.
//
// Demo data (devserver/demo-data.json): account "operator" / password "123456" with six
// dealers (one with a string ownerId, two sharing a name); account "nodealer" / "123456"
// with none; launcher id "100"; tool ids "101".."116" in the order of the launcher's tool
// table (IPCProductCheck = "101" ... JBM = "116"). Packages, offered to lower "version"s:
// "101" 2.1.0.0 and "103" 3.0.2.0 (optional), "102" (BPC) 1.5.0.0 (forced), "108" 1.1.0.0
// (the demo's first install); "105" (MACSetting) has none; the others 1.0.0.0.
// A package with "offerTimes": N is offered at most N times (see offerCount()). The demo
// package files are placeholder zips (text where the executable belongs): overwrite them in
// filesDir() with ToolPackages (toolpackages.h) where a test installs them; reset() and
// setData() keep files that exist.
//
// Control calls are plain blocking socket exchanges: they do not spin an event loop, so they
// are safe from the GUI thread and never re-enter the code under test.
class DevServer {
public:
    DevServer();
    ~DevServer(); // stops the server
    DevServer(const DevServer &) = delete;
    DevServer &operator=(const DevServer &) = delete;

    // Starts python3 devserver/devserver.py on free loopback ports and waits (at most 20 s)
    // until it listens. dataFile empty: the demo data set. extraArgs go to the server, e.g.
    // {"--expired-cert"} to serve HTTPS with an expired certificate, or {"--no-https"}.
    // {"--signing-key", TestPaths::hostPath(pem)} (PackageSigner::writePem, packagesigner.h) answers
    // "files/<name>.sig" with the signature of <name> when no such .sig lies in filesDir().
    bool start(const QString &dataFile = QString(), const QStringList &extraArgs = {});
    // The same with a data set given as JSON (written to a temporary file first).
    bool startWithData(const QJsonObject &data, const QStringList &extraArgs = {});
    void stop();
    bool isRunning() const;
    QString lastError() const { return m_szLastError; }

    QString httpBase() const;  // "http://127.0.0.1:PORT/"
    QString httpsBase() const; // "https://127.0.0.1:PORT/" (empty with --no-https)
    quint16 httpPort() const { return m_iHttpPort; }
    quint16 httpsPort() const { return m_iHttpsPort; }
    // Files served under "files/"; tests may add files here while the server runs.
    QString filesDir() const;
    // Address of a served file ("files/<name>") on the HTTP or HTTPS port.
    QString fileUrl(const QString &name, bool https = false) const;

    // Fault injection per path (see above); an empty behaviour removes the path's behaviours.
    bool setBehaviour(const QString &path, const QJsonObject &behaviour);
    bool clearBehaviour(const QString &path) { return setBehaviour(path, QJsonObject()); }
    // Lets the requests held at path ("hold": true) go on; empty path: every held request.
    bool release(const QString &path = QString());
    // Back to the start-up data set, no behaviours, no recorded requests (held ones go on).
    bool reset();
    // Replaces the whole data set (same layout as the data file); files it lists are generated.
    bool setData(const QJsonObject &data);
    QJsonObject data() const;
    // How often a package of the tool was offered (answered with its versionNo) since the start,
    // reset() or setData(); -1 when the server cannot be asked.
    int offerCount(const QString &proToolId) const;

    // Recorded requests in arrival order; path empty: all of them. Control calls are not recorded.
    QJsonArray requests(const QString &path = QString()) const;
    bool clearRequests();
    // Waits (processing events) until at least count requests of path were recorded.
    bool waitForRequests(const QString &path, int count = 1, int timeoutMs = 5000) const;

    // Helpers for recorded requests.
    static QString fieldValue(const QJsonObject &request, const QString &name); // first field of that name
    static QStringList fieldNames(const QJsonObject &request);                  // in arrival order
    static QString queryValue(const QJsonObject &request, const QString &name);

    // The demo data set as JSON, to be modified and passed to setData()/startWithData().
    static QJsonObject demoData();
    // A loopback port nothing listens on, for "server unreachable".
    static quint16 closedPort();
    static QString demoAccount() { return QStringLiteral("operator"); }
    static QString demoPassword() { return QStringLiteral("123456"); }

    // Writes folder/serverConfig.ini pointing the three services at the given bases (each ends
    // with "/"); empty ownership or production base: the configuration base.
    static bool writeServerConfig(const QString &folder, const QString &configBase,
                                  const QString &ownershipBase = QString(),
                                  const QString &productionBase = QString());

private:
    // One HTTP exchange with the control endpoint (path already percent-encoded); returns the
    // body, or a null array on failure.
    QByteArray control(const QByteArray &method, const QString &path,
                       const QByteArray &body = QByteArray()) const;
    bool controlOk(const QByteArray &method, const QString &path,
                   const QByteArray &body = QByteArray()) const;

    std::unique_ptr<QTemporaryDir> m_pTempDir;
    std::unique_ptr<QProcess> m_pProcess;
    bool m_bDetached = false;
    quint16 m_iHttpPort = 0;
    quint16 m_iHttpsPort = 0;
    QString m_szFilesDir;
    mutable QString m_szLastError;
};
