#include "platform.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The lock that guards the launcher's single-instance check, held by real processes: one that
// holds it makes others wait, and one killed while holding it does not block them.
class TestMachineLock : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void killedHolderLetsWaiterIn_data();
    void killedHolderLetsWaiterIn();

private:
    QProcess *start(const char *mode);
    static bool waitForLine(QProcess *process, const QByteArray &line, int timeoutMs = 10000);

    QTemporaryDir m_ipcDir; // the lock's key file, apart from any real launcher
    QString m_szKey;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TestMachineLock::initTestCase() {
    QVERIFY(m_ipcDir.isValid());
    qputenv("TMPDIR", QFile::encodeName(m_ipcDir.path()));
    m_szKey = QStringLiteral("tstlock%1").arg(QCoreApplication::applicationPid());
}

void TestMachineLock::cleanupTestCase() {
    // Killed holders never remove the semaphore; taking it over and dropping it does.
    QSystemSemaphore(m_szKey, 1, QSystemSemaphore::Create);
}

void TestMachineLock::cleanup() {
    for (auto &process : m_processes) {
        process->kill();
        process->waitForFinished(5000);
    }
    m_processes.clear();
}

QProcess *TestMachineLock::start(const char *mode) {
    m_processes.emplace_back(new QProcess);
    QProcess *process = m_processes.back().get();
    process->start(QStringLiteral(LOCKHOLDER_PROGRAM), {QString::fromLatin1(mode), m_szKey});
    return process;
}

bool TestMachineLock::waitForLine(QProcess *process, const QByteArray &line, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QByteArray seen;
    while (clock.elapsed() < timeoutMs) {
        process->waitForReadyRead(50);
        seen += process->peek(4096);
        seen.replace("\r\n", "\n"); // a Windows child writes text lines
        if (seen.contains(line + '\n'))
            return true;
        seen.clear();
        if (process->state() == QProcess::NotRunning && !process->bytesAvailable())
            return false;
    }
    return false;
}

void TestMachineLock::killedHolderLetsWaiterIn_data() {
    QTest::addColumn<bool>("killed");

    QTest::newRow("holder ends normally") << false;
    QTest::newRow("holder killed while holding") << true;
}

void TestMachineLock::killedHolderLetsWaiterIn() {
    QFETCH(bool, killed);

    QProcess *holder = start("hold");
    QVERIFY(waitForLine(holder, "locked"));
    QProcess *waiter = start("take");
    QVERIFY(waitForLine(waiter, "waiting"));
    // Held: the waiter must not get in meanwhile. (A slow waiter passes this too; a lock that
    // does not exclude fails it on any machine.)
    QTest::qWait(300);
    QVERIFY(!waiter->peek(4096).contains("locked"));
    QCOMPARE(waiter->state(), QProcess::Running);

    if (killed)
        holder->kill();
    else
        holder->closeWriteChannel(); // gives the lock up and ends
    QVERIFY(holder->waitForFinished(10000));
    QCOMPARE(holder->exitStatus(), killed ? QProcess::CrashExit : QProcess::NormalExit);
    QVERIFY2(waiter->waitForFinished(10000), "the lock stayed taken after its holder ended");
    QCOMPARE(waiter->exitCode(), 0);
    QVERIFY(waiter->readAll().replace("\r\n", "\n").contains("locked\n"));
}

QTEST_GUILESS_MAIN(TestMachineLock)
#include "tst_machinelock.moc"
