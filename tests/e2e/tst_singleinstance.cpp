#include "startup.h"
#include "testpaths.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <signal.h>
#include <vector>

namespace {

// Trace lines of the launcher: the login window is up / a second launcher gives up.
const char kStartedLine[] = "登录窗口已显示";
const char kRefusedLine[] = "当前程序即将退出:已有同类工具正在运行";

enum class FirstEnd { StillRunning, Killed, Terminated };

// A launcher process whose output is collected as it comes.
struct Launcher {
    std::unique_ptr<QProcess> process{new QProcess};
    QByteArray output;
};

} // namespace

Q_DECLARE_METATYPE(FirstEnd)

class TstSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void guard_data();
    void guard();
    void refusalShowsMessageAndReturnsMinusOne();

private:
    Launcher *start(const QStringList &arguments = {}, const QString &workDir = QString());
    bool waitForLine(Launcher *launcher, const char *line, int timeoutMs = 20000);
    void end(Launcher *launcher);

    QTemporaryDir m_ipcDir; // holds the guard's key file, away from any real launcher
    std::unique_ptr<QTemporaryDir> m_pStation;
    QString m_szProgram;
    std::vector<std::unique_ptr<Launcher>> m_launchers;
};

void TstSingleInstance::initTestCase() {
    QVERIFY(m_ipcDir.isValid());
    // The guard's key lives in the temporary folder; giving this test (and its launchers) a
    // folder of its own keeps it apart from other launchers on the machine.
    qputenv("TMPDIR", QFile::encodeName(m_ipcDir.path()));
    QCOMPARE(QDir::tempPath(), QDir(m_ipcDir.path()).canonicalPath());
    QVERIFY2(QFile::exists(TestPaths::programPath("Tovarin")), "build the Tovarin program first");
}

void TstSingleInstance::cleanupTestCase() {
    // The guard's semaphores are kept by the system after their key files go with the
    // temporary folder; taking them over and dropping them removes them.
    for (const char *key : {"SingleApp", "SingleAppLock"})
        QSystemSemaphore(QString::fromLatin1(key), 1, QSystemSemaphore::Create);
}

void TstSingleInstance::init() {
    m_pStation.reset(new QTemporaryDir);
    QVERIFY(m_pStation->isValid());
    m_szProgram = m_pStation->filePath(QStringLiteral("Tovarin"));
    QVERIFY(QFile::copy(TestPaths::programPath("Tovarin"), m_szProgram));
}

void TstSingleInstance::cleanup() {
    for (auto &launcher : m_launchers)
        end(launcher.get());
    m_launchers.clear();
    m_pStation.reset();
    // Killed launchers leave their segment behind; do not leave it in the system.
    QSharedMemory orphan(QStringLiteral("SingleApp"));
    if (orphan.attach())
        orphan.detach();
}

Launcher *TstSingleInstance::start(const QStringList &arguments, const QString &workDir) {
    m_launchers.emplace_back(new Launcher);
    Launcher *launcher = m_launchers.back().get();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), m_ipcDir.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=true"));
    launcher->process->setProcessEnvironment(env);
    launcher->process->setProcessChannelMode(QProcess::MergedChannels);
    launcher->process->setWorkingDirectory(workDir.isEmpty() ? m_pStation->path() : workDir);
    connect(launcher->process.get(), &QProcess::readyRead, this,
            [launcher] { launcher->output += launcher->process->readAll(); });
    launcher->process->start(m_szProgram, arguments);
    return launcher;
}

bool TstSingleInstance::waitForLine(Launcher *launcher, const char *line, int timeoutMs) {
    const QByteArray wanted(line);
    QElapsedTimer clock;
    clock.start();
    while (!launcher->output.contains(wanted) && clock.elapsed() < timeoutMs &&
           launcher->process->state() != QProcess::NotRunning)
        QTest::qWait(20);
    launcher->output += launcher->process->readAll();
    return launcher->output.contains(wanted);
}

void TstSingleInstance::end(Launcher *launcher) {
    if (launcher->process->state() != QProcess::NotRunning) {
        launcher->process->kill();
        launcher->process->waitForFinished(5000);
    }
}

void TstSingleInstance::guard_data() {
    QTest::addColumn<FirstEnd>("firstEnd");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("newStartRuns");

    const QStringList noArguments;
    const QStringList arguments{"--help", "-v", "--config=other.ini", "extra words"};
    QTest::newRow("second launcher while the first runs") << FirstEnd::StillRunning << noArguments << false;
    QTest::newRow("arguments change nothing while the first runs")
        << FirstEnd::StillRunning << arguments << false;
    QTest::newRow("new start after kill -9") << FirstEnd::Killed << noArguments << true;
    QTest::newRow("new start after SIGTERM") << FirstEnd::Terminated << noArguments << true;
    QTest::newRow("new start with arguments after kill -9") << FirstEnd::Killed << arguments << true;
}

void TstSingleInstance::guard() {
    QFETCH(FirstEnd, firstEnd);
    QFETCH(QStringList, arguments);
    QFETCH(bool, newStartRuns);

    Launcher *first = start(arguments);
    QVERIFY2(waitForLine(first, kStartedLine), first->output.constData());

    if (firstEnd != FirstEnd::StillRunning) {
        ::kill(pid_t(first->process->processId()), firstEnd == FirstEnd::Killed ? SIGKILL : SIGTERM);
        QVERIFY(first->process->waitForFinished(10000));
        QCOMPARE(first->process->exitStatus(), QProcess::CrashExit);
    }

    // Started from another folder, as a desktop shortcut would.
    QTemporaryDir elsewhere;
    Launcher *second = start(arguments, elsewhere.path());
    if (newStartRuns) {
        QVERIFY2(waitForLine(second, kStartedLine), second->output.constData());
        QVERIFY(!second->output.contains(kRefusedLine));
        // The new launcher holds the guard in its turn.
        Launcher *third = start();
        QVERIFY2(waitForLine(third, kRefusedLine), third->output.constData());
        QVERIFY(!third->output.contains(kStartedLine));
        QCOMPARE(second->process->state(), QProcess::Running);
    } else {
        QVERIFY2(waitForLine(second, kRefusedLine), second->output.constData());
        QVERIFY(!second->output.contains(kStartedLine));
        // The message box waits for the operator; the first launcher is not disturbed.
        QTest::qWait(300);
        QCOMPARE(second->process->state(), QProcess::Running);
        QCOMPARE(first->process->state(), QProcess::Running);
    }
}

void TstSingleInstance::refusalShowsMessageAndReturnsMinusOne() {
    Launcher *first = start();
    QVERIFY2(waitForLine(first, kStartedLine), first->output.constData());

    // This process is the second launcher; the operator dismisses the message box.
    QString title, text;
    int buttons = 0;
    QTimer operatorHand;
    connect(&operatorHand, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        title = box->windowTitle();
        text = box->text();
        buttons = box->buttons().size();
        box->button(QMessageBox::Ok)->click();
    });
    operatorHand.start(50);

    const int result = runLauncher(*qApp);
    operatorHand.stop();

    QCOMPARE(result, -1);
    QCOMPARE(title, QStringLiteral("NORVEXA 产测工具"));
    QCOMPARE(text, QStringLiteral("当前程序即将退出:已有同类工具正在运行"));
    QCOMPARE(buttons, 1);
    for (QWidget *w : QApplication::topLevelWidgets())
        QVERIFY2(!w->inherits("KovaLogin") && !w->inherits("Tovarin"), w->metaObject()->className());
    QCOMPARE(first->process->state(), QProcess::Running);

    // The refusal asked the (not yet running) application to quit; run it once so that the
    // request is spent and later event loops of this test program work normally.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

QTEST_MAIN(TstSingleInstance)
#include "tst_singleinstance.moc"
