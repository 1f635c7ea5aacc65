#include "devserver.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

struct Reply {
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QByteArray location;
    bool timedOut = false;
};

// Sends the way the product's clients do: multipart form-data, one part per field, TLS peer
// verification off unless asked for.
Reply send(const QString &url, const QList<QPair<QString, QString>> &fields, bool verifyPeer = false,
           bool get = false) {
    QNetworkAccessManager nam;
    QNetworkRequest request{QUrl(url)};
    if (url.startsWith(QLatin1String("https"))) {
        QSslConfiguration tls = request.sslConfiguration();
        tls.setPeerVerifyMode(verifyPeer ? QSslSocket::VerifyPeer : QSslSocket::VerifyNone);
        tls.setProtocol(QSsl::TlsV1SslV3);
        request.setSslConfiguration(tls);
    }
    QNetworkReply *reply = nullptr;
    if (get) {
        reply = nam.get(request);
    } else {
        auto *multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        for (const auto &f : fields) {
            QHttpPart part;
            part.setHeader(QNetworkRequest::ContentDispositionHeader,
                           QStringLiteral("form-data; name=\"%1\"").arg(f.first));
            part.setBody(f.second.toUtf8());
            multi->append(part);
        }
        reply = nam.post(request, multi);
        multi->setParent(reply);
    }
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    limit.start(15000);
    loop.exec();
    Reply r;
    r.timedOut = !limit.isActive();
    r.error = reply->error();
    r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    r.body = reply->readAll();
    r.location = reply->rawHeader("Location");
    delete reply;
    return r;
}

const QString kLogin = QStringLiteral("ToolClientConfigManageApi/toolLogin");
// MD5 of "123456", and of "operator" + that + the signing key, as computed by md5sum.
const QString kPasswordMd5 = QStringLiteral("e10adc3949ba59abbe56e057f20f883e");
const QString kLoginSign = QStringLiteral("3b1abac4e15783b5946166f28b437c31");

QList<QPair<QString, QString>> loginFields(const QString &sign) {
    return {{QStringLiteral("account"), QStringLiteral("operator")},
            {QStringLiteral("password"), kPasswordMd5},
            {QStringLiteral("sign"), sign}};
}

QJsonObject json(const QByteArray &body) {
    return QJsonDocument::fromJson(body).object();
}

Reply get(const QString &url) {
    return send(url, {}, false, true);
}

// The ack of a correctly signed login at base.
QString loginAck(const QString &base) {
    return json(send(base + kLogin, loginFields(kLoginSign)).body).value("ack").toString();
}

} // namespace

class tst_DevServerControl : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void loginOverSchemes_data();
    void loginOverSchemes();
    void faultInjection_data();
    void faultInjection();
    void behaviourTimesAndPatterns();
    void limitedOffers();
    void recordsAndControl();
    void filesServedAndTrickled();
    void serverConfigFile();
    void stopEndsTheProcess();

private:
    DevServer m_server;
};

void tst_DevServerControl::initTestCase() {
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
}

void tst_DevServerControl::cleanupTestCase() {
    m_server.stop();
}

void tst_DevServerControl::init() {
    QVERIFY2(m_server.reset(), qPrintable(m_server.lastError()));
}

void tst_DevServerControl::loginOverSchemes_data() {
    QTest::addColumn<QStringList>("extraArgs");
    QTest::addColumn<bool>("https");
    QTest::addColumn<bool>("verifyPeer");
    QTest::addColumn<QString>("sign");
    QTest::addColumn<QString>("ack"); // empty: the transfer must fail

    const QString bad = QStringLiteral("00000000000000000000000000000000");
    QTest::newRow("http, good sign") << QStringList() << false << false << kLoginSign << "200";
    QTest::newRow("http, wrong sign") << QStringList() << false << false << bad << "403";
    QTest::newRow("https, good sign") << QStringList() << true << false << kLoginSign << "200";
    QTest::newRow("https, upper-case hex sign")
        << QStringList() << true << false << kLoginSign.toUpper() << "200";
    QTest::newRow("expired cert, no verification")
        << QStringList{QStringLiteral("--expired-cert")} << true << false << kLoginSign << "200";
    QTest::newRow("expired cert, verification on")
        << QStringList{QStringLiteral("--expired-cert")} << true << true << kLoginSign << "";
}

void tst_DevServerControl::loginOverSchemes() {
    QFETCH(QStringList, extraArgs);
    QFETCH(bool, https);
    QFETCH(bool, verifyPeer);
    QFETCH(QString, sign);
    QFETCH(QString, ack);

    DevServer own;
    DevServer *server = &m_server;
    if (!extraArgs.isEmpty()) {
        QVERIFY2(own.start(QString(), extraArgs), qPrintable(own.lastError()));
        server = &own;
    }
    const QString base = https ? server->httpsBase() : server->httpBase();
    QVERIFY(base.startsWith(https ? "https://127.0.0.1:" : "http://127.0.0.1:"));
    const Reply r = send(base + kLogin, loginFields(sign), verifyPeer);
    QVERIFY(!r.timedOut);
    if (ack.isEmpty()) {
        QCOMPARE(r.error, QNetworkReply::SslHandshakeFailedError);
        return;
    }
    QCOMPARE(r.error, QNetworkReply::NoError);
    const QJsonObject answer = json(r.body);
    QCOMPARE(answer.value("ack").toString(), ack);
    if (ack == "200")
        QVERIFY(!answer.value("data").toObject().value("loginToken").toString().isEmpty());

    const QJsonArray got = server->requests(kLogin);
    QCOMPARE(got.size(), 1);
    const QJsonObject rec = got.at(0).toObject();
    QCOMPARE(rec.value("scheme").toString(), https ? QString("https") : QString("http"));
    QCOMPARE(rec.value("signOk").toBool(), ack == "200");
    QCOMPARE(DevServer::fieldNames(rec), (QStringList{"account", "password", "sign"}));
    QCOMPARE(DevServer::fieldValue(rec, "password"), kPasswordMd5);
}

void tst_DevServerControl::faultInjection_data() {
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body"); // expected exact body; empty: not compared
    QTest::addColumn<QJsonValue>("ack");  // undefined: not compared
    QTest::addColumn<int>("minMs");

    const auto row = [](const char *name, const QJsonObject &behaviour, QNetworkReply::NetworkError error,
                        int status, const QByteArray &body = QByteArray(),
                        const QJsonValue &ack = QJsonValue(QJsonValue::Undefined), int minMs = 0) {
        QTest::newRow(name) << behaviour << int(error) << status << body << ack << minMs;
    };
    row("404", QJsonObject{{"status", 404}}, QNetworkReply::ContentNotFoundError, 404);
    row("500", QJsonObject{{"status", 500}}, QNetworkReply::InternalServerError, 500);
    row("204", QJsonObject{{"status", 204}}, QNetworkReply::NoError, 204);
    row("redirect", QJsonObject{{"redirect", "http://127.0.0.1:9/elsewhere"}}, QNetworkReply::NoError, 302);
    row("raw body", QJsonObject{{"body", "not json {"}}, QNetworkReply::NoError, 200, "not json {");
    row("numeric ack", QJsonObject{{"ack", 200}}, QNetworkReply::NoError, 200, {}, 200);
    row("string ack 500", QJsonObject{{"ack", "500"}}, QNetworkReply::NoError, 200, {}, "500");
    row("delay", QJsonObject{{"delayMs", 700}}, QNetworkReply::NoError, 200, {}, "200", 700);
    row("drop", QJsonObject{{"drop", true}}, QNetworkReply::RemoteHostClosedError, 0);
}

void tst_DevServerControl::faultInjection() {
    QFETCH(QJsonObject, behaviour);
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QJsonValue, ack);
    QFETCH(int, minMs);

    QVERIFY2(m_server.setBehaviour(kLogin, behaviour), qPrintable(m_server.lastError()));
    for (const bool https : {false, true}) {
        QElapsedTimer clock;
        clock.start();
        const Reply r =
            send((https ? m_server.httpsBase() : m_server.httpBase()) + kLogin, loginFields(kLoginSign));
        QVERIFY(!r.timedOut);
        QCOMPARE(int(r.error), error);
        QCOMPARE(r.status, status);
        QVERIFY(clock.elapsed() >= minMs);
        if (!body.isEmpty())
            QCOMPARE(r.body, body);
        if (status == 204)
            QVERIFY(r.body.isEmpty());
        if (behaviour.contains("redirect"))
            QCOMPARE(r.location, behaviour.value("redirect").toString().toUtf8());
        if (!ack.isUndefined())
            QCOMPARE(json(r.body).value("ack"), ack);
    }
    // Other paths are unaffected.
    const Reply other = get(m_server.httpBase() + "ProductionApi/login?position_id=W01&user_id=E1001");
    QCOMPARE(json(other.body).value("ack").toString(), QString("200"));
    // An empty behaviour removes it.
    QVERIFY(m_server.clearBehaviour(kLogin));
    QCOMPARE(loginAck(m_server.httpBase()), QString("200"));
}

void tst_DevServerControl::behaviourTimesAndPatterns() {
    QVERIFY(m_server.setBehaviour(kLogin, QJsonObject{{"status", 500}, {"times", 1}}));
    const QString login = m_server.httpBase() + kLogin;
    QCOMPARE(send(login, loginFields(kLoginSign)).status, 500);
    QCOMPARE(send(login, loginFields(kLoginSign)).status, 200);

    QVERIFY(m_server.setBehaviour("ToolClientConfigManageApi/*", QJsonObject{{"ack", "999"}}));
    QCOMPARE(loginAck(m_server.httpBase()), QString("999"));
    // The exact path wins over the pattern.
    QVERIFY(m_server.setBehaviour(kLogin, QJsonObject{{"ack", "111"}}));
    QCOMPARE(loginAck(m_server.httpBase()), QString("111"));
    // reset() drops every behaviour.
    QVERIFY(m_server.reset());
    QCOMPARE(loginAck(m_server.httpBase()), QString("200"));
}

// A package offered once only, counted as the installation tests read it.
void tst_DevServerControl::limitedOffers() {
    const QString path = QStringLiteral("ToolClientConfigManageApi/getProToolLastUpgradePackage");
    QJsonObject data = DevServer::demoData();
    QJsonArray tools = data.value("tools").toArray();
    for (int i = 0; i < tools.size(); ++i) {
        QJsonObject tool = tools.at(i).toObject();
        if (tool.value("proToolId").toString() == "101") {
            QJsonObject package = tool.value("package").toObject();
            package.insert("offerTimes", 1);
            tool.insert("package", package);
            tools.replace(i, tool);
        }
    }
    data.insert("tools", tools);
    QVERIFY(m_server.setData(data));

    const QString sign = QString::fromLatin1(
        QCryptographicHash::hash("100t1011.0.0.0r4wq%k#2SIGNKEY58", QCryptographicHash::Md5).toHex());
    const QList<QPair<QString, QString>> fields{{"controlProToolId", "100"},
                                                {"loginToken", "t"},
                                                {"proToolId", "101"},
                                                {"version", "1.0.0.0"},
                                                {"sign", sign}};
    QStringList offered;
    for (int i = 0; i < 2; ++i)
        offered << json(send(m_server.httpBase() + path, fields).body)
                       .value("data")
                       .toObject()
                       .value("versionNo")
                       .toString();
    QCOMPARE(offered, (QStringList{"2.1.0.0", ""}));
    QCOMPARE(m_server.offerCount("101"), 1);
    QVERIFY(m_server.reset());
    QCOMPARE(m_server.offerCount("101"), 0);
}

void tst_DevServerControl::recordsAndControl() {
    send(m_server.httpBase() + kLogin, loginFields("x"));
    get(m_server.httpBase() + "ProductionApi/login?position_id=W%2001&user_id=");
    QCOMPARE(m_server.requests().size(), 2);
    const QJsonArray station = m_server.requests("ProductionApi/login");
    QCOMPARE(station.size(), 1);
    const QJsonObject rec = station.at(0).toObject();
    QCOMPARE(rec.value("method").toString(), QString("GET"));
    QCOMPARE(DevServer::queryValue(rec, "position_id"), QString("W 01"));
    QVERIFY(rec.value("signOk").isNull());
    QVERIFY(rec.value("headers").toObject().contains("host"));

    QVERIFY(m_server.clearRequests());
    QCOMPARE(m_server.requests().size(), 0);
    // A bare "?" after the path reaches the server and is kept in the recorded target.
    get(m_server.httpBase() + "ProductionApi/login?");
    QCOMPARE(m_server.requests("ProductionApi/login").at(0).toObject().value("target").toString(),
             QString("/ProductionApi/login?"));
    QVERIFY(m_server.clearRequests());

    // Replacing the data set changes the answers; reset() brings the start-up set back.
    QJsonObject data = m_server.data();
    QCOMPARE(data.value("accounts").toArray().first().toObject().value("account").toString(),
             DevServer::demoAccount());
    data.insert("accounts", QJsonArray());
    QVERIFY(m_server.setData(data));
    QCOMPARE(loginAck(m_server.httpBase()), QString("303"));
    QVERIFY(m_server.reset());
    QCOMPARE(loginAck(m_server.httpBase()), QString("200"));
    QCOMPARE(m_server.requests().size(), 1);
    QVERIFY(m_server.waitForRequests(kLogin, 1, 100));
    QVERIFY(!m_server.waitForRequests(kLogin, 2, 100));
}

void tst_DevServerControl::filesServedAndTrickled() {
    const QByteArray content = QByteArray(3000, 'x') + "end";
    QVERIFY(TestFiles::write(m_server.filesDir() + "/sub/pkg.bin", content));

    Reply r = get(m_server.fileUrl("sub/pkg.bin", true));
    QCOMPARE(r.error, QNetworkReply::NoError);
    QCOMPARE(r.body, content);

    QVERIFY(m_server.setBehaviour(
        "files/*", QJsonObject{{"trickle", QJsonObject{{"chunkBytes", 1000}, {"intervalMs", 300}}}}));
    QElapsedTimer clock;
    clock.start();
    r = get(m_server.fileUrl("sub/pkg.bin"));
    QCOMPARE(r.body, content);
    QVERIFY(clock.elapsed() >= 900); // four chunks, three pauses

    QVERIFY(m_server.setBehaviour("files/*", QJsonObject{{"truncateAfter", 100}}));
    r = get(m_server.fileUrl("sub/pkg.bin"));
    QVERIFY(r.error != QNetworkReply::NoError || r.body.size() < content.size());

    QCOMPARE(get(m_server.fileUrl("missing.bin")).status, 404);
    // Demo pictures are generated when the server starts.
    QVERIFY(QFile::exists(m_server.filesDir() + "/product-D24010001.png"));
}

void tst_DevServerControl::serverConfigFile() {
    QTemporaryDir dir;
    QVERIFY(DevServer::writeServerConfig(dir.path(), m_server.httpBase(), QString(), m_server.httpsBase()));
    QSettings ini(dir.filePath("serverConfig.ini"), QSettings::IniFormat);
    QCOMPARE(ini.value("ServerDomainName/DomainName").toString(), m_server.httpBase());
    QCOMPARE(ini.value("ServerManagerName/DomainName").toString(), m_server.httpBase());
    QCOMPARE(ini.value("ServerPPCName/DomainName").toString(), m_server.httpsBase());
}

void tst_DevServerControl::stopEndsTheProcess() {
    DevServer own;
    QVERIFY2(own.startWithData(QJsonObject{{"accounts", QJsonArray()}}, {"--no-https"}),
             qPrintable(own.lastError()));
    QVERIFY(own.httpsBase().isEmpty());
    const QString base = own.httpBase();
    QCOMPARE(loginAck(base), QString("303"));
    own.stop();
    QVERIFY(!own.isRunning());
    QCOMPARE(send(base + kLogin, loginFields(kLoginSign)).error, QNetworkReply::ConnectionRefusedError);

    // Asked to quit over the control endpoint, as the tests under wine end it.
    DevServer asked;
    QVERIFY2(asked.startWithData(QJsonObject{{"accounts", QJsonArray()}}, {"--no-https"}),
             qPrintable(asked.lastError()));
    QNetworkAccessManager nam;
    QNetworkReply *reply = nam.post(QNetworkRequest(QUrl(asked.httpBase() + "__control/quit")), QByteArray());
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    reply->deleteLater();
    QTRY_VERIFY_WITH_TIMEOUT(!asked.isRunning(), 5000);
}

QTEST_GUILESS_MAIN(tst_DevServerControl)
#include "tst_devservercontrol.moc"
