#include "applicationfolder.h"
#include "clock.h"
#include "common.h"
#include "devserver.h"
#include "picturefetcher.h"
#include "testfiles.h"
#include "testpaths.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSslError>
#include <QtTest>

// The station's own CAs ("Security/CACertificates" in serverConfig.ini) against two stand-in
// servers whose certificates come from CAs the test holds: "A" valid, "B" expired.
namespace {

enum Method { HttpsPost, HttpsGet, HttpGetOfHttps };
enum Kind { Package, PackageOverHttp, Picture };

const QString kAnswer = QStringLiteral("{\"ack\":\"200\"}");
const QByteArray kPicture = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(2000, 'p');
const QString kStamp = QStringLiteral("2024-06-01 08:00:00    ");

QByteArray packageBytes() {
    QByteArray bytes(200000, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 13 + i / 509) & 0xff);
    return bytes;
}

// Whether text names a failed certificate check as TLS reports it, whichever check it was.
bool namesTlsError(const QString &text) {
    const QString unnamed = QSslError(QSslError::UnspecifiedError).errorString();
    for (int e = QSslError::UnableToGetIssuerCertificate; e <= QSslError::OcspStatusUnknown; ++e) {
        const QString name = QSslError(QSslError::SslError(e)).errorString();
        if (!name.isEmpty() && name != unnamed && text.contains(name))
            return true;
    }
    return false;
}

// Whether text gives the reason an outcome of the tables stands for.
bool givesReason(const QString &outcome, const QString &text) {
    return outcome == "expired" ? text.contains(QSslError(QSslError::CertificateExpired).errorString())
                                : namesTlsError(text);
}

// The log line of a CA file that cannot be used.
QString caFileLine(const QString &outcome, const QString &caFile) {
    return (outcome == "unreadable" ? QStringLiteral("CA证书文件无法读取:")
                                    : QStringLiteral("CA证书文件中没有证书:")) +
           QDir::toNativeSeparators(caFile);
}

} // namespace

class tst_CommonTls : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void requests_data();
    void requests();
    void downloads_data();
    void downloads();

private:
    // Writes folder/serverConfig.ini with the CA setting a row names and returns the CA file
    // the setting resolves to (empty for none).
    QString writeSetting(const QString &folder, const QString &setting);
    QString logText() const;
    DevServer &server(const QString &name) { return name == QLatin1String("A") ? m_serverA : m_serverB; }

    QTemporaryDir m_cas;
    DevServer m_serverA; // certificate issued by CA a.pem
    DevServer m_serverB; // certificate issued by CA b.pem, expired
    std::unique_ptr<ScratchFolder> m_tmp;
};

void tst_CommonTls::initTestCase() {
    QVERIFY(m_cas.isValid());
    QVERIFY2(m_serverA.start(QString(), {"--ca-out", TestPaths::hostPath(m_cas.filePath("a.pem"))}),
             qPrintable(m_serverA.lastError()));
    QVERIFY2(m_serverB.start(QString(),
                             {"--ca-out", TestPaths::hostPath(m_cas.filePath("b.pem")), "--expired-cert"}),
             qPrintable(m_serverB.lastError()));
    for (DevServer *s : {&m_serverA, &m_serverB}) {
        QVERIFY(TestFiles::write(s->filesDir() + "/pkg.bin", packageBytes()));
        QVERIFY(TestFiles::write(s->filesDir() + "/pic.png", kPicture));
    }
}

void tst_CommonTls::init() {
    QVERIFY(m_serverA.reset() && m_serverB.reset());
    m_tmp.reset(new ScratchFolder(true)); // the daily log goes below the working folder
    QVERIFY(m_tmp->isReady() && QDir().mkpath(m_tmp->filePath("station")));
    ApplicationFolder::setPathForTesting(m_tmp->filePath("station"));
    Clock::setNowForTesting([] { return QDateTime(QDate(2024, 6, 1), QTime(8, 0, 0)); });
}

void tst_CommonTls::cleanup() {
    Clock::setNowForTesting({});
    ApplicationFolder::setPathForTesting(QString());
    m_tmp.reset();
}

QString tst_CommonTls::logText() const {
    return QString::fromUtf8(TestFiles::read(m_tmp->filePath("log/2024-06-01.txt"), QByteArray()));
}

QString tst_CommonTls::writeSetting(const QString &folder, const QString &setting) {
    const QByteArray a = TestFiles::read(m_cas.filePath("a.pem"));
    const QByteArray b = TestFiles::read(m_cas.filePath("b.pem"));
    QString value = setting;
    if (setting == "a" || setting == "b")
        value = m_cas.filePath(setting + ".pem");
    else if (setting == "b then a" && TestFiles::write(folder + "/bundle.pem", b + a))
        value = folder + "/bundle.pem";
    else if (setting == "certs/a.pem")
        TestFiles::write(folder + "/certs/a.pem", a);
    else if (setting == "no certificate" && TestFiles::write(folder + "/text.pem", "no certificate here\n"))
        value = folder + "/text.pem";
    else if (setting == "missing")
        value = folder + "/missing.pem";
    QByteArray ini = "[ServerDomainName]\nDomainName=http://127.0.0.1/\n";
    if (!value.isEmpty())
        ini += "[Security]\nCACertificates=" + value.toUtf8() + "\n";
    TestFiles::write(folder + "/serverConfig.ini", ini);
    return value.isEmpty() ? QString() : QDir(folder).filePath(value);
}

void tst_CommonTls::requests_data() {
    QTest::addColumn<QString>("serverName");
    QTest::addColumn<QString>("setting");
    QTest::addColumn<int>("method");
    QTest::addColumn<bool>("launcherFile"); // the setting lies in a file given to Common
    QTest::addColumn<QString>("outcome");

    const auto row = [](const char *name, const char *server, const char *setting, Method method,
                        bool launcherFile, const char *outcome) {
        QTest::newRow(name) << server << setting << int(method) << launcherFile << outcome;
    };
    row("issuing CA, POST", "A", "a", HttpsPost, false, "answered");
    row("issuing CA, plain GET of an https address", "A", "a", HttpGetOfHttps, false, "answered");
    row("issuing CA second in the file", "A", "b then a", HttpsPost, false, "answered");
    row("relative to serverConfig.ini", "A", "certs/a.pem", HttpsGet, false, "answered");
    row("the launcher's serverConfig.ini", "A", "certs/a.pem", HttpsPost, true, "answered");
    row("no setting: expired and unknown pass", "B", "", HttpsPost, false, "answered");
    row("another CA", "A", "b", HttpsPost, false, "tls");
    row("issuing CA, certificate expired", "B", "b", HttpsGet, false, "expired");
    row("CA file missing", "A", "missing", HttpsPost, false, "unreadable");
    row("CA file without a certificate", "A", "no certificate", HttpsGet, false, "no certificate");
}

void tst_CommonTls::requests() {
    QFETCH(QString, serverName);
    QFETCH(QString, setting);
    QFETCH(int, method);
    QFETCH(bool, launcherFile);
    QFETCH(QString, outcome);

    DevServer &srv = server(serverName);
    QVERIFY(srv.setBehaviour("ProductionApi/login", QJsonObject{{"body", kAnswer}}));
    const QString folder = m_tmp->filePath(launcherFile ? "launcher" : "station");
    const QString caFile = writeSetting(folder, setting);
    Common common;
    if (launcherFile) {
        // The file beside the program would refuse everything: only the given one may count.
        writeSetting(m_tmp->filePath("station"), "missing");
        common.setServerConfigPath(folder + "/serverConfig.ini");
    }
    const QString url = srv.httpsBase() + "ProductionApi/login";
    const QMap<QString, QString> params{{"user_id", "7"}};
    const QString answer = method == HttpsPost  ? common.httpsPostRequest(url, params)
                           : method == HttpsGet ? common.httpsGetRequest(url, params)
                                                : common.httpGetRequest(url, params);
    const int reached = srv.requests("ProductionApi/login").size();

    if (outcome == "answered") {
        QCOMPARE(answer, kAnswer);
        QCOMPARE(reached, 1);
        QCOMPARE(logText(), QString());
        return;
    }
    QCOMPARE(reached, 0);
    const QString log = logText();
    if (outcome == "unreadable" || outcome == "no certificate") {
        QCOMPARE(answer, caFileLine(outcome, caFile));
        QCOMPARE(log, kStamp + answer + "\r\n");
        return;
    }
    // A refused handshake: the caller gets the reply's text, the log also why.
    QVERIFY(!answer.isEmpty() && answer != kAnswer);
    QVERIFY2(log.startsWith(kStamp + answer + " ") && log.count("\r\n") == 1, qPrintable(log));
    QVERIFY2(givesReason(outcome, log), qPrintable(log));
}

void tst_CommonTls::downloads_data() {
    QTest::addColumn<QString>("serverName");
    QTest::addColumn<QString>("setting");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("outcome");

    const auto row = [](const char *name, const char *server, const char *setting, Kind kind,
                        const char *outcome) {
        QTest::newRow(name) << server << setting << int(kind) << outcome;
    };
    row("package, no setting", "A", "", Package, "tls");
    row("package, issuing CA", "A", "a", Package, "fetched");
    row("package, another CA", "A", "b", Package, "tls");
    row("package, issuing CA, certificate expired", "B", "b", Package, "expired");
    row("package, CA file missing", "A", "missing", Package, "unreadable");
    row("package over http, CA file missing", "A", "missing", PackageOverHttp, "fetched");
    row("picture, no setting", "A", "", Picture, "tls");
    row("picture, issuing CA", "A", "a", Picture, "fetched");
    row("picture, CA file missing", "A", "missing", Picture, "unreadable");
}

void tst_CommonTls::downloads() {
    QFETCH(QString, serverName);
    QFETCH(QString, setting);
    QFETCH(int, kind);
    QFETCH(QString, outcome);

    DevServer &srv = server(serverName);
    const QString caFile = writeSetting(m_tmp->filePath("station"), setting);
    const bool fetched = outcome == "fetched";

    if (kind == Picture) {
        PictureFetcher fetcher(m_tmp->filePath("pics"));
        QSignalSpy done(&fetcher, &PictureFetcher::sigPictureFetched);
        QSignalSpy failed(&fetcher, &PictureFetcher::sigPictureFailed);
        const bool started = fetcher.fetch("P1", srv.fileUrl("pic.png", true));
        QCOMPARE(started, outcome != "unreadable");
        if (started)
            QTRY_COMPARE_WITH_TIMEOUT(done.size() + failed.size(), 1, 10000);
        QCOMPARE(done.size(), fetched ? 1 : 0);
        QCOMPARE(TestFiles::read(fetcher.pathFor("P1")), fetched ? kPicture : QByteArray("<missing>"));
        QCOMPARE(srv.requests("files/pic.png").size(), fetched ? 1 : 0);
        return;
    }

    Common common;
    const QString down = m_tmp->filePath("down");
    // A failure first: a success afterwards must not keep its reason.
    QVERIFY(!common.DownloadFiles(QStringLiteral("http://127.0.0.1:%1/x.bin").arg(DevServer::closedPort()),
                                  down, QString()));
    QVERIFY(!common.lastDownloadError().isEmpty());

    const bool ok = common.DownloadFiles(srv.fileUrl("pkg.bin", kind == Package), down, QString());
    const QString reason = common.lastDownloadError();
    QCOMPARE(ok, fetched);
    QCOMPARE(TestFiles::read(down + "/pkg.bin"), fetched ? packageBytes() : QByteArray("<missing>"));
    QCOMPARE(srv.requests("files/pkg.bin").size(), fetched ? 1 : 0);
    if (fetched) {
        QCOMPARE(reason, QString());
        QCOMPARE(logText(), QString());
        return;
    }
    if (outcome == "unreadable" || outcome == "no certificate") {
        QCOMPARE(reason, caFileLine(outcome, caFile));
        QCOMPARE(logText(), kStamp + reason + "\r\n");
        return;
    }
    QVERIFY2(givesReason(outcome, reason), qPrintable(reason));
    // Other download failures are the caller's to log, naming the tool.
    QCOMPARE(logText(), QString());
}

QTEST_GUILESS_MAIN(tst_CommonTls)
#include "tst_commontls.moc"
