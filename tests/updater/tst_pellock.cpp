// The updater's window in this process, on a temporary station: waiting for the launcher to
// end, installing once after the first paint, the release notes and the installing pop-up.
#include "applicationfolder.h"
#include "imageresources.h"
#include "installservice.h"
#include "pellock.h"
#include "platform.h"
#include "popwidget.h"
#include "updaterstation.h"

#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTextEdit>
#include <QtTest>

#include <memory>

namespace {

// Counts the paints of a widget.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

class TstPellock : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void waitsForLauncher_data();
    void waitsForLauncher();
    void releaseNotes_data();
    void releaseNotes();
    void installsOnceAfterFirstPaint();
    void installingLook();
    void settlesAKilledRun_data();
    void settlesAKilledRun();

private:
    QProcess *startLauncher(const UpdaterStation &station);
    std::unique_ptr<UpdaterStation> zipStation(const QString &remark = QStringLiteral("修复模组识别"));

    std::vector<std::unique_ptr<QProcess>> m_launchers;
    QTemporaryDir m_workFolder; // the updater logs into its working folder
};

void TstPellock::initTestCase() {
    initImageResources();
    // The updater ends the application with its window; the test goes on.
    qApp->setQuitOnLastWindowClosed(false);
    QVERIFY(QDir::setCurrent(m_workFolder.path()));
    pellock::setRestartDelayForTesting(200);
}

void TstPellock::cleanup() {
    for (auto &launcher : m_launchers) {
        if (launcher->state() != QProcess::NotRunning) {
            launcher->kill();
            launcher->waitForFinished(5000);
        }
    }
    m_launchers.clear();
    ApplicationFolder::setPathForTesting(QString());
    pellock::setLauncherExitWaitForTesting(30000);
    QDir::setCurrent(m_workFolder.path());
}

std::unique_ptr<UpdaterStation> TstPellock::zipStation(const QString &remark) {
    auto station = std::make_unique<UpdaterStation>();
    if (!station->isReady() || !station->writeHandOff(QStringLiteral("zip"), remark) ||
        !station->stageZip(UpdaterStation::newPackage()))
        return nullptr;
    ApplicationFolder::setPathForTesting(station->updaterFolder());
    QDir::setCurrent(station->root());
    return station;
}

// The stand-in launcher, kept running while <root>/stay exists.
QProcess *TstPellock::startLauncher(const UpdaterStation &station) {
    if (!TestFiles::write(station.root() + QStringLiteral("/stay"), "1"))
        return nullptr;
    m_launchers.emplace_back(new QProcess);
    QProcess *launcher = m_launchers.back().get();
    launcher->start(station.launcherPath(), {QString()});
    if (!launcher->waitForStarted(5000))
        return nullptr;
    // Its start line says the script runs (and is listed under its own name).
    QElapsedTimer started;
    started.start();
    while (station.startedLines().isEmpty() && started.elapsed() < 10000)
        QTest::qWait(20);
    return station.startedLines().isEmpty() ? nullptr : launcher;
}

void TstPellock::waitsForLauncher_data() {
    QTest::addColumn<QString>("launcher"); // which launcher runs while the updater starts
    QTest::addColumn<bool>("endsMeanwhile");
    QTest::addColumn<bool>("installed");
    QTest::newRow("ends while the updater waits") << "own" << true << true;
    QTest::newRow("never ends: fails cleanly") << "own" << false << false;
    QTest::newRow("another folder's launcher is not waited for") << "other" << false << true;
}

void TstPellock::waitsForLauncher() {
    QFETCH(QString, launcher);
    QFETCH(bool, endsMeanwhile);
    QFETCH(bool, installed);

    UpdaterStation other(QStringLiteral("Elsewhere"));
    QVERIFY(other.isReady());
    auto station = zipStation();
    QVERIFY(station);
    const UpdaterStation &running = launcher == QLatin1String("own") ? *station : other;
    QVERIFY(startLauncher(running));
    pellock::setLauncherExitWaitForTesting(endsMeanwhile ? 30000 : 2000);

    pellock window;
    QSignalSpy finished(&window, &pellock::sigInstallFinished);
    bool released = false;
    if (endsMeanwhile) {
        QTimer::singleShot(800, [&] { released = QFile::remove(station->root() + QStringLiteral("/stay")); });
    }
    QElapsedTimer elapsed;
    elapsed.start();
    window.show();
    QVERIFY(finished.wait(40000));
    QCOMPARE(finished.at(0).at(0).toBool(), installed);
    if (endsMeanwhile)
        QVERIFY2(released, "installed before the launcher had ended");
    if (launcher == QLatin1String("other"))
        QVERIFY2(elapsed.elapsed() < 20000, "waited for a launcher of another folder");

    QCOMPARE(station->launcherTree(),
             installed ? UpdaterStation::newLauncher() : UpdaterStation::oldLauncher());
    QCOMPARE(station->handOffValue(QStringLiteral("UpgradeSucceed")),
             installed ? QStringLiteral("1") : QStringLiteral("0"));
    QCOMPARE(station->handOffValue(QStringLiteral("needUpgrade")),
             installed ? QStringLiteral("0") : QStringLiteral("1"));
    const QLabel *status = window.findChild<QLabel *>(QStringLiteral("labStatus"));
    QVERIFY(status);
    QCOMPARE(status->isVisible(), !installed);
    if (!installed) {
        QVERIFY(status->text().contains(QStringLiteral("主程序未退出")));
        QVERIFY(station->logText().contains(QStringLiteral("小工具:主程序未退出")));
        QVERIFY(QFileInfo::exists(station->stagedZip()));
    }

    // After the restart delay the window closes; a launcher is started only where none runs.
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 10000);
    QStringList expected{QStringLiteral("1||old")};
    if (launcher == QLatin1String("own") && installed)
        expected << QStringLiteral("1||new");
    if (launcher == QLatin1String("other"))
        expected = QStringList{QStringLiteral("1||new")};
    QTRY_COMPARE_WITH_TIMEOUT(station->startedLines(), expected, 10000);
    if (!installed) {
        // Ours ended, no launcher of this folder may be left: a second one would stay too.
        m_launchers.back()->kill();
        QVERIFY(m_launchers.back()->waitForFinished(5000));
        QVERIFY2(!Platform::programRunning(station->launcherPath()), "a second launcher was started");
    }
}

void TstPellock::releaseNotes_data() {
    QTest::addColumn<QString>("remark"); // as the launcher hands it to the INI writer
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("line breaks, empty line kept")
        << "修复A\n优化B\n\n新增C" << QStringList{"修复A", "优化B", "", "新增C"};
    QTest::newRow("Windows line breaks") << "a\r\nb" << QStringList{"a", "b"};
    QTest::newRow("escaped by an older launcher") << "a\\nb\\n\\nc" << QStringList{"a", "b", "", "c"};
    QTest::newRow("commas and a backslash stay text")
        << "路径 C:\\tools, 说明; 完\n二" << QStringList{"路径 C:\\tools, 说明; 完", "二"};
    QTest::newRow("one line") << "only" << QStringList{"only"};
}

void TstPellock::releaseNotes() {
    QFETCH(QString, remark);
    QFETCH(QStringList, lines);

    auto station = zipStation(remark);
    QVERIFY(station);
    pellock window; // not shown: nothing is installed
    const QTextEdit *notes = window.findChild<QTextEdit *>(QStringLiteral("txtboxMessage"));
    QVERIFY(notes);
    popWidget reference;
    reference.slotSetPopUI(QStringLiteral("1.1.2.0"), lines, POP_TYPE_INSTALLING);
    QCOMPARE(notes->toPlainText(),
             reference.findChild<QTextEdit *>(QStringLiteral("txtboxMessage"))->toPlainText());
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("labTitle"))->text(), QStringLiteral("安装中..."));
}

void TstPellock::installsOnceAfterFirstPaint() {
    auto station = zipStation();
    QVERIFY(station);
    pellock window;
    popWidget *pop = window.findChild<popWidget *>();
    QVERIFY(pop);
    PaintCounter counter;
    pop->installEventFilter(&counter);
    const QProgressBar *bar = pop->findChild<QProgressBar *>(QStringLiteral("progressInstall"));
    QVERIFY(bar);
    int paintsAtFirstProgress = -1;
    connect(bar, &QProgressBar::valueChanged, this, [&] {
        if (paintsAtFirstProgress < 0)
            paintsAtFirstProgress = counter.paints;
    });
    QSignalSpy finished(&window, &pellock::sigInstallFinished);
    window.show();
    // Not inside the show: the window must get to paint "安装中" first.
    QCOMPARE(finished.size(), 0);
    QVERIFY(QFileInfo::exists(station->stagedZip()));
    QTRY_VERIFY_WITH_TIMEOUT(finished.size() == 1, 20000);
    QVERIFY(finished.at(0).at(0).toBool());
    QVERIFY2(paintsAtFirstProgress > 0, "installed before the pop-up was painted");
    QCOMPARE(bar->value(), 100);
    QVERIFY(bar->isVisible());

    // Minimised and restored before the restart: the installation does not run again, which
    // would find no package and record a failure.
    window.hide();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!finished.wait(1500));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(station->handOffValue(QStringLiteral("UpgradeSucceed")), QStringLiteral("1"));
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 10000);
}

void TstPellock::installingLook() {
    QStringList notes;
    for (int i = 1; i <= 12; ++i)
        notes << QStringLiteral("第%1项修复说明").arg(i);
    auto station = zipStation(notes.join(QLatin1Char('\n')));
    QVERIFY(station);
    pellock window; // not shown: the pop-up shows itself
    popWidget *pop = window.findChild<popWidget *>();
    QVERIFY(pop);
    pop->slotSetProgress(40);
    QVERIFY(QTest::qWaitForWindowExposed(pop));

    // Several lines of notes fit before the box scrolls.
    const QTextEdit *box = pop->findChild<QTextEdit *>(QStringLiteral("txtboxMessage"));
    QVERIFY(box->viewport()->height() >= 5 * box->fontMetrics().lineSpacing());
    // The card and the bar lie inside the pop-up; the bar under the notes.
    const QWidget *card = pop->findChild<QWidget *>(QStringLiteral("widgetMain"));
    QVERIFY(pop->rect().contains(card->geometry()));
    const QProgressBar *bar = pop->findChild<QProgressBar *>(QStringLiteral("progressInstall"));
    QVERIFY(bar->isVisible());
    QVERIFY(bar->mapTo(pop, QPoint(0, 0)).y() >= box->mapTo(pop, QPoint(0, box->height())).y());

    // No dark pixels in the corners, where a rounded see-through layer shows black on a desktop
    // that cannot blend.
    const QImage shot = pop->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const QPoint corners[] = {{0, 0},
                              {shot.width() - 1, 0},
                              {0, shot.height() - 1},
                              {shot.width() - 1, shot.height() - 1},
                              {2, 2},
                              {shot.width() - 3, shot.height() - 3}};
    for (const QPoint &corner : corners) {
        const QColor pixel = shot.pixelColor(corner);
        QVERIFY2(pixel.alpha() == 255 && pixel.lightness() > 128,
                 qPrintable(QStringLiteral("corner %1,%2 is %3 alpha %4")
                                .arg(corner.x())
                                .arg(corner.y())
                                .arg(pixel.name())
                                .arg(pixel.alpha())));
    }
}

void TstPellock::settlesAKilledRun_data() {
    QTest::addColumn<int>("killedAt"); // InstallService::INSTALLSTEP_E
    QTest::newRow("before anything was moved in") << int(InstallService::STEP_JOURNAL_WRITTEN);
    QTest::newRow("complete, package not yet removed") << int(InstallService::STEP_COMMITTED);
}

// What a run killed at a step leaves behind (journal and package, as they were at that step),
// then the next start of the updater.
void TstPellock::settlesAKilledRun() {
    QFETCH(int, killedAt);
    auto station = zipStation();
    QVERIFY(station);
    const QString journal = InstallService::journalPathOf(station->launcherFolder());
    const QByteArray package = TestFiles::read(station->stagedZip());
    TestFiles::Tree journalAtStep;
    TestFiles::Tree folderAtStep;
    {
        InstallService killed;
        killed.setArchiveFolder(QStringLiteral("Tovarin"));
        killed.setStepWatcher([&](InstallService::INSTALLSTEP_E step, int) {
            if (step == killedAt) {
                journalAtStep = TestFiles::snapshot(journal);
                folderAtStep = TestFiles::snapshot(station->launcherFolder());
            }
        });
        QCOMPARE(
            killed.install(station->stagedZip(), station->launcherFolder(), {}, InstallService::PACKAGE_ZIP),
            InstallService::INSTALL_OK);
    }
    QVERIFY(!journalAtStep.isEmpty());
    QVERIFY(QDir(station->launcherFolder()).removeRecursively());
    QVERIFY(TestFiles::writeTree(station->launcherFolder(), folderAtStep));
    QVERIFY(TestFiles::writeTree(journal, journalAtStep));
    QVERIFY(TestFiles::write(station->stagedZip(), package));

    pellock window;
    QSignalSpy finished(&window, &pellock::sigInstallFinished);
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(finished.size() == 1, 20000);
    // Either way the new launcher is in place, and said so.
    QVERIFY(finished.at(0).at(0).toBool());
    QCOMPARE(station->launcherTree(), UpdaterStation::newLauncher());
    QCOMPARE(station->handOffValue(QStringLiteral("UpgradeSucceed")), QStringLiteral("1"));
    QVERIFY(!QFileInfo::exists(station->stagedZip()));
    QVERIFY(!QFileInfo::exists(journal));
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 10000);
}

QTEST_MAIN(TstPellock)
#include "tst_pellock.moc"
