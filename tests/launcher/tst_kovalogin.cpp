#include "applicationfolder.h"
#include "devserver.h"
#include "globals.h"
#include "imageresources.h"
#include "kovalogin.h"
#include "tovarin.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <memory>

namespace {

const char kLoginPath[] = "ToolClientConfigManageApi/toolLogin";

// Every trace line of the program while a test watches, in the order written.
QStringList *s_pTrace = nullptr;
QtMessageHandler s_previousHandler = nullptr;

void collectTrace(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (s_pTrace)
        s_pTrace->append(message);
    if (type != QtDebugMsg && s_previousHandler)
        s_previousHandler(type, context, message);
}

// How the configuration service's address is written in serverConfig.ini.
enum class Address { Http, Https, NoScheme, UpperCaseScheme, LocalhostName, UnresolvableName, ClosedPort };

} // namespace

Q_DECLARE_METATYPE(Address)

class TstKovaLogin : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loginOutcome_data();
    void loginOutcome();
    void secretsStayOutOfTrace_data();
    void secretsStayOutOfTrace();
    void emptyFields_data();
    void emptyFields();
    void networkCheck_data();
    void networkCheck();
    void networkCheckHost_data();
    void networkCheckHost();
    void rememberedAcrossStarts_data();
    void rememberedAcrossStarts();
    void storedLoginUser_data();
    void storedLoginUser();
    void keys_data();
    void keys();
    void secondLoginWhileBusyIsIgnored();
    void logFolderFollowsWorkingDirectory_data();
    void logFolderFollowsWorkingDirectory();
    void windowControls_data();
    void windowControls();
    void dragging_data();
    void dragging();
    void applicationEnd_data();
    void applicationEnd();
    void formTexts_data();
    void formTexts();
    void sleepKeepsWindowAlive_data();
    void sleepKeepsWindowAlive();

private:
    KovaLogin *createLogin();
    QString baseFor(Address address) const;
    void writeConfig(Address address);
    QString logText(const QString &folder) const;
    template <typename T> T *child(const char *name) {
        T *w = m_pLogin ? m_pLogin->findChild<T *>(QString::fromLatin1(name)) : nullptr;
        if (!w)
            qFatal("login window has no %s", name);
        return w;
    }

    DevServer m_server;
    std::unique_ptr<QTemporaryDir> m_pStation;
    std::unique_ptr<QTemporaryDir> m_pWorkDir;
    QString m_szOriginalCwd;
    KovaLogin *m_pLogin = nullptr;
    quint16 m_iClosedPort = 0; // a loopback port nobody listens on
};

void TstKovaLogin::initTestCase() {
    initImageResources();
    m_szOriginalCwd = QDir::currentPath();
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    m_iClosedPort = probe.serverPort();
}

void TstKovaLogin::init() {
    QVERIFY(m_server.reset());
    m_pStation.reset(new QTemporaryDir);
    m_pWorkDir.reset(new QTemporaryDir);
    QVERIFY(m_pStation->isValid() && m_pWorkDir->isValid());
    ApplicationFolder::setPathForTesting(m_pStation->path());
    QVERIFY(QDir::setCurrent(m_pStation->path()));
    writeConfig(Address::Http);
}

void TstKovaLogin::cleanup() {
    if (m_pLogin) {
        delete m_pLogin->mainWindow();
        delete m_pLogin;
        m_pLogin = nullptr;
    }
    QDir::setCurrent(m_szOriginalCwd);
    ApplicationFolder::setPathForTesting(QString());
    m_pStation.reset();
    m_pWorkDir.reset();
}

KovaLogin *TstKovaLogin::createLogin() {
    if (m_pLogin) {
        delete m_pLogin->mainWindow();
        delete m_pLogin;
    }
    m_pLogin = new KovaLogin;
    m_pLogin->show();
    return m_pLogin;
}

QString TstKovaLogin::baseFor(Address address) const {
    const QString port = QString::number(m_server.httpPort());
    switch (address) {
    case Address::Http:
        return m_server.httpBase();
    case Address::Https:
        return m_server.httpsBase();
    case Address::NoScheme:
        return QStringLiteral("127.0.0.1:%1/").arg(port);
    case Address::UpperCaseScheme:
        return QStringLiteral("HTTP://127.0.0.1:%1/").arg(port);
    case Address::LocalhostName:
        return QStringLiteral("http://localhost:%1/").arg(port);
    case Address::UnresolvableName:
        return QStringLiteral("http://no-such-host.invalid:%1/").arg(port);
    case Address::ClosedPort:
        return QStringLiteral("http://127.0.0.1:%1/").arg(m_iClosedPort);
    }
    return QString();
}

void TstKovaLogin::writeConfig(Address address) {
    // The other two services stay on the stand-in server, whatever the login address is.
    QVERIFY(DevServer::writeServerConfig(m_pStation->path(), baseFor(address), m_server.httpBase(),
                                         m_server.httpBase()));
}

QString TstKovaLogin::logText(const QString &folder) const {
    QString text;
    const QDir logDir(folder + QStringLiteral("/log"));
    for (const QString &name : logDir.entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name)) {
        QFile file(logDir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

void TstKovaLogin::loginOutcome_data() {
    QTest::addColumn<Address>("address");
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("requests");
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("passwordError");
    QTest::addColumn<QString>("logLine");

    const QString keep = QStringLiteral("previous-token");
    QTest::newRow("demo account over http")
        << Address::Http << QJsonObject() << "123456" << 1 << true << "tok-operator-0001"
        << ""
        << "";
    QTest::newRow("demo account over https")
        << Address::Https << QJsonObject() << "123456" << 1 << true << "tok-operator-0001"
        << ""
        << "";
    QTest::newRow("wrong password is 303")
        << Address::Http << QJsonObject() << "654321" << 1 << false << keep << "帐户或密码不正确"
        << "帐户或密码不正确";
    QTest::newRow("ack 500") << Address::Http << QJsonObject{{"ack", "500"}} << "123456" << 1 << false << keep
                             << ""
                             << "http请求出错,错误码:500";
    QTest::newRow("numeric ack 200 is an error")
        << Address::Http << QJsonObject{{"ack", 200}} << "123456" << 1 << false << keep << ""
        << "http请求出错,错误码:";
    QTest::newRow("answer that is not JSON")
        << Address::Http << QJsonObject{{"body", "<html>busy</html>"}} << "123456" << 1 << false << keep << ""
        << "http请求出错,错误码:";
    QTest::newRow("empty answer") << Address::Http << QJsonObject{{"body", ""}} << "123456" << 1 << false
                                  << keep << ""
                                  << "";
    QTest::newRow("status 204") << Address::Http << QJsonObject{{"status", 204}} << "123456" << 1 << false
                                << keep << ""
                                << "";
    QTest::newRow("200 without data logs in with an empty token")
        << Address::Http << QJsonObject{{"json", QJsonObject{{"ack", "200"}}}} << "123456" << 1 << true << ""
        << ""
        << "";
    QTest::newRow("address without scheme sends nothing")
        << Address::NoScheme << QJsonObject() << "123456" << 0 << false << keep << ""
        << "";
    QTest::newRow("upper-case scheme sends nothing")
        << Address::UpperCaseScheme << QJsonObject() << "123456" << 0 << false << keep << ""
        << "";
}

void TstKovaLogin::loginOutcome() {
    QFETCH(Address, address);
    QFETCH(QJsonObject, behaviour);
    QFETCH(QString, password);
    QFETCH(int, requests);
    QFETCH(bool, loggedIn);
    QFETCH(QString, token);
    QFETCH(QString, passwordError);
    QFETCH(QString, logLine);

    writeConfig(address);
    if (!behaviour.isEmpty())
        QVERIFY(m_server.setBehaviour(QString::fromLatin1(kLoginPath), behaviour));

    KovaLogin *login = createLogin();
    m_szLoginToken = QStringLiteral("previous-token");
    auto *button = child<QPushButton>("qbtnLogin");
    const QString buttonStyle = button->styleSheet();

    child<QLineEdit>("lineAccount")->setText(DevServer::demoAccount());
    child<QLineEdit>("linePassword")->setText(password);
    QTest::mouseClick(button, Qt::LeftButton);

    const QJsonArray got = m_server.requests(QString::fromLatin1(kLoginPath));
    QCOMPARE(got.size(), requests);
    if (requests > 0) {
        const QJsonObject request = got.at(0).toObject();
        QCOMPARE(DevServer::fieldNames(request), QStringList({"account", "password", "sign"}));
        QCOMPARE(DevServer::fieldValue(request, "account"), DevServer::demoAccount());
        const QString passwordMd5 = QString::fromLatin1(
            QCryptographicHash::hash(password.toLatin1(), QCryptographicHash::Md5).toHex());
        QCOMPARE(DevServer::fieldValue(request, "password"), passwordMd5);
        QVERIFY(request.value("signOk").toBool());
    }

    QCOMPARE(m_szLoginToken, token);
    QCOMPARE(login->mainWindow()->isVisible(), loggedIn);
    QCOMPARE(login->isVisible(), !loggedIn);
    QCOMPARE(button->isEnabled(), true);
    QCOMPARE(button->styleSheet(), buttonStyle);

    auto *error = child<QLabel>("labPasswordError");
    QCOMPARE(error->isVisible(), !passwordError.isEmpty());
    if (!passwordError.isEmpty())
        QCOMPARE(error->text(), passwordError);

    const QString log = logText(m_pStation->path());
    if (logLine.isEmpty()) {
        QCOMPARE(log, QString());
    } else {
        const QRegularExpression line(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}    ") +
                                      QRegularExpression::escape(logLine) + QStringLiteral("\r\n$"));
        QVERIFY2(line.match(log).hasMatch(), qPrintable(log));
    }

    const QString mainSet = m_pStation->filePath(QStringLiteral("MAINSET.ini"));
    if (!loggedIn) {
        QVERIFY2(!QFile::exists(mainSet), "MAINSET.ini written on a failed login");
        QCOMPARE(child<QLineEdit>("lineAccount")->text(), DevServer::demoAccount());
        QCOMPARE(child<QLineEdit>("linePassword")->text(), password);
        return;
    }
    QSettings settings(mainSet, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    QCOMPARE(settings.value("LoginUser/Account").toString(), DevServer::demoAccount());
    QCOMPARE(settings.value("LoginUser/Password").toString(), QStringLiteral("MTIzNDU2"));
    QCOMPARE(settings.value("LoginUser/bRememberPSW").toString(), QStringLiteral("false"));

    // The main window took the account over and shows it in its title bar.
    auto *accountLabel = login->mainWindow()->findChild<QLabel *>(QStringLiteral("labelAccountInfo"));
    QVERIFY(accountLabel);
    QCOMPARE(accountLabel->text(), DevServer::demoAccount());
}

void TstKovaLogin::secretsStayOutOfTrace_data() {
    QTest::addColumn<Address>("address");
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("lines"); // patterns of trace lines that must still be written

    const QString hashed = QStringLiteral("^test:: password : e10a\\*\\*\\*$");
    const QStringList loggedIn{hashed, "^resultHttp: .*tok-\\*\\*\\*", "^m_szLoginToken: \"tok-\\*\\*\\*\"$",
                               // The main window's first show: the dealer list and the update check.
                               "^msg: .*own-\\*\\*\\*", "^test:: loginToken : own-\\*\\*\\*$",
                               "^test:: loginToken : tok-\\*\\*\\*$", "^resultHttpObj: "};
    QTest::newRow("login over http and the main window's requests")
        << Address::Http << QJsonObject() << "123456" << loggedIn;
    QTest::newRow("login over https and the main window's requests")
        << Address::Https << QJsonObject() << "123456" << loggedIn;
    QTest::newRow("refused login") << Address::Http << QJsonObject() << "654321"
                                   << QStringList{"^test:: password : c333\\*\\*\\*$", "^resultHttp: .*303"};
    QTest::newRow("token in an answer that is refused")
        << Address::Https << QJsonObject{{"ack", "500"}} << "123456"
        << QStringList{hashed, "^resultHttp: .*tok-\\*\\*\\*"};
}

void TstKovaLogin::secretsStayOutOfTrace() {
    QFETCH(Address, address);
    QFETCH(QJsonObject, behaviour);
    QFETCH(QString, password);
    QFETCH(QStringList, lines);

    writeConfig(address);
    // The launcher's own id, so that the main window's update check asks with the token.
    QFile configSet(m_pStation->filePath(QStringLiteral("CONFIGSET.ini")));
    QVERIFY(configSet.open(QIODevice::WriteOnly));
    configSet.write("[Tovarin]\nID=100\nExe=Tovarin\n");
    configSet.close();
    if (!behaviour.isEmpty())
        QVERIFY(m_server.setBehaviour(QString::fromLatin1(kLoginPath), behaviour));
    QStringList trace;
    s_pTrace = &trace;
    s_previousHandler = qInstallMessageHandler(collectTrace);
    const auto restore = qScopeGuard([] {
        qInstallMessageHandler(s_previousHandler);
        s_pTrace = nullptr;
    });

    createLogin();
    child<QLineEdit>("lineAccount")->setText(DevServer::demoAccount());
    child<QLineEdit>("linePassword")->setText(password);
    QTest::mouseClick(child<QPushButton>("qbtnLogin"), Qt::LeftButton);
    QVERIFY(!m_server.requests(QString::fromLatin1(kLoginPath)).isEmpty());

    const QString hash =
        QString::fromLatin1(QCryptographicHash::hash(password.toLatin1(), QCryptographicHash::Md5).toHex());
    const QStringList secrets{hash, "tok-operator-0001", "own-operator-0001"};
    const QString log = logText(m_pStation->path());
    for (const QString &secret : secrets) {
        for (const QString &line : qAsConst(trace))
            QVERIFY2(!line.contains(secret), qPrintable(line));
        QVERIFY2(!log.contains(secret), qPrintable(log));
    }
    for (const QString &pattern : lines) {
        const QRegularExpression wanted(pattern);
        QVERIFY2(std::any_of(trace.cbegin(), trace.cend(),
                             [&wanted](const QString &line) { return wanted.match(line).hasMatch(); }),
                 qPrintable(pattern + "\n" + trace.join('\n')));
    }
}

void TstKovaLogin::emptyFields_data() {
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("accountError");
    QTest::addColumn<QString>("passwordError");

    QTest::newRow("both empty") << ""
                                << ""
                                << "请输入账号"
                                << "";
    QTest::newRow("account empty") << ""
                                   << "123456"
                                   << "请输入账号"
                                   << "";
    QTest::newRow("password empty") << "operator"
                                    << ""
                                    << ""
                                    << "请输入密码";
}

void TstKovaLogin::emptyFields() {
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(QString, accountError);
    QFETCH(QString, passwordError);

    createLogin();
    child<QLineEdit>("lineAccount")->setText(account);
    child<QLineEdit>("linePassword")->setText(password);
    QTest::mouseClick(child<QPushButton>("qbtnLogin"), Qt::LeftButton);

    QCOMPARE(m_server.requests(QString::fromLatin1(kLoginPath)).size(), 0);
    const struct {
        const char *name;
        QString text;
    } labels[] = {{"labAccountError", accountError}, {"labPasswordError", passwordError}};
    for (const auto &expected : labels) {
        auto *label = child<QLabel>(expected.name);
        QCOMPARE(label->isVisible(), !expected.text.isEmpty());
        if (!expected.text.isEmpty()) {
            QCOMPARE(label->text(), expected.text);
            QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::red));
        }
    }
    QVERIFY(child<QPushButton>("qbtnLogin")->isEnabled());
    QVERIFY(!QFile::exists(m_pStation->filePath(QStringLiteral("MAINSET.ini"))));
}

void TstKovaLogin::networkCheck_data() {
    QTest::addColumn<Address>("address");
    QTest::addColumn<int>("lookupDelayMs");
    QTest::addColumn<int>("requests");
    QTest::addColumn<bool>("noNetworkShown");

    // A host name has to be looked up, and the very first press must wait for that answer.
    QTest::newRow("name resolves at once") << Address::LocalhostName << 0 << 1 << false;
    QTest::newRow("name resolves after 1.5 s") << Address::LocalhostName << 1500 << 1 << false;
    QTest::newRow("name does not resolve") << Address::UnresolvableName << 0 << 0 << true;
    QTest::newRow("name service slower than the limit")
        << Address::LocalhostName << KovaLogin::kLookupTimeoutMs + 3000 << 0 << true;
    // A numeric address is checked by connecting to it.
    QTest::newRow("numeric address") << Address::Http << 0 << 1 << false;
    QTest::newRow("numeric address, nothing listening") << Address::ClosedPort << 0 << 0 << true;
}

void TstKovaLogin::networkCheck() {
    QFETCH(Address, address);
    QFETCH(int, lookupDelayMs);
    QFETCH(int, requests);
    QFETCH(bool, noNetworkShown);

    writeConfig(address);
    KovaLogin::setLookupDelayForTesting(lookupDelayMs);
    auto restore = qScopeGuard([] { KovaLogin::setLookupDelayForTesting(0); });
    createLogin();
    child<QLineEdit>("lineAccount")->setText(DevServer::demoAccount());
    child<QLineEdit>("linePassword")->setText(DevServer::demoPassword());

    // The window keeps processing events while it waits.
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(100);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(child<QPushButton>("qbtnLogin"), Qt::LeftButton);
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(m_server.requests(QString::fromLatin1(kLoginPath)).size(), requests);
    QCOMPARE(child<QLabel>("labNetword")->isVisible(), noNetworkShown);
    QCOMPARE(child<QLabel>("labexclamationMake")->isVisible(), noNetworkShown);
    QCOMPARE(m_pLogin->mainWindow()->isVisible(), requests > 0);
    // A check that outwaited its limit would have got the late answer and sent the request; the
    // outcome above proves the limit, so no wall-time ceiling here.
    if (lookupDelayMs > 0) {
        QVERIFY2(elapsed >= qMin(lookupDelayMs, KovaLogin::kLookupTimeoutMs) * 94 / 100,
                 qPrintable(QString::number(elapsed)));
        // The window was served during the wait (counted, not a share of the wall time).
        QVERIFY2(ticks >= 2, qPrintable(QString::number(ticks)));
    }
}

void TstKovaLogin::networkCheckHost_data() {
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port"); // connected to when the host is numeric

    QTest::newRow("http address") << "http://10.20.30.40:8080/"
                                  << "10.20.30.40" << 8080;
    QTest::newRow("https address without port") << "https://10.20.30.40/"
                                                << "10.20.30.40" << 443;
    QTest::newRow("https name") << "https://cfg.factory.lan/"
                                << "cfg.factory.lan" << 443;
    QTest::newRow("upper-case scheme and host") << "HTTP://Cfg.Factory.LAN/"
                                                << "cfg.factory.lan" << 80;
    QTest::newRow("no scheme, with port") << "cfg.factory.lan:8080/"
                                          << "cfg.factory.lan" << 8080;
    QTest::newRow("no scheme, numeric") << "192.168.1.5:80/"
                                        << "192.168.1.5" << 80;
    QTest::newRow("nothing configured") << ""
                                        << "www.baidu.com" << 80;
    QTest::newRow("blank") << "   "
                           << "www.baidu.com" << 80;
    QTest::newRow("scheme without host") << "http:///"
                                         << "www.baidu.com" << 80;
}

void TstKovaLogin::networkCheckHost() {
    QFETCH(QString, domain);
    QFETCH(QString, host);
    QFETCH(int, port);
    QCOMPARE(KovaLogin::networkCheckHost(domain), host);
    QCOMPARE(int(KovaLogin::networkCheckPort(domain)), port);
}

void TstKovaLogin::rememberedAcrossStarts_data() {
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("remember");

    QTest::newRow("remembered") << "operator"
                                << "123456" << true;
    QTest::newRow("not remembered") << "operator"
                                    << "123456" << false;
    QTest::newRow("non-ASCII, remembered") << "工号7"
                                           << "密码ü9 ok" << true;
    QTest::newRow("non-ASCII, not remembered") << "工号7"
                                               << "密码ü9 ok" << false;
}

void TstKovaLogin::rememberedAcrossStarts() {
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(bool, remember);

    QJsonObject data = DevServer::demoData();
    QJsonArray accounts = data.value("accounts").toArray();
    accounts.append(QJsonObject{{"account", "工号7"},
                                {"password", "密码ü9 ok"},
                                {"nickName", "七号"},
                                {"loginToken", "tok-seven"},
                                {"ownershipToken", "own-seven"},
                                {"dealers", QJsonArray()}});
    data.insert("accounts", accounts);
    QVERIFY(m_server.setData(data));

    // First start: nothing remembered yet.
    createLogin();
    QCOMPARE(child<QLineEdit>("lineAccount")->text(), QString());
    QCOMPARE(child<QLineEdit>("linePassword")->text(), QString());
    child<QLineEdit>("lineAccount")->setText(account);
    child<QLineEdit>("linePassword")->setText(password);
    child<QCheckBox>("checkBoxPwd")->setChecked(remember);
    QTest::mouseClick(child<QPushButton>("qbtnLogin"), Qt::LeftButton);
    QVERIFY2(m_pLogin->mainWindow()->isVisible(), "login failed");

    // The password is stored, remembered or not, as Base64 of its UTF-8 bytes.
    QSettings settings(m_pStation->filePath(QStringLiteral("MAINSET.ini")), QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    QCOMPARE(settings.value("LoginUser/Account").toString(), account);
    QCOMPARE(settings.value("LoginUser/Password").toString(),
             QString::fromLatin1(password.toUtf8().toBase64()));
    QCOMPARE(settings.value("LoginUser/bRememberPSW").toString(),
             remember ? QStringLiteral("true") : QStringLiteral("false"));

    // Second start.
    createLogin();
    QCOMPARE(child<QLineEdit>("lineAccount")->text(), account);
    QCOMPARE(child<QLineEdit>("linePassword")->text(), remember ? password : QString());
    QCOMPARE(child<QCheckBox>("checkBoxPwd")->isChecked(), remember);
}

void TstKovaLogin::storedLoginUser_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("checked");

    QTest::newRow("no file") << QByteArray() << ""
                             << "" << false;
    QTest::newRow("remembered")
        << QByteArray("[LoginUser]\r\nAccount=op1\r\nPassword=YWJjZGVm\r\nbRememberPSW=true\r\n") << "op1"
        << "abcdef" << true;
    QTest::newRow("flag missing") << QByteArray("[LoginUser]\r\nAccount=op1\r\nPassword=YWJjZGVm\r\n")
                                  << "op1"
                                  << "" << false;
    QTest::newRow("remembered without password")
        << QByteArray("[LoginUser]\r\nAccount=op1\r\nPassword=\r\nbRememberPSW=true\r\n") << "op1"
        << "" << false;
    QTest::newRow("password without account")
        << QByteArray("[LoginUser]\r\nPassword=YWJjZGVm\r\nbRememberPSW=true\r\n") << ""
        << "abcdef" << true;
    QTest::newRow("UTF-8 account and password")
        << QByteArray("[LoginUser]\r\nAccount=\xe5\xb7\xa5\xe5\x8f\xb7\r\nPassword=5a+G56CB\r\nbRememberPSW="
                      "true\r\n")
        << "工号"
        << "密码" << true;
    QTest::newRow("other groups only") << QByteArray("[UserInfo]\r\nUserPosition=A1\r\n") << ""
                                       << "" << false;
}

void TstKovaLogin::storedLoginUser() {
    QFETCH(QByteArray, ini);
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(bool, checked);

    if (!ini.isNull()) {
        QFile file(m_pStation->filePath(QStringLiteral("MAINSET.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
    }
    createLogin();
    QCOMPARE(child<QLineEdit>("lineAccount")->text(), account);
    QCOMPARE(child<QLineEdit>("linePassword")->text(), password);
    QCOMPARE(child<QCheckBox>("checkBoxPwd")->isChecked(), checked);
    QCOMPARE(child<QLineEdit>("linePassword")->echoMode(), QLineEdit::Password);
}

void TstKovaLogin::keys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("requests");

    QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier) << 1;
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 1;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << int(Qt::NoModifier) << 0;
    QTest::newRow("Space") << int(Qt::Key_Space) << int(Qt::NoModifier) << 0;
}

void TstKovaLogin::keys() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, requests);

    createLogin();
    child<QLineEdit>("lineAccount")->setText(DevServer::demoAccount());
    auto *password = child<QLineEdit>("linePassword");
    password->setText(DevServer::demoPassword());
    QTest::keyClick(password, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

    QCOMPARE(m_server.requests(QString::fromLatin1(kLoginPath)).size(), requests);
    QCOMPARE(m_pLogin->mainWindow()->isVisible(), requests > 0);
}

void TstKovaLogin::secondLoginWhileBusyIsIgnored() {
    // The request waits in a local event loop; Return pressed meanwhile must not log in twice.
    QVERIFY(m_server.setBehaviour(QString::fromLatin1(kLoginPath), QJsonObject{{"delayMs", 800}}));
    createLogin();
    child<QLineEdit>("lineAccount")->setText(DevServer::demoAccount());
    child<QLineEdit>("linePassword")->setText(DevServer::demoPassword());

    bool buttonDisabledMeanwhile = false;
    bool pressed = false;
    QTimer::singleShot(300, m_pLogin, [&] {
        buttonDisabledMeanwhile = !child<QPushButton>("qbtnLogin")->isEnabled();
        QTest::keyClick(child<QLineEdit>("linePassword"), Qt::Key_Return);
        pressed = true;
    });
    QTest::mouseClick(child<QPushButton>("qbtnLogin"), Qt::LeftButton);

    QVERIFY(pressed);
    QVERIFY(buttonDisabledMeanwhile);
    QCOMPARE(m_server.requests(QString::fromLatin1(kLoginPath)).size(), 1);
    QVERIFY(m_pLogin->mainWindow()->isVisible());
}

void TstKovaLogin::logFolderFollowsWorkingDirectory_data() {
    QTest::addColumn<bool>("startedElsewhere");
    QTest::newRow("started in its own folder") << false;
    QTest::newRow("started from another folder") << true;
}

void TstKovaLogin::logFolderFollowsWorkingDirectory() {
    QFETCH(bool, startedElsewhere);

    const QString workDir = startedElsewhere ? m_pWorkDir->path() : m_pStation->path();
    const QString otherDir = startedElsewhere ? m_pStation->path() : m_pWorkDir->path();
    QVERIFY(QDir::setCurrent(workDir));

    createLogin();
    child<QLineEdit>("lineAccount")->setText(DevServer::demoAccount());
    child<QLineEdit>("linePassword")->setText(QStringLiteral("wrong"));
    QTest::mouseClick(child<QPushButton>("qbtnLogin"), Qt::LeftButton);

    QVERIFY(logText(workDir).contains(QStringLiteral("    帐户或密码不正确\r\n")));
    QVERIFY(!QDir(otherDir + QStringLiteral("/log")).exists());
}

void TstKovaLogin::windowControls_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<bool>("visibleAfter");

    QTest::newRow("close") << "qbtnLoginClose" << false;
    QTest::newRow("minimise") << "qbtnLoginHide" << true;
    QTest::newRow("show password") << "checkBoxEye" << true;
}

void TstKovaLogin::windowControls() {
    QFETCH(QString, control);
    QFETCH(bool, visibleAfter);

    createLogin();
    auto *password = child<QLineEdit>("linePassword");
    QCOMPARE(password->echoMode(), QLineEdit::Password);

    auto *button = m_pLogin->findChild<QAbstractButton *>(control);
    QVERIFY(button);
    button->click();

    QCOMPARE(m_pLogin->isVisible(), visibleAfter);
    QCOMPARE(m_pLogin->windowState().testFlag(Qt::WindowMinimized), control == "qbtnLoginHide");
    QCOMPARE(password->echoMode(), control == "checkBoxEye" ? QLineEdit::Normal : QLineEdit::Password);
    if (control == "checkBoxEye") {
        button->click();
        QCOMPARE(password->echoMode(), QLineEdit::Password);
    }
    QVERIFY(!m_pLogin->mainWindow()->isVisible());
}

void TstKovaLogin::dragging_data() {
    QTest::addColumn<int>("pressButton");
    QTest::addColumn<int>("heldButtons");
    QTest::addColumn<QPoint>("moveBy");
    QTest::addColumn<QPoint>("expectedShift");

    QTest::newRow("left button drags")
        << int(Qt::LeftButton) << int(Qt::LeftButton) << QPoint(40, -25) << QPoint(40, -25);
    QTest::newRow("right button does not")
        << int(Qt::RightButton) << int(Qt::RightButton) << QPoint(40, 25) << QPoint(0, 0);
    QTest::newRow("left and right held does not")
        << int(Qt::LeftButton) << int(Qt::LeftButton | Qt::RightButton) << QPoint(40, 25) << QPoint(0, 0);
}

void TstKovaLogin::dragging() {
    QFETCH(int, pressButton);
    QFETCH(int, heldButtons);
    QFETCH(QPoint, moveBy);
    QFETCH(QPoint, expectedShift);

    KovaLogin *login = createLogin();
    login->move(100, 100);
    const QPoint start = login->pos();
    const QPoint local(30, 30);
    const QPoint global = login->mapToGlobal(local);

    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::MouseButton(pressButton),
                      Qt::MouseButtons(pressButton), Qt::NoModifier);
    QApplication::sendEvent(login, &press);
    QMouseEvent move(QEvent::MouseMove, local + moveBy, global + moveBy, Qt::NoButton,
                     Qt::MouseButtons(heldButtons), Qt::NoModifier);
    QApplication::sendEvent(login, &move);

    QCOMPARE(login->pos(), start + expectedShift);
}

void TstKovaLogin::applicationEnd_data() {
    QTest::addColumn<bool>("logInFirst");
    QTest::addColumn<int>("exitCode");

    // The application only quits on its last window while its event loop runs.
    QTest::newRow("closing the login window ends the application") << false << 0;
    QTest::newRow("after a login the login window closes, the application stays") << true << 77;
}

void TstKovaLogin::applicationEnd() {
    QFETCH(bool, logInFirst);
    QFETCH(int, exitCode);

    createLogin();
    child<QLineEdit>("lineAccount")->setText(DevServer::demoAccount());
    child<QLineEdit>("linePassword")->setText(DevServer::demoPassword());
    QTimer::singleShot(0, m_pLogin, [&] {
        QTest::mouseClick(child<QPushButton>(logInFirst ? "qbtnLogin" : "qbtnLoginClose"), Qt::LeftButton);
    });
    QTimer stillRunning;
    stillRunning.setSingleShot(true);
    connect(&stillRunning, &QTimer::timeout, qApp, [] { QCoreApplication::exit(77); });
    stillRunning.start(logInFirst ? 3000 : 10000);

    QCOMPARE(QCoreApplication::exec(), exitCode);
    QCOMPARE(m_pLogin->isVisible(), false);
    QCOMPARE(m_pLogin->mainWindow()->isVisible(), logInFirst);
}

void TstKovaLogin::formTexts_data() {
    QTest::addColumn<QString>("object");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("text");

    // Character for character, blanks included.
    QTest::newRow("window title") << "" << QByteArray("windowTitle") << "NORVEXA 产测工具";
    QTest::newRow("application name") << "qlabLoginAppName" << QByteArray("text") << "NORVEXA产测工具";
    QTest::newRow("version") << "labVersion" << QByteArray("text") << "v.1.1.1.2";
    QTest::newRow("login button") << "qbtnLogin" << QByteArray("text") << "登录";
    QTest::newRow("minimise") << "qbtnLoginHide" << QByteArray("text") << QString(QChar(0x2014)); // em dash
    QTest::newRow("close") << "qbtnLoginClose" << QByteArray("text")
                           << QString(QChar(0xd7)); // multiplication sign
    QTest::newRow("remember password") << "checkBoxPwd" << QByteArray("text") << "记住密码";
    QTest::newRow("no network") << "labNetword" << QByteArray("text") << "      网络状态不佳，请检查网络连接";
    QTest::newRow("account placeholder") << "lineAccount" << QByteArray("placeholderText") << "请输入账号";
    QTest::newRow("password placeholder") << "linePassword" << QByteArray("placeholderText") << "请输入密码";
}

void TstKovaLogin::formTexts() {
    QFETCH(QString, object);
    QFETCH(QByteArray, property);
    QFETCH(QString, text);

    createLogin();
    QObject *target =
        object.isEmpty() ? static_cast<QObject *>(m_pLogin) : m_pLogin->findChild<QObject *>(object);
    QVERIFY(target);
    QCOMPARE(target->property(property.constData()).toString(), text);

    // The pictures of the form come from the bundle.
    QVERIFY(!m_pLogin->windowIcon().isNull());
    for (const char *name : {"labAcc", "labPwd", "labexclamationMake"}) {
        QVERIFY2(!child<QLabel>(name)->pixmap(Qt::ReturnByValue).isNull(), name);
    }
}

void TstKovaLogin::sleepKeepsWindowAlive_data() {
    QTest::addColumn<int>("ms");
    QTest::newRow("nothing") << 0;
    QTest::newRow("shorter than one pass") << 60;
    QTest::newRow("several passes") << 450;
}

void TstKovaLogin::sleepKeepsWindowAlive() {
    QFETCH(int, ms);

    createLogin();
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    // The new window's first paint is not the wait's cost: let it happen before measuring.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    ticker.start(10);
    QElapsedTimer clock;
    const std::clock_t cpuBefore = std::clock();
    clock.start();
    m_pLogin->Sleep(ms);
    const qint64 elapsed = clock.elapsed();
    const double cpuMs = double(std::clock() - cpuBefore) * 1000.0 / CLOCKS_PER_SEC;

    // Never shorter; how much longer depends only on how busy the machine is.
    QVERIFY2(elapsed >= ms, qPrintable(QString::number(elapsed)));
    // Events go on being handled meanwhile: the ticker's first timeout (10 ms) falls within any
    // wait, and a wait of several passes wakes, and handles it, more than once. Counted, not
    // derived from the wall time, which a loaded machine stretches.
    if (ms > 0)
        QVERIFY2(ticks >= (ms > 100 ? 2 : 1), qPrintable(QString::number(ticks)));
    // The wait does not spin: a spinning loop would burn about as much processor time as the wait
    // took (or its share of a busy processor); waiting costs a small fraction of it.
    QVERIFY2(cpuMs < 30 + elapsed / 4, qPrintable(QStringLiteral("%1 ms of %2").arg(cpuMs).arg(elapsed)));
}

QTEST_MAIN(TstKovaLogin)
#include "tst_kovalogin.moc"
