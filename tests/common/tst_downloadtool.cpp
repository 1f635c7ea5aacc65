#include "applicationfolder.h"
#include "common.h"
#include "devserver.h"
#include "downloadtool.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

namespace {

QByteArray patterned(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

enum Framing { Length, Chunked, Close };

// Frames the body as asked: with Content-Length, chunked, or ended only by closing the
// connection (which the stand-in server never does).
QByteArray framed(const QByteArray &body, int framing) {
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nConnection: close\r\n";
    if (framing == Length)
        return head + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    if (framing == Chunked)
        return head + "Transfer-Encoding: chunked\r\n\r\n" + QByteArray::number(body.size(), 16) + "\r\n" +
               body + "\r\n0\r\n\r\n";
    return head + "\r\n" + body;
}

const QJsonObject kTrickle{{"trickle", QJsonObject{{"chunkBytes", 1024}, {"intervalMs", 100}}}};

qint64 statusKib(const QByteArray &key) {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Starts the process's peak resident size afresh from its present size.
bool resetPeakResident() {
    QFile refs("/proc/self/clear_refs");
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer keeps freed blocks in quarantine, so resident size says nothing about buffering.
constexpr bool kResidentSizeMeaningful = false;
#else
constexpr bool kResidentSizeMeaningful = true;
#endif

} // namespace

class tst_DownloadTool : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fileNames_data();
    void fileNames();
    void failures_data();
    void failures();
    void unusableRequestFailsAtOnce_data();
    void unusableRequestFailsAtOnce();
    void diskFullNeverPassesForComplete_data();
    void diskFullNeverPassesForComplete();
    void progressAndSingleFinish();
    void waitKeepsCallingThreadServed_data();
    void waitKeepsCallingThreadServed();
    void destroyedMidTransferKeepsPartialFile();
    void largeBodyWhileCallerIsBusy();
    void stalledServerLeavesNoFile_data();
    void stalledServerLeavesNoFile();

private:
    DevServer m_server;
    std::unique_ptr<ScratchFolder> m_tmp;
};

void tst_DownloadTool::initTestCase() {
    QVERIFY2(m_server.start(QString(), {"--no-https"}), qPrintable(m_server.lastError()));
    QVERIFY(TestFiles::write(m_server.filesDir() + "/pkg.zip", patterned(300000)));
    QVERIFY(TestFiles::write(m_server.filesDir() + "/pics/123.png", "\x89PNG fake picture"));
}

void tst_DownloadTool::init() {
    QVERIFY(m_server.reset());
    m_tmp.reset(new ScratchFolder(true)); // the daily log goes below the working folder
    QVERIFY(m_tmp->isReady() && QDir().mkpath(m_tmp->filePath("app")));
    ApplicationFolder::setPathForTesting(m_tmp->filePath("app"));
}

void tst_DownloadTool::cleanup() {
    Common::setDownloadLimitForTesting(0);
    ApplicationFolder::setPathForTesting(QString());
    m_tmp.reset();
}

void tst_DownloadTool::fileNames_data() {
    QTest::addColumn<QString>("urlPath"); // on the server
    QTest::addColumn<QString>("saveDir"); // "" = none given; relative to the temp folder
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("expected"); // relative to the temp folder
    QTest::addColumn<QString>("source");   // served file the result must equal; "" = behaviour body

    const auto row = [](const char *name, const char *urlPath, const char *saveDir, const char *fileName,
                        const char *expected, const char *source) {
        QTest::newRow(name) << urlPath << saveDir << fileName << expected << source;
    };
    row("slash and name", "files/pics/123.png", "productPic", "/123.png", "productPic/123.png",
        "pics/123.png");
    row("backslashes end a segment as well", "files/pics/123.png", "productPic", "/..\\..\\123.png",
        "productPic/123.png", "pics/123.png");
    row("name from the URL path", "files/pkg.zip", "down", "", "down/pkg.zip", "pkg.zip");
    row("only the last segment of a given path", "files/pkg.zip", "down", "a/b/tool.zip", "down/tool.zip",
        "pkg.zip");
    row("URL ending in a slash", "listing/", "down", "", "down/tmp", "");
    row("given name ending in a slash", "files/pkg.zip", "down", "dir/", "down/tmp", "pkg.zip");
    row("missing folder levels are created", "files/pkg.zip", "x/y/z", "p.zip", "x/y/z/p.zip", "pkg.zip");
    row("no folder: tmp beside the program", "files/pkg.zip", "", "", "app/tmp/pkg.zip", "pkg.zip");
}

void tst_DownloadTool::fileNames() {
    QFETCH(QString, urlPath);
    QFETCH(QString, saveDir);
    QFETCH(QString, fileName);
    QFETCH(QString, expected);
    QFETCH(QString, source);

    const QByteArray listing("index of nothing");
    QVERIFY(m_server.setBehaviour("listing/", QJsonObject{{"body", QString::fromLatin1(listing)}}));
    const QByteArray wanted =
        source.isEmpty() ? listing : TestFiles::read(m_server.filesDir() + '/' + source);
    // The trace names the size, then the file, then its folder.
    const QFileInfo saved(m_tmp->filePath(expected));
    QTest::ignoreMessage(
        QtDebugMsg, qPrintable(QString("Downloaded %1 bytes to %2 in %3")
                                   .arg(wanted.size())
                                   .arg(saved.fileName(), QDir::toNativeSeparators(saved.absolutePath()))));
    QTest::ignoreMessage(QtDebugMsg, qPrintable("Downloading " + m_server.httpBase() + urlPath + "..."));
    QTest::ignoreMessage(QtDebugMsg, "Finished");
    QTest::ignoreMessage(QtDebugMsg, "helloworld");
    Common common;
    common.setDownloadDigestWanted(true);
    QVERIFY(common.DownloadFiles(m_server.httpBase() + urlPath,
                                 saveDir.isEmpty() ? QString() : m_tmp->filePath(saveDir), fileName));
    QCOMPARE(TestFiles::read(m_tmp->filePath(expected)), wanted);
    // The digest a signature is checked against, taken while the bytes arrived.
    QCOMPARE(common.lastDownloadDigest(), QCryptographicHash::hash(wanted, QCryptographicHash::Sha256));

    // Nothing else was written anywhere in the station.
    QCOMPARE(TestFiles::entriesBelow(m_tmp->path(), QDir::Files), QStringList{expected});
}

void tst_DownloadTool::failures_data() {
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<QByteArray>("left"); // "<missing>" when no file may remain

    QTest::newRow("404 leaves no file") << QJsonObject{{"status", 404}} << QByteArray("<missing>");
    QTest::newRow("500 leaves no file") << QJsonObject{{"status", 500}} << QByteArray("<missing>");
    QTest::newRow("302 keeps the redirect body")
        << QJsonObject{{"redirect", "/files/other.zip"}} << QByteArray("<html><body>moved</body></html>");
    // The announced length is what tells a cut-off package from a complete one. A server
    // without ranges cuts every attempt at the same place: no attempt gets further.
    for (int sent : {0, 1000, 150000, 299999})
        QTest::addRow("cut off after %d of 300000 bytes leaves no file", sent)
            << QJsonObject{{"truncateAfter", sent}, {"noRanges", true}} << QByteArray("<missing>");
    QTest::newRow("dropped connection leaves no file")
        << QJsonObject{{"drop", true}} << QByteArray("<missing>");
}

void tst_DownloadTool::failures() {
    QFETCH(QJsonObject, behaviour);
    QFETCH(QByteArray, left);

    // An older copy is always removed first, whatever happens afterwards.
    const QString target = m_tmp->filePath("down/pkg.zip");
    QVERIFY(TestFiles::write(target, "older package that must not survive"));
    QVERIFY(m_server.setBehaviour("files/pkg.zip", behaviour));

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Download failed: .+\\.$"));
    Common common;
    QVERIFY(!common.DownloadFiles(m_server.fileUrl("pkg.zip"), m_tmp->filePath("down"), QString()));
    QCOMPARE(TestFiles::read(target), left);
    QVERIFY(common.lastDownloadDigest().isEmpty());
    QVERIFY(!common.lastDownloadError().isEmpty());
    QCOMPARE(m_server.requests("files/other.zip").size(), 0);
}

void tst_DownloadTool::unusableRequestFailsAtOnce_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("saveDir"); // relative to the temp folder
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("debugLine"); // pattern; "" when not checked

    const auto row = [](const char *name, const char *url, const char *saveDir, const char *fileName,
                        const char *debugLine) {
        QTest::newRow(name) << url << saveDir << fileName << debugLine;
    };
    // Only http and https with a host are fetched: the rest is refused before anything is sent.
    row("empty URL", "", "down", "a.bin", "^拒绝下载的地址:$");
    row("malformed URL", "http://[::1", "down", "a.bin", "");
    row("unclosed address literal", "[::1/pkg.zip", "down", "a.bin", "^拒绝下载的地址:\\[::1/pkg\\.zip$");
    row("blank URL", " ", "down", "a.bin", "^拒绝下载的地址: $");
    row("local file", "file://@local", "down", "a.bin", "^拒绝下载的地址:file://");
    row("bare local path", "@local", "down", "a.bin", "^拒绝下载的地址:");
    row("ftp", "ftp://127.0.0.1:9/pkg.zip", "down", "a.bin", "^拒绝下载的地址:ftp://");
    row("data", "data:application/zip;base64,UEsFBgAAAAAAAAAAAAAAAAAAAAAAAA==", "down", "a.bin",
        "^拒绝下载的地址:data:");
    row("UNC share", "\\\\127.0.0.1\\share\\x.exe", "down", "a.bin", "^拒绝下载的地址:");
    row("no host", "http:///files/pkg.zip", "down", "a.bin", "^拒绝下载的地址:http:///");
    // The path as the system writes it: with backslashes on Windows.
    row("folder below a plain file", "@/files/pkg.zip", "plain/sub", "a.bin",
        "^Unable to save the file .+[/\\\\]plain[/\\\\]sub[/\\\\]a\\.bin: .+\\.$");
    row("target is a folder", "@/files/pkg.zip", "down", "taken",
        "^Unable to save the file .+[/\\\\]down[/\\\\]taken: .+\\.$");
}

void tst_DownloadTool::unusableRequestFailsAtOnce() {
    QFETCH(QString, url);
    QFETCH(QString, saveDir);
    QFETCH(QString, fileName);
    QFETCH(QString, debugLine);

    url.replace("@/", m_server.httpBase());
    url.replace("@local", m_tmp->filePath("local.zip"));
    QVERIFY(TestFiles::write(m_tmp->filePath("local.zip"), "a package lying on the station"));
    if (!debugLine.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(debugLine));
    QVERIFY(TestFiles::write(m_tmp->filePath("plain"), "a file, not a folder"));
    QVERIFY(QDir().mkpath(m_tmp->filePath("down/taken/inside")));

    Common common;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!common.DownloadFiles(url, m_tmp->filePath(saveDir), fileName));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    // Nothing was sent, and still the caller learns why.
    QVERIFY(!common.lastDownloadError().isEmpty());
    QCOMPARE(m_server.requests().size(), 0);
    QVERIFY(QFileInfo(m_tmp->filePath("down/taken/inside")).isDir());
    QVERIFY(!QFileInfo(m_tmp->filePath("down/a.bin")).exists());
    // A refused address is named in the daily log.
    const QByteArray log =
        TestFiles::read(m_tmp->filePath("log/" + QDate::currentDate().toString("yyyy-MM-dd") + ".txt"), "");
    if (debugLine.startsWith("^拒绝"))
        QVERIFY2(log.contains("拒绝下载的地址:"), log.constData());
}

void tst_DownloadTool::diskFullNeverPassesForComplete_data() {
    QTest::addColumn<int>("framing");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("expected");

    // The process may write at most 128 KiB into any one file during the call.
    const char *framings[] = {"length announced", "chunked", "ended by close"};
    for (const bool fits : {true, false})
        for (const int framing : {Length, Chunked, Close})
            QTest::addRow("%s, %s", fits ? "fits" : "too big", framings[framing])
                << framing << (fits ? 100 : 512) * 1024 << fits;
}

// A write that fails on the station's disk (full, quota) must fail the download, also when the
// server announced no length to compare with.
void tst_DownloadTool::diskFullNeverPassesForComplete() {
    QFETCH(int, framing);
    QFETCH(int, size);
    QFETCH(bool, expected);

    const QByteArray body = patterned(size);
    RawHttpServer server([&](const QByteArray &) { return framed(body, framing); });
    QVERIFY(server.isListening());

    Common common;
    bool result = false;
    {
        FileSizeLimit limit(128 * 1024);
        if (!limit.isActive())
            QSKIP("no per-process file size cap on this system");
        result = common.DownloadFiles(server.base() + "files/pkg.zip", m_tmp->filePath("down"), QString());
    }
    QCOMPARE(result, expected);
    QCOMPARE(TestFiles::read(m_tmp->filePath("down/pkg.zip")), expected ? body : QByteArray("<missing>"));
}

void tst_DownloadTool::progressAndSingleFinish() {
    const QByteArray content = patterned(3 * 1024 * 1024 + 17);
    QVERIFY(TestFiles::write(m_server.filesDir() + "/big.bin", content));

    DownloadTool tool(m_server.fileUrl("big.bin"), m_tmp->filePath("down"));
    QSignalSpy progress(&tool, &DownloadTool::sigProgress);
    QSignalSpy finished(&tool, &DownloadTool::sigDownloadFinished);
    tool.startDownload(QString());
    QVERIFY(tool.hasStarted());
    QVERIFY(finished.wait(20000));
    QVERIFY(!tool.isFailed());
    QCOMPARE(TestFiles::read(m_tmp->filePath("down/big.bin")), content);

    QVERIFY(!progress.isEmpty());
    const QList<QVariant> last = progress.last();
    QCOMPARE(last.at(0).toLongLong(), qint64(content.size()));
    QCOMPARE(last.at(1).toLongLong(), qint64(content.size()));
    QCOMPARE(last.at(2).toDouble(), 1.0);
    // Exactly one end signal, even after the reply has been fully processed.
    QCoreApplication::processEvents();
    QCOMPARE(finished.size(), 1);
}

void tst_DownloadTool::waitKeepsCallingThreadServed_data() {
    QTest::addColumn<bool>("worker");
    QTest::newRow("GUI thread") << false;
    QTest::newRow("worker thread") << true;
}

// The launcher downloads its own package on a worker thread and tool packages on the GUI
// thread; either way the calling thread's timers keep firing while the call waits.
void tst_DownloadTool::waitKeepsCallingThreadServed() {
    QFETCH(bool, worker);
    const QByteArray content = patterned(8 * 1024);
    QVERIFY(TestFiles::write(m_server.filesDir() + "/slow.bin", content));
    QVERIFY(m_server.setBehaviour("files/slow.bin", kTrickle));
    const QString url = m_server.fileUrl("slow.bin");
    const QString folder = m_tmp->filePath("down");

    bool result = false;
    int ticks = 0;
    auto download = [&] {
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(50);
        Common common;
        result = common.DownloadFiles(url, folder, QString());
    };
    if (worker) {
        std::unique_ptr<QThread> thread(QThread::create(download));
        thread->start();
        QVERIFY(thread->wait(30000));
    } else {
        download();
    }

    QVERIFY(result);
    QCOMPARE(TestFiles::read(folder + "/slow.bin"), content);
    // Served more than once meanwhile (a blocked thread would count none); a count, not a share of
    // the wall time.
    QVERIFY2(ticks >= 2, qPrintable(QString::number(ticks)));
}

void tst_DownloadTool::destroyedMidTransferKeepsPartialFile() {
    QVERIFY(TestFiles::write(m_server.filesDir() + "/slow.bin", patterned(64 * 1024)));
    QVERIFY(m_server.setBehaviour("files/slow.bin", kTrickle));

    auto *tool = new DownloadTool(m_server.fileUrl("slow.bin"), m_tmp->filePath("down"));
    QSignalSpy progress(tool, &DownloadTool::sigProgress);
    QSignalSpy finished(tool, &DownloadTool::sigDownloadFinished);
    tool->startDownload(QString());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(m_tmp->filePath("down/slow.bin.part")).size() > 0, 10000);
    delete tool;

    QCOMPARE(finished.size(), 0);
    // Kept beside the target, never under the package's own name.
    const qint64 partial = QFileInfo(m_tmp->filePath("down/slow.bin.part")).size();
    QVERIFY(partial > 0 && partial < 64 * 1024);
    QVERIFY(!QFileInfo::exists(m_tmp->filePath("down/slow.bin")));
}

// The network delivers far faster than a busy window writes: the body must wait in the socket,
// not pile up in memory, and still arrive byte for byte with steadily rising progress.
void tst_DownloadTool::largeBodyWhileCallerIsBusy() {
    const qint64 size = 48 * 1024 * 1024 + 3;
    QByteArray content = patterned(1 << 20).repeated(48) + "end";
    QVERIFY(TestFiles::write(m_server.filesDir() + "/huge.bin", content));
    const QByteArray digest = QCryptographicHash::hash(content, QCryptographicHash::Sha1);
    const QByteArray sha256 = QCryptographicHash::hash(content, QCryptographicHash::Sha256);
    content = QByteArray();

    Common common;
    common.setDownloadDigestWanted(true);
    QList<QPair<qint64, qint64>> reports;
    QObject::connect(&common, &Common::sigDownloadProgress, [&](qint64 received, qint64 total) {
        reports.append({received, total});
    });
    QTimer busy; // the window painting slowly meanwhile
    QObject::connect(&busy, &QTimer::timeout, [] { QThread::msleep(40); });
    busy.start(0);
    const bool peakReset = resetPeakResident();
    const qint64 idle = statusKib("VmRSS");
    const bool ok = common.DownloadFiles(m_server.fileUrl("huge.bin"), m_tmp->filePath("down"), QString());
    const qint64 peak = statusKib("VmHWM");
    busy.stop();
    QFile::remove(m_server.filesDir() + "/huge.bin");
    QVERIFY(ok);

    QFile saved(m_tmp->filePath("down/huge.bin"));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QVERIFY(hash.addData(&saved));
    QCOMPARE(saved.size(), size);
    QCOMPARE(hash.result(), digest);
    // Taken over the many blocks as they came, not by reading the file again.
    QCOMPARE(common.lastDownloadDigest(), sha256);

    QVERIFY(!reports.isEmpty());
    for (int i = 0; i < reports.size(); ++i) {
        QCOMPARE(reports.at(i).second, size);
        if (i > 0)
            QVERIFY2(reports.at(i).first >= reports.at(i - 1).first, qPrintable(QString::number(i)));
    }
    QCOMPARE(reports.last().first, size);
    if (kResidentSizeMeaningful && peakReset)
        QVERIFY2(peak - idle < 20 * 1024, qPrintable(QString("%1 KiB above idle").arg(peak - idle)));
}

void tst_DownloadTool::stalledServerLeavesNoFile_data() {
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::newRow("no answer at all") << QJsonObject{{"hold", true}};
    QTest::newRow("silent mid-transfer, each attempt at the same place")
        << QJsonObject{{"stallAfter", 150000}, {"noRanges", true}};
}

// A server that stops sending is cut off by the limit, and the partial package goes with it.
void tst_DownloadTool::stalledServerLeavesNoFile() {
    QFETCH(QJsonObject, behaviour);
    const int limitMs = 1500;
    Common::setDownloadLimitForTesting(limitMs);
    const QString target = m_tmp->filePath("down/pkg.zip");
    QVERIFY(TestFiles::write(target, "older package that must not survive"));
    QVERIFY(m_server.setBehaviour("files/pkg.zip", behaviour));

    Common common;
    QElapsedTimer clock;
    clock.start();
    QTest::ignoreMessage(QtDebugMsg, "helloworld");
    const bool ok = common.DownloadFiles(m_server.fileUrl("pkg.zip"), m_tmp->filePath("down"), QString());
    const qint64 elapsed = clock.elapsed();
    QVERIFY(m_server.release());

    QVERIFY(!ok);
    QVERIFY2(elapsed >= limitMs - 50 && elapsed < 60000, qPrintable(QString::number(elapsed)));
    QCOMPARE(TestFiles::read(target), QByteArray("<missing>"));
}

QTEST_GUILESS_MAIN(tst_DownloadTool)
#include "tst_downloadtool.moc"
