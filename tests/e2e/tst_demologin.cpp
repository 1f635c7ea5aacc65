// The real launcher on a virtual X display of its own, in a station folder laid out like the
// demo one, driven with keyboard and mouse through xdotool as an operator would.

#include "devserver.h"
#include "testpaths.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSharedMemory>
#include <QStandardPaths>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace {

const char kLoginPath[] = "ToolClientConfigManageApi/toolLogin";
const char kWindowTitle[] = "NORVEXA 产测工具";

// The login form has a fixed size of 820 x 500; its login button is centred here.
const QPoint kLoginButtonCentre(600, 389);

enum class Submit { LoginButton, ReturnKey };

struct Launcher {
    std::unique_ptr<QProcess> process{new QProcess};
    QByteArray output;
};

} // namespace

Q_DECLARE_METATYPE(Submit)

class TstDemoLogin : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void login_data();
    void login();
    void secondLauncherRefused_data();
    void secondLauncherRefused();

private:
    Launcher *startLauncher(const QString &workDir);
    QByteArray xdo(const QStringList &arguments, bool *ok = nullptr);
    QStringList visibleWindows(Launcher *launcher);
    QString waitForWindow(Launcher *launcher, const QString &other = QString());
    void enterCredentials(const QString &window, const QString &password, Submit submit);
    QString logText() const;
    void snapshot(const QString &name);

    QTemporaryDir m_ipcDir; // the launchers' single-instance key, away from any other launcher
    QProcess m_xvfb;
    QProcessEnvironment m_env;
    DevServer m_server;
    std::unique_ptr<QTemporaryDir> m_pStation;
    std::vector<std::unique_ptr<Launcher>> m_launchers;
};

void TstDemoLogin::initTestCase() {
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("needs Xvfb and xdotool");
    QVERIFY2(QFile::exists(TestPaths::programPath("Tovarin")), "build the Tovarin program first");
    QVERIFY(m_ipcDir.isValid());
    qputenv("TMPDIR", QFile::encodeName(m_ipcDir.path()));

    // A display number nobody else uses, picked by the server itself. Without -noreset the
    // server resets when the last launcher of a case ends, and refuses the next one meanwhile.
    m_xvfb.start(xvfb, {"-displayfd", "1", "-screen", "0", "1600x1000x24", "-nolisten", "tcp", "-noreset"});
    QVERIFY2(m_xvfb.waitForStarted(10000), qPrintable(m_xvfb.errorString()));
    QByteArray number;
    QTRY_VERIFY_WITH_TIMEOUT((number += m_xvfb.readAllStandardOutput()).contains('\n'), 15000);
    const QString display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());

    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("DISPLAY"), display);
    m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    m_env.insert(QStringLiteral("TMPDIR"), m_ipcDir.path());
    m_env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    m_env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    m_env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=true"));

    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
}

void TstDemoLogin::cleanupTestCase() {
    if (m_xvfb.state() != QProcess::NotRunning) {
        m_xvfb.terminate();
        if (!m_xvfb.waitForFinished(5000))
            m_xvfb.kill();
        m_xvfb.waitForFinished(5000);
    }
    // The guard's semaphores outlive their key files; taking them over and dropping them
    // removes them from the system.
    if (m_env.contains(QStringLiteral("DISPLAY"))) {
        for (const char *key : {"SingleApp", "SingleAppLock"})
            QSystemSemaphore(QString::fromLatin1(key), 1, QSystemSemaphore::Create);
    }
}

void TstDemoLogin::init() {
    QVERIFY(m_server.reset());
    m_pStation.reset(new QTemporaryDir);
    QVERIFY(m_pStation->isValid());
    const QString station = m_pStation->path();
    QVERIFY(QFile::copy(TestPaths::programPath("Tovarin"), station + QStringLiteral("/Tovarin")));
    QVERIFY(DevServer::writeServerConfig(station, m_server.httpBase()));
    QFile config(station + QStringLiteral("/CONFIGSET.ini"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[MainConfig]\r\nbEmpWorkCheck=false\r\n\r\n[Tovarin]\r\nID=100\r\nExe=Tovarin\r\n\r\n"
                 "[AbandonID]\r\n");
}

void TstDemoLogin::cleanup() {
    for (auto &launcher : m_launchers) {
        if (launcher->process->state() != QProcess::NotRunning) {
            launcher->process->kill();
            launcher->process->waitForFinished(5000);
        }
    }
    m_launchers.clear();
    // A killed launcher leaves its segment behind; do not leave it in the system.
    QSharedMemory orphan(QStringLiteral("SingleApp"));
    if (orphan.attach())
        orphan.detach();
    m_pStation.reset();
}

Launcher *TstDemoLogin::startLauncher(const QString &workDir) {
    m_launchers.emplace_back(new Launcher);
    Launcher *launcher = m_launchers.back().get();
    launcher->process->setProcessEnvironment(m_env);
    launcher->process->setProcessChannelMode(QProcess::MergedChannels);
    launcher->process->setWorkingDirectory(workDir);
    connect(launcher->process.get(), &QProcess::readyRead, this,
            [launcher] { launcher->output += launcher->process->readAll(); });
    launcher->process->start(m_pStation->path() + QStringLiteral("/Tovarin"), QStringList());
    launcher->process->waitForStarted(10000);
    return launcher;
}

QByteArray TstDemoLogin::xdo(const QStringList &arguments, bool *ok) {
    QProcess xdotool;
    xdotool.setProcessEnvironment(m_env);
    xdotool.start(QStringLiteral("xdotool"), arguments);
    const bool finished = xdotool.waitForFinished(10000);
    if (!finished) {
        xdotool.kill();
        xdotool.waitForFinished(2000);
    }
    if (ok)
        *ok = finished && xdotool.exitStatus() == QProcess::NormalExit && xdotool.exitCode() == 0;
    return xdotool.readAllStandardOutput();
}

QStringList TstDemoLogin::visibleWindows(Launcher *launcher) {
    const QByteArray out = xdo({"search", "--all", "--onlyvisible", "--pid",
                                QString::number(launcher->process->processId()), "--name", "NORVEXA"});
    return QString::fromLatin1(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Waits for a visible window of the launcher other than the given one and returns its id.
QString TstDemoLogin::waitForWindow(Launcher *launcher, const QString &other) {
    QStringList windows;
    const auto found = [&] {
        windows = visibleWindows(launcher);
        windows.removeAll(other);
        return !windows.isEmpty() || launcher->process->state() == QProcess::NotRunning;
    };
    if (!QTest::qWaitFor(found, 20000))
        return QString();
    return windows.size() == 1 ? windows.first() : QString();
}

void TstDemoLogin::enterCredentials(const QString &window, const QString &password, Submit submit) {
    bool ok = false;
    xdo({"windowfocus", "--sync", window}, &ok);
    QVERIFY(ok);
    // The account field has the focus when the window opens; Tab leads to the password.
    xdo({"type", "--delay", "20", DevServer::demoAccount()}, &ok);
    QVERIFY(ok);
    xdo({"key", "Tab"}, &ok);
    QVERIFY(ok);
    xdo({"type", "--delay", "20", password}, &ok);
    QVERIFY(ok);
    snapshot(QStringLiteral("login"));
    if (submit == Submit::ReturnKey)
        xdo({"key", "Return"}, &ok);
    else
        xdo({"mousemove", "--window", window, QString::number(kLoginButtonCentre.x()),
             QString::number(kLoginButtonCentre.y()), "click", "1"},
            &ok);
    QVERIFY(ok);
}

QString TstDemoLogin::logText() const {
    QString text;
    const QDir logDir(m_pStation->path() + QStringLiteral("/log"));
    for (const QString &name : logDir.entryList({QStringLiteral("*.txt")}, QDir::Files)) {
        QFile file(logDir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

// With TOVARIN_E2E_SCREENSHOTS set to a folder, the screen is saved there for a look.
void TstDemoLogin::snapshot(const QString &name) {
    const QString folder = qEnvironmentVariable("TOVARIN_E2E_SCREENSHOTS");
    const QString grabber = TestPaths::programPath("grabscreen");
    if (folder.isEmpty() || !QFile::exists(grabber))
        return;
    const QString row =
        QString::fromUtf8(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_'));
    QProcess grab;
    grab.setProcessEnvironment(m_env);
    grab.start(grabber, {QDir(folder).filePath(row + QLatin1Char('-') + name + QStringLiteral(".png"))});
    grab.waitForFinished(10000);
}

void TstDemoLogin::login_data() {
    QTest::addColumn<Submit>("submit");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("ack");

    QTest::newRow("demo account, login button") << Submit::LoginButton << "123456"
                                                << "200";
    QTest::newRow("demo account, Return key") << Submit::ReturnKey << "123456"
                                              << "200";
    QTest::newRow("wrong password") << Submit::ReturnKey << "654321"
                                    << "303";
}

void TstDemoLogin::login() {
    QFETCH(Submit, submit);
    QFETCH(QString, password);
    QFETCH(QString, ack);

    Launcher *launcher = startLauncher(m_pStation->path());
    const QString loginWindow = waitForWindow(launcher);
    QVERIFY2(!loginWindow.isEmpty(), launcher->output.constData());
    QCOMPARE(QString::fromUtf8(xdo({"getwindowname", loginWindow}).trimmed()),
             QString::fromUtf8(kWindowTitle));

    enterCredentials(loginWindow, password, submit);
    QVERIFY2(m_server.waitForRequests(QString::fromLatin1(kLoginPath), 1, 20000),
             launcher->output.constData());
    const QJsonArray requests = m_server.requests(QString::fromLatin1(kLoginPath));
    QCOMPARE(requests.size(), 1);
    const QJsonObject request = requests.at(0).toObject();
    QCOMPARE(DevServer::fieldValue(request, "account"), DevServer::demoAccount());
    QVERIFY(request.value("signOk").toBool());
    QCOMPARE(request.value("ack").toString(), ack);

    const QString mainSet = m_pStation->path() + QStringLiteral("/MAINSET.ini");
    if (ack != QLatin1String("200")) {
        // The answer has been dealt with once its log line is there.
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QStringLiteral("帐户或密码不正确")), 15000);
        QCOMPARE(visibleWindows(launcher), QStringList{loginWindow});
        QVERIFY(!QFile::exists(mainSet));
        return;
    }

    // The login window gives way to the main window.
    const QString mainWindow = waitForWindow(launcher, loginWindow);
    QVERIFY2(!mainWindow.isEmpty(), launcher->output.constData());
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(launcher), QStringList{mainWindow}, 10000);
    QCOMPARE(QString::fromUtf8(xdo({"getwindowname", mainWindow}).trimmed()),
             QString::fromUtf8(kWindowTitle));
    snapshot(QStringLiteral("main"));

    QSettings settings(mainSet, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    QCOMPARE(settings.value("LoginUser/Account").toString(), DevServer::demoAccount());
    QCOMPARE(settings.value("LoginUser/Password").toString(),
             QString::fromLatin1(password.toLatin1().toBase64()));
    QCOMPARE(settings.value("LoginUser/bRememberPSW").toString(), QStringLiteral("false"));
    QCOMPARE(launcher->process->state(), QProcess::Running);
}

void TstDemoLogin::secondLauncherRefused_data() {
    QTest::addColumn<bool>("loggedIn");
    QTest::newRow("while the login window is up") << false;
    QTest::newRow("while the main window is up") << true;
}

void TstDemoLogin::secondLauncherRefused() {
    QFETCH(bool, loggedIn);

    Launcher *first = startLauncher(m_pStation->path());
    QString firstWindow = waitForWindow(first);
    QVERIFY2(!firstWindow.isEmpty(), first->output.constData());
    if (loggedIn) {
        enterCredentials(firstWindow, DevServer::demoPassword(), Submit::ReturnKey);
        firstWindow = waitForWindow(first, firstWindow);
        QVERIFY2(!firstWindow.isEmpty(), first->output.constData());
    }

    // Started from another folder, as a desktop shortcut would.
    QTemporaryDir elsewhere;
    Launcher *second = startLauncher(elsewhere.path());
    const QString messageBox = waitForWindow(second);
    QVERIFY2(!messageBox.isEmpty(), second->output.constData());
    QCOMPARE(QString::fromUtf8(xdo({"getwindowname", messageBox}).trimmed()),
             QString::fromUtf8(kWindowTitle));
    snapshot(QStringLiteral("refusal"));
    // The box waits for the operator.
    QCOMPARE(second->process->state(), QProcess::Running);

    bool ok = false;
    xdo({"windowfocus", "--sync", messageBox}, &ok);
    QVERIFY(ok);
    xdo({"key", "Return"}, &ok);
    QVERIFY(ok);
    QVERIFY2(second->process->waitForFinished(15000), second->output.constData());
    QCOMPARE(second->process->exitStatus(), QProcess::NormalExit);
    // -1, as the system hands an exit status to the parent: its low eight bits.
    QCOMPARE(second->process->exitCode(), 255);

    // The running launcher is left as it was.
    QCOMPARE(first->process->state(), QProcess::Running);
    QCOMPARE(visibleWindows(first), QStringList{firstWindow});
    QCOMPARE(m_server.requests(QString::fromLatin1(kLoginPath)).size(), loggedIn ? 1 : 0);
}

QTEST_MAIN(TstDemoLogin)
#include "tst_demologin.moc"
