#include "platform.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

// Tools are found, started and ended by image name with real processes: a stand-in tool binary
// (copied under the names a test needs) and shell-script tools.
class TestProcesses : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void listsRunningTools_data();
    void listsRunningTools();
    void findsTheProgramByItsPath_data();
    void findsTheProgramByItsPath();
    void endsExactlyTheNamedImage_data();
    void endsExactlyTheNamedImage();
    void leavesOtherUsersAlone();
    void startDetachedHonoursWorkingFolder_data();
    void startDetachedHonoursWorkingFolder();
    void startScriptStartsToolInItsFolder_data();
    void startScriptStartsToolInItsFolder();
    void runScriptWaitsWithinItsLimit_data();
    void runScriptWaitsWithinItsLimit();

private:
    // Creates a tool of the given kind in folder; returns the program to start and its arguments.
    QString makeTool(const QString &folder, const QString &kind, const QString &name, QStringList *arguments);
    bool start(const QString &folder, const QString &kind, const QString &name);
    static QString cwdNoteOf(const QString &folder);

    QStringList m_started;
};

namespace {

QString unique(const char *base) {
    return QLatin1String(base) + QString::number(QCoreApplication::applicationPid());
}

QString canonical(const QString &path) {
    return QFileInfo(path).canonicalFilePath();
}

// Forks once, at the start: a forked shell is a copy of the script (same name) until it runs
// the sleep, so a loop of short sleeps would now and then show the tool twice. The sleep
// outlives an ended script for a while, so it must not hold the test's output open.
const QByteArray kScriptBody = "exec </dev/null >/dev/null 2>&1\n"
                               "pwd -P > sleeper-cwd.txt\n"
                               "sleep 60 &\n"
                               "wait\n";

} // namespace

QString TestProcesses::makeTool(const QString &folder, const QString &kind, const QString &name,
                                QStringList *arguments) {
    const QString path = folder + QLatin1Char('/') + name;
    arguments->clear();
    if (kind == QLatin1String("binary")) {
        QFile::remove(path);
        if (!QFile::copy(QStringLiteral(SLEEPER_PROGRAM), path))
            return QString();
        return path;
    }
    QByteArray text;
    if (kind == QLatin1String("env script"))
        text = "#!/usr/bin/env sh\n" + kScriptBody;
    else
        text = "#!/bin/sh\n" + kScriptBody;
    if (!Platform::writeScriptFile(path, text))
        return QString();
    if (kind == QLatin1String("script run by sh")) {
        *arguments << path;
        return QStringLiteral("/bin/sh");
    }
    if (kind == QLatin1String("script run by sh from its folder")) {
        *arguments << QStringLiteral("./") + name;
        return QStringLiteral("/bin/sh");
    }
    return path;
}

bool TestProcesses::start(const QString &folder, const QString &kind, const QString &name) {
    QStringList arguments;
    const QString program = makeTool(folder, kind, name, &arguments);
    if (program.isEmpty())
        return false;
    m_started << name;
    return Platform::startDetached(program, arguments, folder);
}

QString TestProcesses::cwdNoteOf(const QString &folder) {
    return canonical(
        QString::fromLocal8Bit(TestFiles::read(folder + "/sleeper-cwd.txt", QByteArray()).trimmed()));
}

void TestProcesses::cleanup() {
    for (const QString &name : qAsConst(m_started))
        Platform::forceEndImage(name);
    m_started.clear();
}

void TestProcesses::listsRunningTools_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("name");
    QTest::newRow("program") << "binary" << unique("slp");
    QTest::newRow("program, name past 15 characters") << "binary" << unique("AVeryLongToolProgram");
    QTest::newRow("script tool") << "script" << unique("tool") + ".sh";
    QTest::newRow("script tool, name past 15 characters")
        << "script" << unique("AVeryLongScriptTool") + ".sh";
    QTest::newRow("script started as sh tool.sh") << "script run by sh" << unique("shtool") + ".sh";
    QTest::newRow("script through env") << "env script" << unique("AVeryLongEnvScript") + ".sh";
}

void TestProcesses::listsRunningTools() {
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QTemporaryDir dir;
    QVERIFY(start(dir.path(), kind, name));
    QTRY_VERIFY_WITH_TIMEOUT(Platform::listRunningImages().contains(name), 10000);
    // Listed under its own name only, not under an interpreter's or a cut one.
    QTRY_COMPARE(cwdNoteOf(dir.path()), canonical(dir.path()));
    QTRY_COMPARE(Platform::listRunningImages().count(name), 1);
    QCOMPARE(Platform::listRunningImages().count(name.left(15)), name.size() > 15 ? 0 : 1);

    QCOMPARE(Platform::forceEndImage(name), 1);
    QVERIFY(!Platform::listRunningImages().contains(name));
}

void TestProcesses::findsTheProgramByItsPath_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("program") << "binary";
    QTest::newRow("script") << "script";
    QTest::newRow("script named relative to its folder") << "script run by sh from its folder";
}

// The updater waits for the launcher of its own folder, not for a copy elsewhere.
void TestProcesses::findsTheProgramByItsPath() {
    QFETCH(QString, kind);
    const QString name = unique("Launcher");
    QTemporaryDir running;
    QTemporaryDir other;
    QStringList unused;
    QVERIFY(!makeTool(other.path(), kind, name, &unused).isEmpty());
    QVERIFY(!Platform::programRunning(running.path() + QLatin1Char('/') + name));
    QVERIFY(start(running.path(), kind, name));
    QTRY_VERIFY_WITH_TIMEOUT(Platform::programRunning(running.path() + QLatin1Char('/') + name), 10000);
    QVERIFY(!Platform::programRunning(other.path() + QLatin1Char('/') + name));

    QCOMPARE(Platform::forceEndImage(name), 1);
    QVERIFY(!Platform::programRunning(running.path() + QLatin1Char('/') + name));
}

void TestProcesses::endsExactlyTheNamedImage_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("survivors");
    const QString shortName = unique("Tool");
    QTest::newRow("program, longer and shorter names survive")
        << "binary" << shortName << QStringList{shortName + "x", shortName.chopped(1), "x" + shortName};
    const QString longName = unique("AVeryLongToolName");
    QTest::newRow("program, same first 15 characters survive")
        << "binary" << longName << QStringList{longName + "2", longName.chopped(1)};
    const QString script = unique("AVeryLongScriptName") + ".sh";
    QTest::newRow("script, same first 15 characters survive")
        << "script" << script << QStringList{script + "x", script.chopped(1)};
}

void TestProcesses::endsExactlyTheNamedImage() {
    QFETCH(QString, kind);
    QFETCH(QString, target);
    QFETCH(QStringList, survivors);
    QTemporaryDir first;
    QTemporaryDir second;
    QVERIFY(start(first.path(), kind, target));
    QVERIFY(start(second.path(), kind, target)); // every process of the name, not just one
    for (const QString &name : survivors)
        QVERIFY(start(first.path(), kind, name));

    QTRY_VERIFY_WITH_TIMEOUT(Platform::listRunningImages().count(target) == 2, 10000);
    for (const QString &name : survivors)
        QTRY_VERIFY_WITH_TIMEOUT(Platform::listRunningImages().contains(name), 10000);

    QCOMPARE(Platform::forceEndImage(target), 2);
    const QStringList running = Platform::listRunningImages();
    QVERIFY(!running.contains(target));
    for (const QString &name : survivors)
        QVERIFY2(running.contains(name), qPrintable(name));
    QCOMPARE(Platform::forceEndImage(target), 0);
}

void TestProcesses::leavesOtherUsersAlone() {
    if (::getuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("needs root and setpriv to run a tool as another user");
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                  QFile::ReadOther | QFile::ExeOther | QFile::WriteOther));
    const QString name = unique("OtherUserTool");
    QStringList arguments;
    const QString program = makeTool(dir.path(), QStringLiteral("binary"), name, &arguments);
    QVERIFY(!program.isEmpty());
    QProcess other;
    other.setWorkingDirectory(dir.path());
    other.start(QStringLiteral("setpriv"), {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                            QStringLiteral("--clear-groups"), program});
    QVERIFY(other.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(Platform::listRunningImages().contains(name), 10000);

    QCOMPARE(Platform::forceEndImage(name), 0);
    QVERIFY(Platform::listRunningImages().contains(name));
    QCOMPARE(other.state(), QProcess::Running);
    other.kill();
    QVERIFY(other.waitForFinished());
}

void TestProcesses::startDetachedHonoursWorkingFolder_data() {
    QTest::addColumn<bool>("programExists");
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<bool>("expected");
    QTest::newRow("program started in the folder") << true << true << true;
    QTest::newRow("missing working folder") << true << false << false;
    QTest::newRow("missing program") << false << true << false;
}

void TestProcesses::startDetachedHonoursWorkingFolder() {
    QFETCH(bool, programExists);
    QFETCH(bool, folderExists);
    QFETCH(bool, expected);
    QTemporaryDir programs;
    QTemporaryDir work;
    const QString name = unique("Detached");
    QStringList arguments;
    QString program = makeTool(programs.path(), QStringLiteral("binary"), name, &arguments);
    if (!programExists)
        QVERIFY(QFile::remove(program));
    const QString folder = folderExists ? work.path() : work.filePath(QStringLiteral("missing"));
    m_started << name;

    QCOMPARE(Platform::startDetached(program, arguments, folder), expected);
    if (expected) {
        QTRY_COMPARE_WITH_TIMEOUT(cwdNoteOf(folder), canonical(folder), 10000);
        QVERIFY(!QFile::exists(programs.filePath(QStringLiteral("sleeper-cwd.txt"))));
        // Detached: it is not a child of this process.
        QCOMPARE(Platform::forceEndImage(name), 1);
    }
}

void TestProcesses::startScriptStartsToolInItsFolder_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("name");
    QTest::newRow("program") << "binary" << unique("IPCamSuite");
    QTest::newRow("program name with a blank") << "binary" << unique("Label Tool");
    QTest::newRow("program name with quote and dollar") << "binary" << unique("It's$HOME");
    QTest::newRow("script tool") << "script" << unique("WeightCheck") + ".sh";
}

void TestProcesses::startScriptStartsToolInItsFolder() {
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QTemporaryDir launcher;
    QVERIFY(QDir(launcher.path()).mkpath(QStringLiteral("tool")));
    const QString toolFolder = launcher.filePath(QStringLiteral("tool"));
    QStringList arguments;
    QVERIFY(!makeTool(toolFolder, kind, name, &arguments).isEmpty());
    m_started << name;

    const QString script = toolFolder + QLatin1Char('/') + Platform::toolStartScriptName();
    QVERIFY(Platform::writeScriptFile(script,
                                      Platform::toolStartScriptText(name + Platform::executableSuffix())));
    QVERIFY(QFileInfo(script).isExecutable());

    // Run from the launcher's folder; the script must find the tool beside itself and not wait
    // for it (the tool runs for a minute, the limit is ten seconds).
    int exitCode = -2;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(Platform::runScript(script, launcher.path(), 10000, &exitCode));
    QCOMPARE(exitCode, 0);
    QVERIFY(timer.elapsed() < 10000);

    QTRY_VERIFY_WITH_TIMEOUT(Platform::listRunningImages().contains(name), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(cwdNoteOf(toolFolder), canonical(toolFolder), 10000);
    QVERIFY(!QFile::exists(launcher.filePath(QStringLiteral("nohup.out"))));
    QVERIFY(!QFile::exists(toolFolder + QStringLiteral("/nohup.out")));
    QCOMPARE(Platform::forceEndImage(name), 1);
}

void TestProcesses::runScriptWaitsWithinItsLimit_data() {
    QTest::addColumn<QByteArray>("body"); // empty: no script file at all
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<int>("expectedCode"); // -2: any code but 0
    QTest::addColumn<bool>("relative");    // the script named from this process's folder
    QTest::newRow("success") << QByteArray("exit 0\n") << 10000 << true << 0 << false;
    QTest::newRow("failure code") << QByteArray("exit 3\n") << 10000 << false << 3 << false;
    QTest::newRow("runs in the working folder")
        << QByteArray("[ \"$(pwd -P)\" = \"$EXPECTED\" ]\n") << 10000 << true << 0 << false;
    QTest::newRow("no limit") << QByteArray("sleep 0.2\n") << -1 << true << 0 << false;
    QTest::newRow("over the limit") << QByteArray("exec sleep 30\n") << 300 << false << -1 << false;
    QTest::newRow("killed") << QByteArray("kill -9 $$\n") << 10000 << false << -1 << false;
    QTest::newRow("missing script") << QByteArray() << 10000 << false << -2 << false;
    QTest::newRow("relative script path") << QByteArray("exit 0\n") << 10000 << true << 0 << true;
}

void TestProcesses::runScriptWaitsWithinItsLimit() {
    QFETCH(QByteArray, body);
    QFETCH(int, timeoutMs);
    QFETCH(bool, expected);
    QFETCH(int, expectedCode);
    QFETCH(bool, relative);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QTemporaryDir work;
    const QString script = dir.filePath(Platform::helperScriptName());
    if (!body.isEmpty())
        QVERIFY(Platform::writeScriptFile(script, "#!/bin/sh\n" + body));
    qputenv("EXPECTED", canonical(work.path()).toLocal8Bit());

    // The wait must not run this thread's events (the launcher relies on nothing happening
    // meanwhile).
    bool eventRan = false;
    QTimer::singleShot(0, this, [&eventRan] { eventRan = true; });
    int exitCode = 12345;
    QElapsedTimer timer;
    timer.start();
    const QString caller = QDir::currentPath();
    if (relative)
        QVERIFY(QDir::setCurrent(dir.path()));
    const bool result = Platform::runScript(relative ? Platform::helperScriptName() : script, work.path(),
                                            timeoutMs, &exitCode);
    QDir::setCurrent(caller);
    QCOMPARE(result, expected);
    QVERIFY(!eventRan);
    if (expectedCode == -2)
        QVERIFY(exitCode != 0);
    else
        QCOMPARE(exitCode, expectedCode);
    if (timeoutMs > 0)
        QVERIFY(timer.elapsed() < timeoutMs + 3000);
    QCoreApplication::processEvents();
    QVERIFY(eventRan);
}

QTEST_GUILESS_MAIN(TestProcesses)
#include "tst_processes.moc"
