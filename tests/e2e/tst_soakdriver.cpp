// The soak run's driver inside the real windows: it takes the login window through an
// operator's whole cycle on its own, against the stand-in server, and its report is what the
// orchestrator counts on (steps, rounds, stalls, hung waits, the end of the cycle).
#include "applicationfolder.h"
#include "devserver.h"
#include "kovalogin.h"
#include "soakdriver.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"
#include "ui_tovarin.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

namespace {
constexpr int kHeldMs = 300; // the GUI thread held once during a cycle
} // namespace

class tst_SoakDriver : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void cycle_data();
    void cycle();

private:
    QStringList reportLines(const QString &kind) const;
    // When the first line of that kind was written (ms since the epoch); -1 when none was.
    qint64 reportTime(const QString &kind) const;

    std::unique_ptr<QTemporaryDir> m_station;
    DevServer m_server;
    QString m_previousCurrent;
    QString m_szReport;
};

void tst_SoakDriver::init() {
    m_station.reset(new QTemporaryDir);
    QVERIFY(m_station->isValid());
    ApplicationFolder::setPathForTesting(m_station->path());
    m_previousCurrent = QDir::currentPath();
    QDir::setCurrent(m_station->path());
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
    QVERIFY(DevServer::writeServerConfig(m_station->path(), m_server.httpBase(), m_server.httpBase(),
                                         m_server.httpBase()));
    // Two tools the server does not know: their update checks end at once, nothing installs.
    writeFile(m_station->filePath("CONFIGSET.ini"),
              "[MainConfig]\nbEmpWorkCheck=false\n"
              "[IPCProductCheck]\nID=901\nPath=./IPCProductCheck/\n"
              "Exe=IPCProductCheck\n[BPC]\nID=902\nPath=./BPC/\nExe=BPC\n");
    writeFile(m_station->filePath("MAINSET.ini"), "[UserInfo]\nUserPosition=P1\nUserLinePosition=L1\n"
                                                  "UserWorkPosition=W01\nEmployeeNumber=E1001\n"
                                                  "[SelectedTools]\ntool1=901\ntool2=902\n");
    m_szReport = m_station->filePath("soak-report.txt");
}

void tst_SoakDriver::cleanup() {
    m_server.stop();
    QDir::setCurrent(m_previousCurrent);
    ApplicationFolder::setPathForTesting(QString());
    m_station.reset();
}

QStringList tst_SoakDriver::reportLines(const QString &kind) const {
    QFile file(m_szReport);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList found;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() >= 2 && parts.at(1) == kind.toUtf8())
            found << QString::fromUtf8(parts.mid(2).join(' '));
    }
    return found;
}

qint64 tst_SoakDriver::reportTime(const QString &kind) const {
    QFile file(m_szReport);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() >= 2 && parts.at(1) == kind.toUtf8())
            return parts.at(0).toLongLong();
    }
    return -1;
}

void tst_SoakDriver::cycle_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<QString>("plan");
    QTest::addColumn<QString>("hungStep"); // empty: none may hang

    QTest::newRow("whole cycle") << QString() << QJsonObject() << "rounds=2;seed=1" << QString();
    // Refused twice: the driver presses again, as an operator would, and goes on.
    QTest::newRow("login refused twice")
        << "ToolClientConfigManageApi/toolLogin" << QJsonObject{{"ack", "303"}, {"times", 2}}
        << "rounds=2;seed=2" << QString();
    // The answer held longer than the driver's limit for no visible progress.
    QTest::newRow("login held past the limit")
        << "ToolClientConfigManageApi/toolLogin" << QJsonObject{{"delayMs", 6000}, {"times", 1}}
        << "rounds=1;seed=3;limit=2500"
        << "login";
}

void tst_SoakDriver::cycle() {
    QFETCH(QString, path);
    QFETCH(QJsonObject, behaviour);
    QFETCH(QString, plan);
    QFETCH(QString, hungStep);
    if (!path.isEmpty())
        QVERIFY(m_server.setBehaviour(path, behaviour));

    KovaLogin login;
    login.show();
    Tovarin *w = login.mainWindow();
    const SoakDriver::PLAN_S parsed = SoakDriver::parsePlan(plan);
    SoakDriver *driver = new SoakDriver(&login, w, m_szReport, parsed, w);
    // One stall of known length, once the probe counts (after its first two seconds).
    QTimer::singleShot(3000, w, [] { QThread::msleep(kHeldMs); });
    QTRY_VERIFY_WITH_TIMEOUT(reportLines("DONE").size() == 1, 90000);

    QStringList steps;
    for (const QString &step : reportLines("STEP"))
        steps << step.section(' ', 0, 0);
    QStringList expected{"login", "toolpage", "catalogue", "customer", "starttool"};
    QStringList rounds;
    for (int round = 1; round <= parsed.m_iRounds; ++round) {
        expected << "setuppage"
                 << "backtotools";
        rounds << QString::number(round);
    }
    QCOMPARE(steps, expected);
    QCOMPARE(reportLines("ROUND"), rounds);
    QCOMPARE(reportLines("HUNG").size(), hungStep.isEmpty() ? 0 : 1);
    if (!hungStep.isEmpty())
        QCOMPARE(reportLines("HUNG").first().section(' ', 0, 0), hungStep);
    // Each figure is the longest probe gap so far: whole milliseconds, never shrinking. The last
    // one saw the held stall, and stays far below the run's length (which a gap measured from
    // the start instead of from the last probe would come near).
    const QStringList stalls = reportLines("STALL");
    QVERIFY(!stalls.isEmpty());
    const qint64 runMs = reportTime("DONE") - reportTime("START");
    QVERIFY2(reportTime("START") > 0 && runMs > 2000, qPrintable(QString::number(runMs)));
    qint64 longest = 0;
    for (const QString &figure : stalls) {
        bool number = false;
        const qint64 ms = figure.toLongLong(&number);
        QVERIFY2(number && ms >= longest,
                 qPrintable(QStringLiteral("STALL %1 after %2").arg(figure).arg(longest)));
        longest = ms;
    }
    QVERIFY2(longest >= kHeldMs && longest < runMs / 2,
             qPrintable(QStringLiteral("STALL %1 in a run of %2 ms").arg(longest).arg(runMs)));
    QVERIFY(driver->longestStallMs() >= longest);

    // What an operator would see: a catalogue product and a customer chosen, the tool page on.
    QVERIFY(!w->ui->labPidInput->text().isEmpty());
    // The customer is a real one (a dealer id and its name from the account's list) and the one
    // the driver picked, shown as chosen in the combo.
    const QStringList picked = reportLines("CUSTOMER");
    QCOMPARE(picked.size(), 1);
    QVERIFY2(w->m_iOwnerId >= 1, qPrintable(QString::number(w->m_iOwnerId)));
    QCOMPARE(QString::number(w->m_iOwnerId), picked.first());
    const int chosen = w->ui->combSelectCustmer->currentIndex();
    QVERIFY2(chosen >= 0 && chosen < w->m_vecDealerInfo.size(), qPrintable(QString::number(chosen)));
    QCOMPARE(w->m_vecDealerInfo.at(chosen).m_iDealerId, w->m_iOwnerId);
    QVERIFY(!w->m_szOwnerName.isEmpty());
    QCOMPARE(w->m_szOwnerName, w->m_vecDealerInfo.at(chosen).m_szDealerName);
    QCOMPARE(w->ui->combSelectCustmer->currentText(), w->m_szOwnerName);
    QCOMPARE(m_server.requests("ToolClientConfigManageApi/getProductConfigDetail").size(), 1);
}

QTEST_MAIN(tst_SoakDriver)
#include "tst_soakdriver.moc"
