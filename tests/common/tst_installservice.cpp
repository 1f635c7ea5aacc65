#include "installservice.h"
#include "platform.h"
#include "testfiles.h"
#include "zipbuilder.h"

#include <QDirIterator>
#include <QProcess>
#include <QScopeGuard>
#include <QSemaphore>
#include <QStorageInfo>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <utility>

using namespace TestFiles;
using FileRecord = QMap<QString, QByteArray>;

Q_DECLARE_METATYPE(ZipEntry)
Q_DECLARE_METATYPE(QList<ZipEntry>)

namespace {

const char kChildSwitch[] = "--install-child";
const int kChildCannotLimit = 77; // the child's answer where no file-size cap exists

// Every entry below root, hidden ones included: "mode content" for files, "dir" for folders.
QMap<QString, QByteArray> record(const QString &root) {
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString rel = QDir(root).relativeFilePath(path);
        if (info.isDir()) {
            files.insert(rel, "dir");
            continue;
        }
#ifdef Q_OS_WIN
        files.insert(rel, read(path)); // no mode bits to compare
#else
        // Owner, group and others: the "user" bits say what this process may do (anything, as root).
        const QByteArray mode = QByteArray::number(uint(info.permissions() & 0x7077), 16);
        files.insert(rel, mode + ' ' + read(path));
#endif
    }
    return files;
}

// A Unix mode as Qt's permissions, whose owner and "user" bits both stand for the Unix owner bits.
QFile::Permissions qtMode(quint32 unixMode) {
    const auto third = [unixMode](int shift) { return (unixMode >> shift) & 7; };
    return QFile::Permissions((third(6) << 12) | (third(6) << 8) | (third(3) << 4) | third(0));
}

// The mode in record()'s notation.
QByteArray installed(quint32 unixMode, const QByteArray &content) {
#ifdef Q_OS_WIN
    Q_UNUSED(unixMode)
    return content;
#else
    return QByteArray::number(uint(qtMode(unixMode) & 0x7077), 16) + ' ' + content;
#endif
}

// Larger than one read of the installer, and no two reads alike.
QByteArray multiReadBody() {
    QByteArray body(600 * 1024, 'x');
    for (int i = 0; i < body.size(); i += 97)
        body[i] = char(i / 97);
    return body;
}

// Everything named after the folder's journal beside it: the journal, its lock, what is left of
// a finished one while it is being deleted.
QStringList journalTraces(const QString &folder) {
    const QFileInfo journal(InstallService::journalPathOf(folder));
    return QDir(journal.path())
        .entryList({journal.fileName() + "*"}, QDir::AllEntries | QDir::Hidden | QDir::System);
}

// Reads the child's output until it says it stopped at its step (the main thread may print its
// result first, as the step can come after install() returned).
bool waitForStop(QProcess &child) {
    QByteArray output;
    return QTest::qWaitFor(
               [&] {
                   output += child.readAllStandardOutput();
                   return output.contains("STOPPED") || child.state() == QProcess::NotRunning;
               },
               60000) &&
           output.contains("STOPPED");
}

// Runs in the child process: installs or recovers as the arguments say, stopping for good at
// the named step so that the parent can kill it there.
int childMain(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(2);
    const QString mode = args.value(0);
    if (mode == QLatin1String("recover"))
        return InstallService::recoverInterrupted(args.value(1)) ? 0 : 1;

    const QString package = args.value(1);
    const QString target = args.value(2);
    const auto kind =
        args.value(3) == QLatin1String("exe") ? InstallService::PACKAGE_EXE : InstallService::PACKAGE_ZIP;
    const int sizeLimit = args.value(4).toInt();
    const int stopStep = args.value(5).toInt();
    const int stopIndex = args.value(6).toInt();
    const QString fault = args.value(7);
    const QStringList keepList = args.mid(8);

    InstallService service;
    const QString journal = InstallService::journalPathOf(
        kind == InstallService::PACKAGE_EXE ? QFileInfo(target).path() : target);
    // By value: the clean-up calls it after install() returned, up to the application's end.
    service.setStepWatcher([=](InstallService::INSTALLSTEP_E step, int index) {
        // A file standing where the journal puts old files aside: the first file to replace
        // cannot be moved, as a file held exclusively on Windows.
        if (fault == QLatin1String("aside-blocked") && step == InstallService::STEP_JOURNAL_WRITTEN)
            write(journal + "/old", "in the way");
        // A clean-up slow enough that the program ends long before it does.
        if (fault == QLatin1String("slow-cleanup") && step == InstallService::STEP_FILE_REMOVED)
            QThread::msleep(200);
        if (step == stopStep && index == stopIndex) {
            std::fputs("STOPPED\n", stdout);
            std::fflush(stdout);
            for (;;)
                QThread::sleep(1);
        }
    });
    std::unique_ptr<FileSizeLimit> limit(sizeLimit ? new FileSizeLimit(sizeLimit) : nullptr);
    if (limit && !limit->isActive())
        return kChildCannotLimit;
    const InstallService::INSTALLRESULT_E result = service.install(package, target, keepList, kind);
    limit.reset();
    std::fputs(qPrintable(service.message() + "\n"), stdout);
    std::fflush(stdout);
    // To be killed while cleaning up, it lives on after installing, as the programs do.
    if (stopStep == InstallService::STEP_FILE_REMOVED) {
        for (;;)
            QThread::sleep(1);
    }
    return int(result);
}

} // namespace

class tst_InstallService : public QObject {
    Q_OBJECT
private slots:
    void faultMatrix_data();
    void faultMatrix();
    void progressArrivesWhileTheCallerWaits();
    void unchangedFileStaysInPlace_data();
    void unchangedFileStaysInPlace();
    void secondInstallationIntoABusyFolderIsRefused_data();
    void secondInstallationIntoABusyFolderIsRefused();
    void aMomentsLookAtTheFolderIsWaitedOut();
    void cleanUpAfterInstalling_data();
    void cleanUpAfterInstalling();
    void journalOfAnotherFolderBlocksNothing_data();
    void journalOfAnotherFolderBlocksNothing();
    void archiveFolder_data();
    void archiveFolder();
    void plantedJournal_data();
    void plantedJournal();
};

void tst_InstallService::faultMatrix_data() {
    QTest::addColumn<QString>("kind"); // "zip" or "exe"
    QTest::addColumn<QList<ZipEntry>>("entries");
    QTest::addColumn<QByteArray>("corruptMarker");
    QTest::addColumn<QStringList>("keepList");
    QTest::addColumn<int>("sizeLimit"); // bytes any one file may grow to in the child; 0: none
    QTest::addColumn<int>("killStep");  // InstallService::INSTALLSTEP_E, -1: not killed
    QTest::addColumn<int>("killIndex");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("becomesNew");    // false: the target must be exactly as before
    QTest::addColumn<FileRecord>("changes"); // the new files, when it becomes new

    const QByteArray big(4 << 20, 'B');
    const QList<ZipEntry> package{{"a.txt", "new-a"},
                                  {"big/data.bin", big},
                                  {"bin/tool", "new-tool", ZipEntry::File, 0755},
                                  {"conf/", "", ZipEntry::Folder},
                                  {"conf/station.ini", "station=default"},
                                  {"conf/new.ini", "added"},
                                  {"conf/sub/x.ini", "x-new"},
                                  {".env", "dot-file", ZipEntry::File, 0600},
                                  {".hidden/h.txt", "LAST-h"}};
    const QMap<QString, QByteArray> allNew{{"a.txt", installed(0644, "new-a")},
                                           {"big", "dir"},
                                           {"big/data.bin", installed(0644, big)},
                                           {"bin/tool", installed(0755, "new-tool")},
                                           {"conf/station.ini", installed(0644, "station=default")},
                                           {"conf/new.ini", installed(0644, "added")},
                                           {"conf/sub/x.ini", installed(0644, "x-new")},
                                           {".env", installed(0600, "dot-file")},
                                           {".hidden", "dir"},
                                           {".hidden/h.txt", installed(0644, "LAST-h")}};
    const QByteArray none;
    const QStringList noKeep;
    const QMap<QString, QByteArray> same;
    const int files = 8;
    auto keptNew = allNew;
    keptNew.remove("a.txt");
    keptNew.remove("conf/station.ini");

    QTest::newRow("everything installed, dot-files and modes included")
        << "zip" << package << none << noKeep << 0 << -1 << 0 << "" << true << allNew;
    QTest::newRow("keep-listed file and folder: direct files kept, sub-folders installed")
        << "zip" << package << none << QStringList{"a.txt", "./conf/"} << 0 << -1 << 0 << "" << true
        << keptNew;
    QTest::newRow("keep-listed names not installed yet are added")
        << "zip" << package << none << QStringList{"conf/new.ini", ".env", "nothing/here"} << 0 << -1 << 0
        << "" << true << allNew;
    QTest::newRow("folder entry without its parent's")
        << "zip" << QList<ZipEntry>{{"deep/er/", "", ZipEntry::Folder}} << none << noKeep << 0 << -1 << 0
        << "" << true << FileRecord{{"deep", "dir"}, {"deep/er", "dir"}};
    QTest::newRow("damaged first entry")
        << "zip" << package << QByteArray("new-a") << noKeep << 0 << -1 << 0 << "" << false << same;
    QTest::newRow("damaged middle entry")
        << "zip" << package << QByteArray("new-tool") << noKeep << 0 << -1 << 0 << "" << false << same;
    QTest::newRow("damaged last entry")
        << "zip" << package << QByteArray("LAST-h") << noKeep << 0 << -1 << 0 << "" << false << same;
    QTest::newRow("damaged entry of a kept file")
        << "zip" << package << QByteArray("new-a") << QStringList{"a.txt"} << 0 << -1 << 0 << "" << false
        << same;
    QTest::newRow("entry ending before its announced size")
        << "zip" << package << none << noKeep << 0 << -1 << 0 << "short-entry" << false << same;
    QTest::newRow("file-size limit after a replaced file")
        << "zip" << package << none << noKeep << (1 << 20) << -1 << 0 << "" << false << same;
    QTest::newRow("file-size limit at the first byte")
        << "zip" << package << none << noKeep << 1 << -1 << 0 << "" << false << same;
    QTest::newRow("climbing entry") << "zip" << QList<ZipEntry>{{"a.txt", "new-a"}, {"../outside.txt", "x"}}
                                    << none << noKeep << 0 << -1 << 0 << "" << false << same;
    QTest::newRow("link entry") << "zip" << QList<ZipEntry>{{"a.txt", "new-a"}, {"l", "/etc", ZipEntry::Link}}
                                << none << noKeep << 0 << -1 << 0 << "" << false << same;
    QTest::newRow("file where a folder is installed")
        << "zip" << QList<ZipEntry>{{"a.txt", "new-a"}, {"conf", "flat"}} << none << noKeep << 0 << -1 << 0
        << "" << false << same;
    QTest::newRow("empty archive") << "zip" << QList<ZipEntry>{} << none << noKeep << 0 << -1 << 0 << ""
                                   << false << same;
    QTest::newRow("old file cannot be moved aside")
        << "zip" << package << none << noKeep << 0 << -1 << 0 << "aside-blocked" << false << same;
    QTest::newRow("killed during backup")
        << "zip" << package << none << noKeep << 0 << int(InstallService::STEP_FILE_STAGED) << 2 << ""
        << false << same;
    QTest::newRow("killed with the journal written")
        << "zip" << package << none << noKeep << 0 << int(InstallService::STEP_JOURNAL_WRITTEN) << 0 << ""
        << false << same;
    QTest::newRow("killed mid-write, first file in place")
        << "zip" << package << none << noKeep << 0 << int(InstallService::STEP_FILE_MOVED_IN) << 1 << ""
        << false << same;
    QTest::newRow("killed mid-write, half in place")
        << "zip" << package << none << noKeep << 0 << int(InstallService::STEP_FILE_MOVED_IN) << files / 2
        << "" << false << same;
    QTest::newRow("killed before the end, every file in place")
        << "zip" << package << none << noKeep << 0 << int(InstallService::STEP_FILE_MOVED_IN) << files << ""
        << false << same;
#ifndef Q_OS_WIN
    QTest::newRow("killed with the first old file under both names")
        << "zip" << package << none << noKeep << 0 << int(InstallService::STEP_OLD_KEPT) << 0 << ""
        << false << same;
#endif
    QTest::newRow("killed after completion, before cleaning up")
        << "zip" << package << none << noKeep << 0 << int(InstallService::STEP_COMMITTED) << files << ""
        << true << allNew;

    const QList<ZipEntry> exe{{"", "new-tool-exe"}};
    const QMap<QString, QByteArray> exeNew{{"bin/tool", installed(0755, "new-tool-exe")}};
    QTest::newRow("exe installs executable")
        << "exe" << exe << none << noKeep << 0 << -1 << 0 << "" << true << exeNew;
    QTest::newRow("exe with nothing to replace")
        << "exe" << exe << none << noKeep << 0 << -1 << 0 << "no-target" << false << same;
    QTest::newRow("exe under a file-size limit")
        << "exe" << exe << none << noKeep << 4 << -1 << 0 << "" << false << same;
    QTest::newRow("exe killed mid-write")
        << "exe" << exe << none << noKeep << 0 << int(InstallService::STEP_FILE_MOVED_IN) << 1 << "" << false
        << same;
}

void tst_InstallService::faultMatrix() {
    QFETCH(QString, kind);
    QFETCH(QList<ZipEntry>, entries);
    QFETCH(QByteArray, corruptMarker);
    QFETCH(QStringList, keepList);
    QFETCH(int, sizeLimit);
    QFETCH(int, killStep);
    QFETCH(int, killIndex);
    QFETCH(QString, fault);
    QFETCH(bool, becomesNew);
    QFETCH(FileRecord, changes);

    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QString target = scratch.filePath("station/tool");
    QVERIFY(writeTree(target, Tree{{"a.txt", "old-a"},
                                   {"b.txt", "old-b"},
                                   {"bin/tool", "old-tool"},
                                   {"conf/station.ini", "station=7"},
                                   {"conf/sub/x.ini", "x-old"},
                                   {".config", "hidden-old"}}));
    QVERIFY(QFile::setPermissions(target + "/bin/tool", QFile::Permissions(0x7755)));
    const QString package = scratch.filePath("download/" + QString(kind == "zip" ? "tool.zip" : "tool"));
    if (kind == "zip") {
        QVERIFY(QDir().mkpath(scratch.filePath("download")));
        QVERIFY(ZipBuilder::write(package, entries));
        if (!corruptMarker.isEmpty())
            QVERIFY(ZipBuilder::corrupt(package, corruptMarker));
        if (fault == "short-entry")
            QVERIFY(ZipBuilder::declareLonger(package, "bin/tool", 16));
    } else {
        QVERIFY(write(package, entries.first().content));
    }
    if (fault == "no-target")
        QVERIFY(QFile::remove(target + "/bin/tool"));
    const QString installTarget = kind == "zip" ? target : target + "/bin/tool";

    const QMap<QString, QByteArray> before = record(target);
    const QByteArray packageBytes = read(package);
    const QStringList outsideBefore = entriesBelow(scratch.path(), QDir::AllEntries | QDir::Hidden);

    QProcess child;
    QString childOutput;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments(QStringList{kChildSwitch, "install", package, installTarget, kind,
                                   QString::number(sizeLimit), QString::number(killStep),
                                   QString::number(killIndex), fault} +
                       keepList);
    child.start();
    QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
    if (killStep >= 0) {
        QTRY_VERIFY_WITH_TIMEOUT(child.canReadLine() || child.state() == QProcess::NotRunning, 60000);
        QCOMPARE(child.readLine().replace("\r\n", "\n"), QByteArray("STOPPED\n"));
        child.kill(); // SIGKILL: nothing of the installer runs any more
        QVERIFY(child.waitForFinished());
        // Killed anywhere, the folder still has a file under every name it had.
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QVERIFY2(QFileInfo::exists(target + "/" + it.key()), qPrintable(it.key()));

        // The next start settles the folder before anything else touches it.
        QProcess recovery;
        recovery.start(QCoreApplication::applicationFilePath(),
                       {kChildSwitch, "recover", kind == "zip" ? target : target + "/bin"});
        QVERIFY(recovery.waitForFinished(60000));
        QCOMPARE(recovery.exitCode(), 0);
    } else {
        QVERIFY(child.waitForFinished(60000));
        childOutput = QString::fromUtf8(child.readAll());
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        if (child.exitCode() == kChildCannotLimit)
            QSKIP("no per-process file size cap on this system");
        QCOMPARE(child.exitCode() == int(InstallService::INSTALL_OK), becomesNew);
    }

    const QString journal = InstallService::journalPathOf(kind == "zip" ? target : target + "/bin");
    QVERIFY2(
        !QFileInfo::exists(journal),
        qPrintable(entriesBelow(journal, QDir::AllEntries | QDir::Hidden).join(", ") + " / " + childOutput));
    // The child ended right after installing or recovering, maybe before its clean-up did; a
    // later start of a program that lives on removes the rest (for an executable: inside the
    // recorded folder).
    QVERIFY(InstallService::recoverInterrupted(kind == "zip" ? target : target + "/bin"));
    QTRY_VERIFY(journalTraces(kind == "zip" ? target : target + "/bin").isEmpty());

    QMap<QString, QByteArray> expected = before;
    if (becomesNew) {
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            expected.insert(it.key(), it.value());
    }
    const QMap<QString, QByteArray> after = record(target);
    // Compared key by key first: a failure names the file instead of printing 4 MiB.
    QCOMPARE(after.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(after.value(it.key()) == it.value(), qPrintable(it.key()));
    if (becomesNew) {
        QVERIFY(!QFileInfo::exists(package));
    } else {
        QCOMPARE(read(package), packageBytes);
        // Nothing was written beside the target either.
        QCOMPARE(entriesBelow(scratch.path(), QDir::AllEntries | QDir::Hidden), outsideBefore);
    }
}

// The caller's event loop runs while the worker unpacks: progress reaches the caller's thread
// before install() returns, ending at every file and byte of the package.
void tst_InstallService::progressArrivesWhileTheCallerWaits() {
    QTemporaryDir scratch;
    QList<ZipEntry> entries;
    for (int i = 0; i < 40; ++i)
        entries << ZipEntry{QString("f%1.bin").arg(i), QByteArray(256 * 1024, char('a' + i % 26))};
    const QString package = scratch.filePath("p.zip");
    QVERIFY(ZipBuilder::write(package, entries));
    QVERIFY(QDir().mkpath(scratch.filePath("t")));

    InstallService service;
    QList<QList<qint64>> progress;
    bool offThread = false;
    connect(&service, &InstallService::sigInstallProgress, &service,
            [&](int files, int filesTotal, qint64 bytes, qint64 bytesTotal) {
                offThread |= QThread::currentThread() != qApp->thread();
                progress << QList<qint64>{files, filesTotal, bytes, bytesTotal};
            });
    QCOMPARE(service.install(package, scratch.filePath("t"), {}, InstallService::PACKAGE_ZIP),
             InstallService::INSTALL_OK);
    // Queued reports run only in an event loop: these ran in the one install() waited in.
    QVERIFY(!progress.isEmpty());
    QVERIFY(!offThread);
    const qint64 bytes = qint64(40) * 256 * 1024;
    QCOMPARE(progress.last(), (QList<qint64>{40, 40, bytes, bytes}));
    QVERIFY(service.message().isEmpty());
    QTRY_VERIFY(journalTraces(scratch.filePath("t")).isEmpty());
}

// A file installed already with the package's bytes and mode is neither staged nor renamed:
// its modification time tells whether it was touched. Anything else ends as the package says.
void tst_InstallService::unchangedFileStaysInPlace_data() {
    QTest::addColumn<QByteArray>("installedBytes");
    QTest::addColumn<int>("installedMode"); // 0: a link to a file of those bytes
    QTest::addColumn<int>("packageMode");
    QTest::addColumn<bool>("leftInPlace");
    // A difference after the installer's first read must keep what came before it.
    const QByteArray body = multiReadBody();
    QByteArray lastByte = body;
    lastByte[lastByte.size() - 1] = '!';
    QTest::newRow("same bytes and mode") << body << 0644 << 0644 << true;
    QTest::newRow("one byte differs after the first read") << lastByte << 0644 << 0644 << false;
    QTest::newRow("same start, installed one longer") << body + "tail" << 0644 << 0644 << false;
    QTest::newRow("same bytes, now read-only") << body << 0644 << 0444 << false;
#ifndef Q_OS_WIN
    QTest::newRow("a link to the same bytes") << body << 0 << 0644 << false;
#endif
}

void tst_InstallService::unchangedFileStaysInPlace() {
    QFETCH(QByteArray, installedBytes);
    QFETCH(int, installedMode);
    QFETCH(int, packageMode);
    QFETCH(bool, leftInPlace);

    QTemporaryDir scratch;
    const QString target = scratch.filePath("tool");
    const QString file = target + "/lib/data.bin";
    const QByteArray body = multiReadBody();
    QVERIFY(writeTree(target, Tree{{"other.txt", "old"}}));
    if (installedMode == 0) {
        QVERIFY(write(scratch.filePath("elsewhere.bin"), installedBytes));
        QVERIFY(QDir().mkpath(target + "/lib"));
        QVERIFY(QFile::link(scratch.filePath("elsewhere.bin"), file));
    } else {
        QVERIFY(write(file, installedBytes));
        QVERIFY(QFile::setPermissions(file, qtMode(quint32(installedMode))));
        QFile stamp(file);
        QVERIFY(stamp.open(QIODevice::ReadWrite));
        QVERIFY(stamp.setFileTime(QDateTime(QDate(2020, 1, 2), QTime(3, 4)), QFileDevice::FileModificationTime));
    }
    const QDateTime before = QFileInfo(file).lastModified();
    const QString package = scratch.filePath("p.zip");
    QVERIFY(ZipBuilder::write(package, {{"lib/data.bin", body, ZipEntry::File, quint32(packageMode)},
                                        {"other.txt", "new"}}));

    InstallService service;
    QCOMPARE(service.install(package, target, {}, InstallService::PACKAGE_ZIP), InstallService::INSTALL_OK);
    const QMap<QString, QByteArray> after = record(target);
    QCOMPARE(after.value("other.txt"), installed(0644, "new"));
    QVERIFY(after.value("lib/data.bin") == installed(quint32(packageMode), body));
    QVERIFY(!QFileInfo(file).isSymLink());
    QCOMPARE(QFileInfo(file).lastModified() == before, leftInPlace);
    QTRY_VERIFY(journalTraces(target).isEmpty());
}

// Pressing another update button while an installation waits starts a second one inside that
// wait; into the same folder it must neither run nor take the first one's journal for debris.
// One folder, two installers: one started from the first one's wait in this process, or a
// second program (the updater and a launcher started meanwhile). The second is refused and its
// recovery leaves the live journal alone; a killed holder blocks nothing afterwards.
void tst_InstallService::secondInstallationIntoABusyFolderIsRefused_data() {
    QTest::addColumn<bool>("otherProcess");
    QTest::newRow("from the first one's wait") << false;
    QTest::newRow("another program") << true;
}

void tst_InstallService::secondInstallationIntoABusyFolderIsRefused() {
    QFETCH(bool, otherProcess);
    QTemporaryDir scratch;
    const QString target = scratch.filePath("t");
    QVERIFY(writeTree(target, Tree{{"a.txt", "old-a"}}));
    const QString first = scratch.filePath("first.zip");
    const QString second = scratch.filePath("second.zip");
    QVERIFY(ZipBuilder::write(first, {{"a.txt", "first"}, {"big.bin", QByteArray(8 << 20, 'x')}}));
    QVERIFY(ZipBuilder::write(second, {{"a.txt", "second"}}));

    InstallService inner;
    int innerResult = -1;
    bool recovered = true;
    const auto meddle = [&] {
        recovered = InstallService::recoverInterrupted(target);
        innerResult = inner.install(second, target, {}, InstallService::PACKAGE_ZIP);
    };
    if (otherProcess) {
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(),
                     {kChildSwitch, "install", first, target, "zip", "0",
                      QString::number(InstallService::STEP_FILE_MOVED_IN), "1", ""});
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine() || holder.state() == QProcess::NotRunning, 60000);
        QCOMPARE(holder.readLine().trimmed(), QByteArray("STOPPED"));
        QVERIFY(InstallService::isInstalling(target));
        meddle();
        QVERIFY(QFileInfo::exists(InstallService::journalPathOf(target) + "/manifest"));
        holder.kill();
        QVERIFY(holder.waitForFinished());
        QVERIFY(!InstallService::isInstalling(target));
        QVERIFY(InstallService::recoverInterrupted(target));
        QCOMPARE(read(target + "/a.txt"), QByteArray("old-a"));
    } else {
        InstallService outer;
        bool meddled = false; // the inner one's wait for the lock runs events too
        connect(&outer, &InstallService::sigInstallProgress, &outer, [&] {
            if (!std::exchange(meddled, true))
                meddle();
        });
        QCOMPARE(outer.install(first, target, {}, InstallService::PACKAGE_ZIP), InstallService::INSTALL_OK);
        QCOMPARE(read(target + "/a.txt"), QByteArray("first"));
    }
    QCOMPARE(innerResult, int(InstallService::INSTALL_FAILED));
    QVERIFY(!recovered);
    QVERIFY(QFileInfo::exists(second));
    QCOMPARE(inner.install(second, target, {}, InstallService::PACKAGE_ZIP), InstallService::INSTALL_OK);
    QCOMPARE(read(target + "/a.txt"), QByteArray("second"));
    QTRY_VERIFY(journalTraces(target).isEmpty());
}

// A program starting meanwhile looks at the folder's lock for an instant (isInstalling, a
// recovery with nothing to recover): the installation starting at that instant goes on after it.
void tst_InstallService::aMomentsLookAtTheFolderIsWaitedOut() {
    QTemporaryDir scratch;
    const QString target = scratch.filePath("t");
    const QString package = scratch.filePath("p.zip");
    QVERIFY(writeTree(target, Tree{{"a.txt", "old-a"}}));
    QVERIFY(ZipBuilder::write(package, {{"a.txt", "new-a"}}));
    Platform::FileLock look(InstallService::journalPathOf(target) + ".lock");
    QVERIFY(look.tryLock());
    QTimer::singleShot(300, this, [&look] { look.unlock(); });
    InstallService service;
    QCOMPARE(service.install(package, target, {}, InstallService::PACKAGE_ZIP), InstallService::INSTALL_OK);
    QCOMPARE(read(target + "/a.txt"), QByteArray("new-a"));
}

// The replaced files are deleted after install() returned. Until that clean-up ends, however it
// ends (in this program or another one, killed, or the program exiting), the folder is complete,
// not being installed into, and open to the next installation; the next recovery of the folder
// removes whatever the clean-up had not.
void tst_InstallService::cleanUpAfterInstalling_data() {
    QTest::addColumn<bool>("otherProgram");  // the first installation runs in a child process
    QTest::addColumn<QString>("cleanUp");    // "paused" at its first file (a child is then
                                             // killed), or "slow" (the child exits meanwhile)
    QTest::addColumn<bool>("secondInstall"); // another package installed while it is unfinished
    QTest::newRow("paused here, second installation") << false << "paused" << true;
    QTest::newRow("paused in another program, second installation") << true << "paused" << true;
    QTest::newRow("killed in another program, recovered") << true << "paused" << false;
    QTest::newRow("program exits while cleaning up, recovered") << true << "slow" << false;
    QTest::newRow("program exits while cleaning up, second installation") << true << "slow" << true;
}

void tst_InstallService::cleanUpAfterInstalling() {
    QFETCH(bool, otherProgram);
    QFETCH(QString, cleanUp);
    QFETCH(bool, secondInstall);
    QTemporaryDir scratch;
    const QString target = scratch.filePath("t");
    Tree old{{"kept.txt", "not in any package"}};
    QList<ZipEntry> first{{"added/one.txt", "first added"}};
    QList<ZipEntry> second{{"added/two.txt", "second added"}};
    for (int i = 0; i < 40; ++i) {
        const QString name = QString("sub%1/f%2.txt").arg(i % 4).arg(i);
        old.insert(name, "old " + name.toUtf8());
        first << ZipEntry{name, "first " + name.toUtf8()};
        if (i % 8 == 0)
            second << ZipEntry{name, "second " + name.toUtf8()};
    }
    QVERIFY(writeTree(target, old));
    const QString firstZip = scratch.filePath("packages/first.zip");
    const QString secondZip = scratch.filePath("packages/second.zip");
    QVERIFY(QDir().mkpath(scratch.filePath("packages")));
    QVERIFY(ZipBuilder::write(firstZip, first));
    QVERIFY(ZipBuilder::write(secondZip, second));
    const auto overlay = [](Tree tree, const QList<ZipEntry> &entries) {
        for (const ZipEntry &entry : entries) {
            tree.insert(entry.name, entry.content);
            tree.insert(entry.name.section('/', 0, 0), "<dir>");
        }
        return tree;
    };
    Tree expected = overlay(snapshot(target), first);

    // Shared with the cleaning thread, which may outlive this function when a check fails.
    struct Gate {
        QSemaphore paused;
        QSemaphore resume;
    };
    const auto gate = std::make_shared<Gate>();
    const auto release = qScopeGuard([gate] { gate->resume.release(1000); });
    InstallService service;
    QProcess child;
    const auto killChild = qScopeGuard([&child] {
        child.kill();
        child.waitForFinished();
    });
    if (otherProgram) {
        const bool pause = cleanUp == "paused";
        child.start(QCoreApplication::applicationFilePath(),
                    {kChildSwitch, "install", firstZip, target, "zip", "0",
                     QString::number(pause ? int(InstallService::STEP_FILE_REMOVED) : -1), "1",
                     pause ? "" : "slow-cleanup"});
        if (pause) {
            QVERIFY(waitForStop(child));
        } else {
            QVERIFY(child.waitForFinished(60000));
            QCOMPARE(child.exitStatus(), QProcess::NormalExit);
            QCOMPARE(child.exitCode(), int(InstallService::INSTALL_OK));
        }
    } else {
        service.setStepWatcher([gate](InstallService::INSTALLSTEP_E step, int index) {
            if (step == InstallService::STEP_FILE_REMOVED && index == 1) {
                gate->paused.release();
                gate->resume.tryAcquire(1, 20000);
            }
        });
        QCOMPARE(service.install(firstZip, target, {}, InstallService::PACKAGE_ZIP),
                 InstallService::INSTALL_OK);
        QVERIFY(gate->paused.tryAcquire(1, 60000));
    }

    // Installed and free, though the old files are not all deleted yet.
    QVERIFY(!InstallService::isInstalling(target));
    QVERIFY(!QFileInfo::exists(InstallService::journalPathOf(target)));
    const QStringList unfinished = journalTraces(target);
    QCOMPARE(unfinished.size(), 1);
    const QString leftover = scratch.filePath(unfinished.first());
    const QStringList leftoverContent = entriesBelow(leftover);
    QCOMPARE(snapshot(target), expected);
    QVERIFY(!QFileInfo::exists(firstZip));
    if (secondInstall) {
        InstallService next;
        QCOMPARE(next.install(secondZip, target, {}, InstallService::PACKAGE_ZIP),
                 InstallService::INSTALL_OK);
        expected = overlay(expected, second);
        QCOMPARE(snapshot(target), expected);
    }
    if (otherProgram && child.state() != QProcess::NotRunning) {
        // A clean-up under way in another program is left to it, by the second installation too.
        QVERIFY(InstallService::recoverInterrupted(target));
        QCOMPARE(entriesBelow(leftover), leftoverContent);
    }
    if (otherProgram && cleanUp == "paused") {
        child.kill();
        QVERIFY(child.waitForFinished());
    }
    gate->resume.release();

    // The next start.
    QVERIFY(InstallService::recoverInterrupted(target));
    QTRY_VERIFY_WITH_TIMEOUT(journalTraces(target).isEmpty(), 20000);
    QCOMPARE(snapshot(target), expected);
    QCOMPARE(QDir(scratch.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"packages", "t"}));
}

// A journal left in one folder (a rollback that could not finish) holds up that folder alone:
// not the tools inside the launcher's folder, nor a tool beside another one.
void tst_InstallService::journalOfAnotherFolderBlocksNothing_data() {
    QTest::addColumn<QString>("stuck");
    QTest::newRow("the folder holding the target") << "app";
    QTest::newRow("a folder beside the target") << "app/other";
}

void tst_InstallService::journalOfAnotherFolderBlocksNothing() {
    QFETCH(QString, stuck);
    QTemporaryDir scratch;
    const QString target = scratch.filePath("app/tool");
    QVERIFY(writeTree(scratch.filePath("app"),
                      Tree{{"Tovarin", "launcher"}, {"tool/a.txt", "old-a"}, {"other/b.txt", "old-b"}}));
    const QString journal = InstallService::journalPathOf(scratch.filePath(stuck));
    QVERIFY(writeTree(journal, Tree{{"manifest", "file\tTovarin\n"}, {"old/Tovarin", "held"}}));
    const QString package = scratch.filePath("tool.zip");
    QVERIFY(ZipBuilder::write(package, {{"a.txt", "new-a"}}));
    // Installed by another program, as the launcher installs tools beside what the updater left.
    QProcess installer;
    installer.start(QCoreApplication::applicationFilePath(),
                    {kChildSwitch, "install", package, target, "zip", "0", "-1", "0", ""});
    QVERIFY(installer.waitForFinished(60000));
    QCOMPARE(installer.exitCode(), int(InstallService::INSTALL_OK));
    QCOMPARE(read(target + "/a.txt"), QByteArray("new-a"));
    QCOMPARE(read(journal + "/old/Tovarin"), QByteArray("held"));
}

// Packages as hostile or odd servers and archivers make them, unpacked below the archive's
// top folder "Top" as a tool's package is: either exactly the listed files are added, or the
// target stays as it was, nothing is written beside it and detail() says why.
void tst_InstallService::archiveFolder_data() {
    QTest::addColumn<QList<ZipEntry>>("entries");
    QTest::addColumn<QByteArray>("codec"); // of the stored names, see ZipBuilder::write
    QTest::addColumn<bool>("beyondDisk");  // every entry announces 4 GiB more than it holds
    QTest::addColumn<Tree>("added");       // empty: refused
    QTest::addColumn<QString>("detail");   // start of detail() when refused; "" not checked
    const ZipEntry folder{"Top/", {}, ZipEntry::Folder};
    const ZipEntry a{"Top/a.txt", "new-a"};
    const ZipEntry b{"Top/sub/b.txt", "new-b"};
    const Tree ab{{"a.txt", "new-a"}, {"sub", "<dir>"}, {"sub/b.txt", "new-b"}};
    const QString unsafe = "安装包含有不安全的文件名:";
    const QString twice = "安装包含有重名的文件:";
    const QString outside = "安装包中的文件不在程序文件夹内:";
    const auto row = [](const char *name, const QList<ZipEntry> &entries, const Tree &added,
                        const QString &detail = QString(), const QByteArray &codec = "UTF-8") {
        QTest::newRow(name) << entries << codec << false << added << detail;
    };
    row("its content fills a target of another name", {folder, a, b}, ab);
    row("without a folder entry", {a, b}, ab);
    row("an entry of another folder", {folder, a, {"Other/x.txt", "x"}}, {}, outside);
    row("a file beside the folder", {folder, a, {"readme.txt", "x"}}, {}, outside);
    row("a file named as the folder", {{"Top", "x"}, a}, {}, twice);
    row("a name that only begins like it", {a, {"Topper/c.txt", "c"}}, {}, outside);
    // The folder's name as the file system matches it.
    const bool caseBlind = Platform::fileNameCase() == Qt::CaseInsensitive;
    row("the folder in another case", {{"top/a.txt", "new-a"}}, caseBlind ? Tree{{"a.txt", "new-a"}} : Tree{},
        caseBlind ? QString() : outside);
    row("climbing back into the folder", {a, {"Top/../Top/c.txt", "c"}}, {}, unsafe);
    row("climbing out", {a, {"Top/../outside.txt", "x"}}, {}, unsafe);
    row("climbing out with backslashes", {a, {"Top\\..\\outside.txt", "x"}}, {}, unsafe);
    row("a dot segment", {{"Top/./a.txt", "x"}}, {}, unsafe);
    row("an empty segment", {{"Top//a.txt", "x"}}, {}, unsafe);
    row("a leading separator", {{"/Top/a.txt", "x"}}, {}, unsafe);
    row("a drive letter", {{"C:/Top/a.txt", "x"}}, {}, unsafe);
    row("an alternate data stream", {a, {"Top/a.txt:hidden", "x"}}, {}, unsafe);
    row("a device name with an extension", {a, {"Top/aux.txt", "x"}}, {}, unsafe);
    row("a device name as a folder", {{"Top/sub/nul/x", "x"}}, {}, unsafe);
    row("a serial port", {{"Top/COM1", "x"}}, {}, unsafe);
    row("a segment of dots only", {{"Top/.../x", "x"}}, {}, unsafe);
    row("two names one file on Windows: case", {{"Top/A.txt", "A"}, a}, {}, twice);
    row("two names one file on Windows: trailing dot and space", {a, {"Top/a.txt. ", "x"}}, {}, twice);
    row("a file and a folder of one name", {{"Top/X", "x"}, {"Top/x/y", "y"}}, {}, twice);
    row("one entry twice", {a, a}, {}, twice);
    row("folders of one name are one folder", {{"Top/Sub/", {}, ZipEntry::Folder}, {"Top/sub/c.txt", "c"}},
        Platform::fileNameCase() == Qt::CaseInsensitive
            ? Tree{{"Sub", "<dir>"}, {"Sub/c.txt", "c"}}
            : Tree{{"Sub", "<dir>"}, {"sub", "<dir>"}, {"sub/c.txt", "c"}});
    // The updater's own folder rides in the launcher's package but is never installed over it.
    const ZipEntry updater{"Top/Pellock/Pellock", "updater"};
    row("the skipped folder is left out", {folder, a, {"Top/Pellock/", {}, ZipEntry::Folder}, updater},
        {{"a.txt", "new-a"}});
    row("the skipped folder in another case", {a, {"Top/pellock/x", "x"}},
        caseBlind ? Tree{{"a.txt", "new-a"}} : Tree{{"a.txt", "new-a"}, {"pellock", "<dir>"}, {"pellock/x", "x"}});
    row("a name that only begins like the skipped folder", {a, {"Top/Pellocks/x", "x"}},
        {{"a.txt", "new-a"}, {"Pellocks", "<dir>"}, {"Pellocks/x", "x"}});
    const Tree chinese{{"配置", "<dir>"}, {"配置/说明.txt", "说明"}};
    const QList<ZipEntry> chineseEntries{{"Top/配置/说明.txt", "说明"}};
    row("Chinese names flagged as UTF-8", chineseEntries, chinese, {}, "flagged");
    row("Chinese names in GBK without the flag", chineseEntries, chinese, {}, "GBK");
    row("Chinese names in UTF-8 without the flag", chineseEntries, chinese, {}, "UTF-8");

    // More than the volume holds, summed past 64 bits in no case.
    const qint64 volume = QStorageInfo(QDir::tempPath()).bytesTotal();
    QList<ZipEntry> huge;
    for (qint64 i = 0; i <= volume / (qint64(4) << 30) + 1; ++i)
        huge << ZipEntry{QString("Top/big%1.bin").arg(i, 4, 10, QLatin1Char('0')), "x"};
    QTest::newRow("announced sizes beyond the free space")
        << huge << QByteArray("UTF-8") << true << Tree{} << QString("磁盘空间不足");
}

void tst_InstallService::archiveFolder() {
    QFETCH(QList<ZipEntry>, entries);
    QFETCH(QByteArray, codec);
    QFETCH(bool, beyondDisk);
    QFETCH(Tree, added);
    QFETCH(QString, detail);
    const bool installs = !added.isEmpty();
#ifdef Q_OS_WIN
    // Names without the flag are the system's ANSI code page there: GBK only where it is Chinese.
    const QString first = entries.first().name;
    if (codec != "flagged" &&
        QTextCodec::codecForLocale()->toUnicode(QTextCodec::codecForName(codec)->fromUnicode(first)) != first)
        QSKIP("this system's ANSI code page does not hold these names");
#endif
    QTemporaryDir scratch;
    const QString target = scratch.filePath("Station 7");
    const Tree before{{"a.txt", "old-a"}, {"keep.txt", "mine"}};
    QVERIFY(writeTree(target, before));
    const QString package = scratch.filePath("p.zip");
    QVERIFY(ZipBuilder::write(package, entries, codec));
    for (int i = 0; beyondDisk && i < entries.size(); ++i)
        QVERIFY(ZipBuilder::declareLonger(package, entries.at(i).name, 0xFFFFFF00u));

    InstallService service;
    service.setArchiveFolder("Top");
    service.setSkippedFolder("Pellock");
    QCOMPARE(service.install(package, target, {}, InstallService::PACKAGE_ZIP),
             installs ? InstallService::INSTALL_OK : InstallService::INSTALL_FAILED);
    Tree after = before;
    for (auto it = added.cbegin(); it != added.cend(); ++it)
        after.insert(it.key(), it.value());
    const Tree found = snapshot(target);
    QCOMPARE(found.keys(), after.keys()); // names first: a failure shows which
    QCOMPARE(found, after);
    QCOMPARE(QFileInfo::exists(package), !installs);
    QVERIFY2(service.detail().startsWith(detail), qPrintable(service.detail()));
    // Nothing beside the target but the package, once the clean-up after install() is done;
    // watched without listing what it deletes (on Windows a folder being listed cannot go).
    const QStringList beside = installs ? QStringList{"Station 7"} : QStringList{"Station 7", "p.zip"};
    const auto besideNow = [&scratch] {
        QStringList names =
            QDir(scratch.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        names.sort();
        return names;
    };
    QTRY_COMPARE(besideNow(), beside);
}

// A journal is only ever acted on when everything it names lies where an installation of that
// folder could have put it; any other is set aside untouched, and the files it names survive.
void tst_InstallService::plantedJournal_data() {
    QTest::addColumn<QByteArray>("manifest"); // "@" stands for the scratch folder
    QTest::addColumn<bool>("committed");
    QTest::addColumn<bool>("actedOn");
    QTest::newRow("file climbing out") << QByteArray("file\t../../victim.txt\n") << false << false;
    QTest::newRow("folder climbing out") << QByteArray("folder\t../../victims\n") << false << false;
    QTest::newRow("absolute file") << QByteArray("file\t@/victim.txt\n") << false << false;
    QTest::newRow("backslashes climbing out") << QByteArray("file\t..\\..\\victim.txt\n") << false << false;
    QTest::newRow("package is a folder") << QByteArray("package\t@/victims\n") << true << false;
    QTest::newRow("package relative") << QByteArray("package\tvictim.txt\n") << true << false;
    // A committed journal deletes its package, but only the very file it installed.
    QTest::newRow("committed, another file as package")
        << QByteArray("package\t@/victim.txt\npackagestamp\t1:1\n") << true << true;
    QTest::newRow("sound journal rolled back") << QByteArray("file\ta.txt\n") << false << true;
}

void tst_InstallService::plantedJournal() {
    QFETCH(QByteArray, manifest);
    QFETCH(bool, committed);
    QFETCH(bool, actedOn);
    QTemporaryDir scratch;
    const QString target = scratch.filePath("station/tool");
    QVERIFY(writeTree(target, Tree{{"a.txt", "installed"}}));
    QVERIFY(writeTree(scratch.path(), Tree{{"victim.txt", "precious"}, {"victims/f.txt", "precious"}}));
    const QString journal = InstallService::journalPathOf(target);
    QVERIFY(write(journal + "/manifest", manifest.replace("@", scratch.path().toUtf8())));
    QVERIFY(write(journal + "/new/a.txt", "staged"));
    if (committed)
        QVERIFY(write(journal + "/committed", ""));

    QString problem;
    QCOMPARE(InstallService::recoverInterrupted(target, nullptr, &problem), actedOn);
    QCOMPARE(problem.isEmpty(), actedOn);
    QCOMPARE(read(scratch.filePath("victim.txt")), QByteArray("precious"));
    QCOMPARE(read(scratch.filePath("victims/f.txt")), QByteArray("precious"));
    QCOMPARE(read(target + "/a.txt"), QByteArray("installed"));
    QVERIFY(!QFileInfo::exists(journal));
    // Set aside for inspection, never deleted.
    const QStringList aside =
        QDir(scratch.filePath("station"))
            .entryList({".tool.installing.rejected-*"}, QDir::AllEntries | QDir::Hidden);
    QCOMPARE(aside.size(), actedOn ? 0 : 1);
}

int main(int argc, char **argv) {
    if (argc > 1 && qstrcmp(argv[1], kChildSwitch) == 0)
        return childMain(argc, argv);
    QCoreApplication app(argc, argv);
    tst_InstallService test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_installservice.moc"
