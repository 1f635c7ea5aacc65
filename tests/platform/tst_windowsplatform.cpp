// The Windows side of the platform layer against the system itself: the private-profile writer,
// version resources, the process listing, taskkill, batch files and start, and
// what Windows allows on the files of a running program. Runs on Windows or under wine.

#include "installservice.h"
#include "platform.h"
#include "platform_p.h"
#include "testfiles.h"
#include "zipbuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <windows.h>
#include <tlhelp32.h>

namespace {

// What the system itself lists, asked directly: the reference for the platform layer's listing.
QStringList snapshotImages() {
    QStringList images;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return images;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        images << QString::fromWCharArray(entry.szExeFile);
    CloseHandle(snapshot);
    return images;
}

int countImage(const QString &image) {
    int count = 0;
    for (const QString &name : snapshotImages())
        count += name.compare(image, Qt::CaseInsensitive) == 0 ? 1 : 0;
    return count;
}

QByteArray systemWriterResult(const QByteArray &initial, const QString &section, const QString &key,
                              const QByteArray &encodedValue, const QString &folder) {
    const QString path = QDir(folder).filePath(QStringLiteral("system.ini"));
    QFile::remove(path);
    if (!initial.isNull())
        TestFiles::write(path, initial);
    const QByteArray native = QDir::toNativeSeparators(path).toLocal8Bit();
    WritePrivateProfileStringA(section.toLatin1().constData(), key.toLatin1().constData(),
                               encodedValue.constData(), native.constData());
    return TestFiles::read(path);
}

} // namespace

class TestWindowsPlatform : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void profileWriter_data();
    void profileWriter();
    void fileVersions_data();
    void fileVersions();
    void listingFindsRunningProgram();
    void startScriptAndHelperScript();
    void forceEndImageEndsEveryCopy();
    void runningProgramFiles_data();
    void runningProgramFiles();

private:
    QString copySleeper(const QString &folder, const QString &fileName);
    QProcess *startProgram(const QString &program);

    QTemporaryDir m_tmp;
    QList<QProcess *> m_processes;
    QString m_szImage; // a name no other process of the machine carries
};

void TestWindowsPlatform::initTestCase() {
    QVERIFY(m_tmp.isValid());
    QVERIFY(QFileInfo::exists(QStringLiteral(SLEEPER_PROGRAM)));
    m_szImage = QStringLiteral("tvsleep%1.exe").arg(QCoreApplication::applicationPid());
}

void TestWindowsPlatform::cleanup() {
    for (QProcess *process : m_processes) {
        process->kill();
        process->waitForFinished(5000);
        delete process;
    }
    m_processes.clear();
    // Copies started through a batch file are not our children.
    if (countImage(m_szImage) > 0)
        QProcess::execute(QStringLiteral("taskkill"), {QStringLiteral("/f"), QStringLiteral("/im"), m_szImage});
    QTRY_COMPARE_WITH_TIMEOUT(countImage(m_szImage), 0, 10000);
}

QString TestWindowsPlatform::copySleeper(const QString &folder, const QString &fileName) {
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(fileName);
    QFile::remove(path);
    return QFile::copy(QStringLiteral(SLEEPER_PROGRAM), path) ? path : QString();
}

QProcess *TestWindowsPlatform::startProgram(const QString &program) {
    auto *process = new QProcess;
    m_processes << process;
    process->setWorkingDirectory(QFileInfo(program).absolutePath());
    process->start(program, QStringList());
    return process->waitForStarted(10000) ? process : nullptr;
}

// ASCII goes through WritePrivateProfileStringA, byte for byte as the system writes it; anything
// else through our editor, which the system's ANSI writer would garble. QSettings reads both.
void TestWindowsPlatform::profileWriter_data() {
    QTest::addColumn<QByteArray>("initial"); // null: no file yet
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("systemWriter");

    QTest::newRow("new file") << QByteArray() << "LoginUser" << "Account" << "operator" << true;
    QTest::newRow("replaced in place, other case")
        << QByteArray("[LoginUser]\r\nACCOUNT=old\r\nPassword=MTIz\r\n") << "loginuser" << "Account" << "new"
        << true;
    QTest::newRow("new key in the first of two sections")
        << QByteArray("[UserInfo]\r\nUserPosition=FT01\r\n[SelectedTools]\r\ntool1=101\r\n") << "UserInfo"
        << "EmployeeNumber" << "E1001" << true;
    QTest::newRow("multi-line note, escaped")
        << QByteArray("[Tovarin]\r\nversionNo=1.2.0.0\r\n") << "Tovarin" << "versionRemark"
        << "line one\nline two" << true;
    QTest::newRow("Chinese value") << QByteArray() << "Owner" << "DealerName" << QStringLiteral("华东经销商")
                                   << false;
    QTest::newRow("ASCII key in a file holding Chinese")
        << QByteArray("[Owner]\r\nDealerName=\xe5\x8d\x8e\xe4\xb8\x9c\r\n") << "Owner" << "DealerCode" << "1001"
        << false;
}

void TestWindowsPlatform::profileWriter() {
    QFETCH(QByteArray, initial);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(bool, systemWriter);

    const QString path = m_tmp.filePath(QStringLiteral("MAINSET.ini"));
    QFile::remove(path);
    if (!initial.isNull())
        QVERIFY(TestFiles::write(path, initial));
    QVERIFY(Platform::writeProfileString(QFile::encodeName(path), section, key, value));

    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    QCOMPARE(settings.value(Platform::findProfileKey(settings, section, key)).toString(), value);
    if (systemWriter) {
        // Our own editor, which Linux uses, places the key as the system does.
        const QByteArray encoded = Platform::iniEncodeValue(value);
        const QByteArray system = systemWriterResult(initial, section, key, encoded, m_tmp.path());
        QCOMPARE(TestFiles::read(path), system);
        QCOMPARE(Platform::applyProfileWrite(initial, section, key, encoded), system);
    }
}

// The system's version-resource functions and the portable reader agree on real programs.
void TestWindowsPlatform::fileVersions_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    const QString fixtures = QStringLiteral(PE_FIXTURE_DIR);
    QTest::newRow("version resource") << fixtures + "/versioned.exe" << "1.2.0.15";
    QTest::newRow("large numbers") << fixtures + "/bigversion.exe" << "10.0.300.4000";
    QTest::newRow("icons, no version") << fixtures + "/iconsonly.exe" << "0.0.0.0";
    QTest::newRow("no resources") << fixtures + "/noresource.exe" << "0.0.0.0";
    QTest::newRow("the launcher") << QStringLiteral(LAUNCHER_PROGRAM) << QStringLiteral(TOVARIN_VERSION);
    QTest::newRow("missing file") << m_tmp.filePath(QStringLiteral("none.exe")) << "0.0.0.0";
}

void TestWindowsPlatform::fileVersions() {
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(Platform::fileVersionOf(path), expected);
    QCOMPARE(Platform::portableFileVersionOf(path), expected);
}

void TestWindowsPlatform::listingFindsRunningProgram() {
    const QString program = copySleeper(m_tmp.filePath(QStringLiteral("listed")), m_szImage);
    QVERIFY(startProgram(program));
    QTRY_COMPARE_WITH_TIMEOUT(countImage(m_szImage), 1, 10000);
    const QStringList listed = Platform::listRunningImages();
    QVERIFY2(Platform::imageRunning(listed, m_szImage), qPrintable(listed.join(',')));
    QVERIFY(Platform::programRunning(program));
    QVERIFY(!Platform::imageRunning(listed, QStringLiteral("tvnotrunning.exe")));
}

// "temp.bat" starts the tool with start, detached, in its own folder; "tmp.bat" ends it with
// taskkill and stays behind with exactly the stations' two lines.
void TestWindowsPlatform::startScriptAndHelperScript() {
    const QString folder = m_tmp.filePath(QStringLiteral("tool folder"));
    QVERIFY(!copySleeper(folder, m_szImage).isEmpty());
    const QString script = QDir(folder).filePath(Platform::toolStartScriptName());
    QCOMPARE(Platform::toolStartScriptName(), QStringLiteral("temp.bat"));
    QVERIFY(Platform::writeScriptFile(script, Platform::toolStartScriptText(m_szImage)));

    int exitCode = -2;
    QVERIFY(Platform::runScript(script, m_tmp.path(), 30000, &exitCode));
    QCOMPARE(exitCode, 0);
    QTRY_COMPARE_WITH_TIMEOUT(countImage(m_szImage), 1, 15000);
    // The tool's working folder is its own, not the one the script was run from.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(QDir(folder).filePath(QStringLiteral("sleeper-cwd.txt"))), 10000);
    QCOMPARE(QDir(QString::fromLocal8Bit(TestFiles::read(QDir(folder).filePath("sleeper-cwd.txt")))).canonicalPath(),
             QDir(folder).canonicalPath());

    const QString helperFolder = m_tmp.filePath(QStringLiteral("launcher"));
    QDir().mkpath(helperFolder);
    Platform::endImageThroughHelper(m_szImage, helperFolder);
    QTRY_COMPARE_WITH_TIMEOUT(countImage(m_szImage), 0, 15000);
    QCOMPARE(TestFiles::read(QDir(helperFolder).filePath(QStringLiteral("tmp.bat"))),
             QByteArray("taskkill /f /im " + m_szImage.toLatin1() + "\r\nexit"));
}

void TestWindowsPlatform::forceEndImageEndsEveryCopy() {
    for (const char *folder : {"first", "second"})
        QVERIFY(startProgram(copySleeper(m_tmp.filePath(QLatin1String(folder)), m_szImage)));
    QTRY_COMPARE_WITH_TIMEOUT(countImage(m_szImage), 2, 10000);
    QCOMPARE(Platform::forceEndImage(m_szImage), 2);
    QTRY_COMPARE_WITH_TIMEOUT(countImage(m_szImage), 0, 10000);
}

// A running program's file can be renamed but neither overwritten nor deleted on Windows; the
// installation engine moves it aside by renaming, so a tool or the updater that still runs is
// replaced all the same, and the folder ends wholly new.
void TestWindowsPlatform::runningProgramFiles_data() {
    QTest::addColumn<int>("kind");
    QTest::newRow("zip package") << int(InstallService::PACKAGE_ZIP);
    QTest::newRow("exe package") << int(InstallService::PACKAGE_EXE);
}

void TestWindowsPlatform::runningProgramFiles() {
    QFETCH(int, kind);
    const QString folder = m_tmp.filePath(QStringLiteral("installed %1").arg(kind));
    const QString program = copySleeper(folder, m_szImage);
    QVERIFY(TestFiles::write(QDir(folder).filePath(QStringLiteral("config.ini")), "[Tool]\r\nold=1\r\n"));
    QVERIFY(startProgram(program));
    QTRY_COMPARE_WITH_TIMEOUT(countImage(m_szImage), 1, 10000);

    const QByteArray newBytes = TestFiles::read(QStringLiteral(PE_FIXTURE_DIR "/versioned.exe"));
    {
        QFile file(program);
        QVERIFY2(!file.open(QIODevice::WriteOnly), "a running program was opened for writing");
    }
    if (QFile::remove(program)) {
        // Wine lets a running program's file go (Windows never does): the rest cannot be shown.
        QSKIP("wine deleted the file of a running program, which Windows refuses");
    }
    const QString aside = program + QStringLiteral(".aside");
    QVERIFY(QFile::rename(program, aside));
    QVERIFY(QFile::rename(aside, program));

    InstallService service;
    QString package = m_tmp.filePath(QStringLiteral("package %1").arg(kind));
    InstallService::INSTALLRESULT_E result;
    if (kind == InstallService::PACKAGE_ZIP) {
        package += QStringLiteral(".zip");
        QVERIFY(ZipBuilder::write(package, {{m_szImage, newBytes}, {"config.ini", "[Tool]\r\nnew=1\r\n"}}));
        result = service.install(package, folder, QStringList(), InstallService::PACKAGE_ZIP);
    } else {
        package += QStringLiteral(".exe");
        QVERIFY(TestFiles::write(package, newBytes));
        result = service.install(package, program, QStringList(), InstallService::PACKAGE_EXE);
    }
    QCOMPARE(int(result), int(InstallService::INSTALL_OK));
    QCOMPARE(TestFiles::read(program), newBytes);
    QCOMPARE(Platform::fileVersionOf(program), QStringLiteral("1.2.0.15"));
    QCOMPARE(countImage(m_szImage), 1); // the old program still runs, from its moved file
    // Its file, which cannot be deleted yet, holds up no one.
    QVERIFY(!InstallService::isInstalling(folder));
    QVERIFY(InstallService::recoverInterrupted(folder));

    // What the running program held is cleared away once it has ended.
    cleanup();
    QVERIFY(InstallService::recoverInterrupted(folder));
    QVERIFY(!QFileInfo::exists(InstallService::journalPathOf(folder)));
    QCOMPARE(TestFiles::read(program), newBytes);
    const QFileInfo journal(InstallService::journalPathOf(folder));
    QTRY_VERIFY_WITH_TIMEOUT(QDir(journal.path())
                                 .entryList({journal.fileName() + QStringLiteral("*")},
                                            QDir::AllEntries | QDir::Hidden | QDir::System)
                                 .isEmpty(),
                             20000);
}

QTEST_GUILESS_MAIN(TestWindowsPlatform)
#include "tst_windowsplatform.moc"
