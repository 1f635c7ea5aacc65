#include "clock.h"
#include "common.h"
#include "logrecorder.h"
#include "testfiles.h"

#include <QRegularExpression>
#include <QThread>
#include <QtTest>

namespace {

enum Variant { LauncherCommon, LauncherWindow, Updater };

void record(int variant, const QString &message) {
    switch (variant) {
    case LauncherCommon: {
        Common common;
        common.slotLogRecord(message);
        break;
    }
    case LauncherWindow:
        LogRecorder::recordInLogFolder(message);
        break;
    case Updater:
        LogRecorder::recordInWorkingFolder(message);
        break;
    }
}

// Where each variant puts the day's file, relative to the working directory.
QString dayFile(int variant, const QString &date) {
    return variant == Updater ? date + ".txt" : "log/" + date + ".txt";
}

const char *variantName(int variant) {
    return variant == LauncherCommon ? "Common" : variant == LauncherWindow ? "window" : "updater";
}

void variantRows(std::initializer_list<int> variants) {
    QTest::addColumn<int>("variant");
    for (int variant : variants)
        QTest::newRow(variantName(variant)) << variant;
}

} // namespace

class tst_LogRecorder : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void lineFormat_data();
    void lineFormat();
    void dailyFiles_data();
    void dailyFiles();
    void placement_data();
    void placement();
    void unwritableWorkingDirectory_data();
    void unwritableWorkingDirectory();
    void concurrentWritersKeepLinesWhole();

private:
    std::unique_ptr<ScratchFolder> m_tmp;
};

void tst_LogRecorder::init() {
    m_tmp.reset(new ScratchFolder(true));
    QVERIFY(m_tmp->isReady());
}

void tst_LogRecorder::cleanup() {
    Clock::setNowForTesting({});
    m_tmp.reset();
}

void tst_LogRecorder::lineFormat_data() {
    QTest::addColumn<int>("variant");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("date");
    QTest::addColumn<QByteArray>("expected");

    const QDateTime morning(QDate(2024, 3, 5), QTime(7, 8, 9));
    const QDateTime evening(QDate(2023, 12, 31), QTime(23, 59, 59));
    for (int variant : {LauncherCommon, LauncherWindow, Updater}) {
        const char *name = variantName(variant);
        QTest::addRow("%s: plain text", name)
            << variant << morning << "工具启动"
            << "2024-03-05"
            << QByteArray("2024-03-05 07:08:09    \xe5\xb7\xa5\xe5\x85\xb7\xe5\x90\xaf\xe5\x8a\xa8\r\n");
        QTest::addRow("%s: empty message", name) << variant << evening << ""
                                                 << "2023-12-31" << QByteArray("2023-12-31 23:59:59    \r\n");
        // A record stays one line, whatever an answer in it holds.
        QTest::addRow("%s: line breaks escaped", name)
            << variant << morning << "first\nsecond\r\nthird"
            << "2024-03-05" << QByteArray("2024-03-05 07:08:09    first\\nsecond\\r\\nthird\r\n");
        QTest::addRow("%s: other controls as hex", name)
            << variant << morning << QString("a\tb") + QChar(0x1b) + "[2Jc" + QChar(0x7f) + QChar(0x85) + "d"
            << "2024-03-05" << QByteArray("2024-03-05 07:08:09    a\\tb\\x1b[2Jc\\x7f\\x85d\r\n");
        QTest::addRow("%s: unicode line and paragraph separators", name)
            << variant << morning << QString("x") + QChar(0x2028) + "y" + QChar(0x2029) + "z"
            << "2024-03-05" << QByteArray("2024-03-05 07:08:09    x\\u2028y\\u2029z\r\n");
        QTest::addRow("%s: a forged record inside a message", name)
            << variant << morning << "ok\r\n2024-03-05 07:08:10    主程序升级成功"
            << "2024-03-05"
            << QByteArray("2024-03-05 07:08:09    ok\\r\\n2024-03-05 07:08:10    主程序升级成功\r\n");
        QTest::addRow("%s: secrets in an answer masked", name)
            << variant << morning
            << R"(应答:{"ack":"200","data":{"loginToken":"tok-operator-0001","password":"e10adc3949ba59abbe56e057f20f883e","Token":"ab"}})"
            << "2024-03-05"
            << QByteArray(
                   R"(2024-03-05 07:08:09    应答:{"ack":"200","data":{"loginToken":"tok-***","password":"e10a***","Token":"***"}})"
                   "\r\n");
        QTest::addRow("%s: afternoon on a 24-hour clock", name)
            << variant << QDateTime(QDate(2024, 11, 22), QTime(15, 4, 5)) << "小工具:主程序升级成功 v1.2"
            << "2024-11-22" << QByteArray("2024-11-22 15:04:05    小工具:主程序升级成功 v1.2\r\n");
    }
}

void tst_LogRecorder::lineFormat() {
    QFETCH(int, variant);
    QFETCH(QDateTime, now);
    QFETCH(QString, message);
    QFETCH(QString, date);
    QFETCH(QByteArray, expected);

    Clock::setNowForTesting([now] { return now; });
    record(variant, message);
    QCOMPARE(TestFiles::read(m_tmp->filePath(dayFile(variant, date))), expected);

    // Appending: a second call the same day adds a line and keeps the first byte for byte.
    record(variant, message);
    QCOMPARE(TestFiles::read(m_tmp->filePath(dayFile(variant, date))), expected + expected);
}

void tst_LogRecorder::dailyFiles_data() {
    variantRows({LauncherCommon, Updater});
}

void tst_LogRecorder::dailyFiles() {
    QFETCH(int, variant);
    QDateTime now(QDate(2024, 2, 28), QTime(23, 59, 58));
    Clock::setNowForTesting([&now] { return now; });

    record(variant, "a");
    now = now.addSecs(1);
    record(variant, "b");
    now = now.addSecs(1); // midnight: leap day
    record(variant, "c");
    now = QDateTime(QDate(2024, 3, 1), QTime(0, 0, 0));
    record(variant, "d");

    QCOMPARE(TestFiles::read(m_tmp->filePath(dayFile(variant, "2024-02-28"))),
             QByteArray("2024-02-28 23:59:58    a\r\n2024-02-28 23:59:59    b\r\n"));
    QCOMPARE(TestFiles::read(m_tmp->filePath(dayFile(variant, "2024-02-29"))),
             QByteArray("2024-02-29 00:00:00    c\r\n"));
    QCOMPARE(TestFiles::read(m_tmp->filePath(dayFile(variant, "2024-03-01"))),
             QByteArray("2024-03-01 00:00:00    d\r\n"));
}

void tst_LogRecorder::placement_data() {
    QTest::addColumn<int>("variant");
    QTest::addColumn<QString>("prepare"); // "dir:x" / "file:x" makes a folder / plain file named x first
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("launcher makes log/ in the working directory")
        << int(LauncherWindow) << "" << QStringList{"log", "log/2024-05-06.txt"};
    QTest::newRow("launcher reuses an existing log/")
        << int(LauncherCommon) << "dir:log" << QStringList{"log", "log/2024-05-06.txt"};
    QTest::newRow("launcher falls back beside log when it cannot be a folder")
        << int(LauncherCommon) << "file:log" << QStringList{"2024-05-06.txt", "log"};
    QTest::newRow("updater writes into the working directory")
        << int(Updater) << "" << QStringList{"2024-05-06.txt"};
}

void tst_LogRecorder::placement() {
    QFETCH(int, variant);
    QFETCH(QString, prepare);
    QFETCH(QStringList, entries);

    // The working directory is a sub-folder, so the program's folder and the temp root stay clean.
    QVERIFY(QDir().mkpath(m_tmp->filePath("station/work")));
    QVERIFY(QDir::setCurrent(m_tmp->filePath("station/work")));
    if (prepare.startsWith("dir:"))
        QVERIFY(QDir().mkpath(prepare.mid(4)));
    if (prepare.startsWith("file:"))
        QVERIFY(TestFiles::write(prepare.mid(5), QByteArray()));
    Clock::setNowForTesting([] { return QDateTime(QDate(2024, 5, 6), QTime(10, 0, 0)); });

    record(variant, "placed");
    QCOMPARE(TestFiles::entriesBelow(m_tmp->filePath("station/work")), entries);
    QCOMPARE(TestFiles::entriesBelow(m_tmp->filePath("station")).size(), entries.size() + 1);
    const QString written =
        variant != Updater && prepare != "file:log" ? "log/2024-05-06.txt" : "2024-05-06.txt";
    QCOMPARE(TestFiles::read(m_tmp->filePath("station/work/" + written)),
             QByteArray("2024-05-06 10:00:00    placed\r\n"));
}

void tst_LogRecorder::unwritableWorkingDirectory_data() {
    variantRows({LauncherCommon, LauncherWindow, Updater});
}

void tst_LogRecorder::unwritableWorkingDirectory() {
    QFETCH(int, variant);
    // A working directory that has been removed refuses new entries even for root.
    QVERIFY(QDir().mkpath(m_tmp->filePath("gone")));
    QVERIFY(QDir::setCurrent(m_tmp->filePath("gone")));
    if (!QDir(m_tmp->path()).rmdir("gone"))
        QSKIP("this system does not let a process's working folder be removed");

    record(variant, "dropped silently");
    record(variant, "and again");
    QCOMPARE(TestFiles::entriesBelow(m_tmp->path()), QStringList{});
}

void tst_LogRecorder::concurrentWritersKeepLinesWhole() {
    Clock::setNowForTesting([] { return QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5)); });
    const int threads = 4;
    const int perThread = 150;
    QList<QThread *> workers;
    for (int t = 0; t < threads; ++t) {
        workers << QThread::create([t] {
            for (int i = 0; i < perThread; ++i)
                LogRecorder::recordInLogFolder(QString("worker %1 line %2 中文").arg(t).arg(i));
        });
        workers.last()->start();
    }
    for (QThread *worker : workers) {
        QVERIFY(worker->wait(30000));
        delete worker;
    }

    const QByteArray content = TestFiles::read(m_tmp->filePath("log/2024-01-02.txt"));
    const QList<QByteArray> lines = content.split('\n');
    QCOMPARE(lines.size(), threads * perThread + 1);
    QVERIFY(lines.last().isEmpty());
    const QRegularExpression shape("^2024-01-02 03:04:05    worker \\d line \\d+ 中文\r$");
    QSet<QString> seen;
    for (int i = 0; i < lines.size() - 1; ++i) {
        const QString line = QString::fromUtf8(lines[i]);
        QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
        seen.insert(line);
    }
    QCOMPARE(seen.size(), threads * perThread);
}

QTEST_GUILESS_MAIN(tst_LogRecorder)
#include "tst_logrecorder.moc"
