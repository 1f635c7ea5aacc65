#include "applicationfolder.h"
#include "common.h"
#include "devserver.h"
#include "downloadtool.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray patterned(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

// Serves one body per connection, framed in the way asked for: with Content-Length, chunked,
// or ended only by closing the connection (which the stand-in server never does).
class FramingServer : public QTcpServer {
public:
    enum Framing { Length, Chunked, Close };
    FramingServer(const QByteArray &body, Framing framing) : m_body(body), m_framing(framing) {
        listen(QHostAddress::LocalHost);
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/files/pkg.zip").arg(serverPort()); }

protected:
    void incomingConnection(qintptr handle) override {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(handle);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            m_request[socket] += socket->readAll();
            if (!m_request[socket].contains("\r\n\r\n"))
                return;
            QByteArray answer = "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nConnection: close\r\n";
            if (m_framing == Length)
                answer += "Content-Length: " + QByteArray::number(m_body.size()) + "\r\n\r\n" + m_body;
            else if (m_framing == Chunked)
                answer += "Transfer-Encoding: chunked\r\n\r\n" + QByteArray::number(m_body.size(), 16) +
                          "\r\n" + m_body + "\r\n0\r\n\r\n";
            else
                answer += "\r\n" + m_body;
            socket->write(answer);
            socket->disconnectFromHost();
        });
    }

private:
    QByteArray m_body;
    Framing m_framing;
    QMap<QTcpSocket *, QByteArray> m_request;
};

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

private:
    DevServer m_server;
    QTemporaryDir *m_tmp = nullptr;
};

void tst_DownloadTool::initTestCase() {
    QVERIFY2(m_server.start(QString(), {"--no-https"}), qPrintable(m_server.lastError()));
    QVERIFY(writeFile(m_server.filesDir() + "/pkg.zip", patterned(300000)));
    QVERIFY(writeFile(m_server.filesDir() + "/pics/123.png", "\x89PNG fake picture"));
}

void tst_DownloadTool::init() {
    QVERIFY(m_server.reset());
    m_tmp = new QTemporaryDir;
    QVERIFY(m_tmp->isValid());
    ApplicationFolder::setPathForTesting(m_tmp->filePath("app"));
    QVERIFY(QDir().mkpath(m_tmp->filePath("app")));
}

void tst_DownloadTool::cleanup() {
    ApplicationFolder::setPathForTesting(QString());
    delete m_tmp;
    m_tmp = nullptr;
}

void tst_DownloadTool::fileNames_data() {
    QTest::addColumn<QString>("urlPath"); // on the server
    QTest::addColumn<QString>("saveDir"); // "" = none given; relative to the temp folder
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("expected"); // relative to the temp folder
    QTest::addColumn<QString>("source");   // served file the result must equal; "" = behaviour body

    QTest::newRow("slash and name") << "files/pics/123.png"
                                    << "productPic"
                                    << "/123.png"
                                    << "productPic/123.png"
                                    << "pics/123.png";
    QTest::newRow("backslashes end a segment as well") << "files/pics/123.png"
                                                       << "productPic"
                                                       << "/..\\..\\123.png"
                                                       << "productPic/123.png"
                                                       << "pics/123.png";
    QTest::newRow("name from the URL path") << "files/pkg.zip"
                                            << "down"
                                            << ""
                                            << "down/pkg.zip"
                                            << "pkg.zip";
    QTest::newRow("only the last segment of a given path") << "files/pkg.zip"
                                                           << "down"
                                                           << "a/b/tool.zip"
                                                           << "down/tool.zip"
                                                           << "pkg.zip";
    QTest::newRow("URL ending in a slash") << "listing/"
                                           << "down"
                                           << ""
                                           << "down/tmp"
                                           << "";
    QTest::newRow("given name ending in a slash") << "files/pkg.zip"
                                                  << "down"
                                                  << "dir/"
                                                  << "down/tmp"
                                                  << "pkg.zip";
    QTest::newRow("missing folder levels are created") << "files/pkg.zip"
                                                       << "x/y/z"
                                                       << "p.zip"
                                                       << "x/y/z/p.zip"
                                                       << "pkg.zip";
    QTest::newRow("no folder: tmp beside the program") << "files/pkg.zip"
                                                       << ""
                                                       << ""
                                                       << "app/tmp/pkg.zip"
                                                       << "pkg.zip";
}

void tst_DownloadTool::fileNames() {
    QFETCH(QString, urlPath);
    QFETCH(QString, saveDir);
    QFETCH(QString, fileName);
    QFETCH(QString, expected);
    QFETCH(QString, source);

    const QByteArray listing("index of nothing");
    QVERIFY(m_server.setBehaviour("listing/", QJsonObject{{"body", QString::fromLatin1(listing)}}));
    const QByteArray wanted = source.isEmpty() ? listing : readFile(m_server.filesDir() + '/' + source);
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
    QVERIFY(common.DownloadFiles(m_server.httpBase() + urlPath,
                                 saveDir.isEmpty() ? QString() : m_tmp->filePath(saveDir), fileName));
    QCOMPARE(readFile(m_tmp->filePath(expected)), wanted);

    // Nothing else was written anywhere in the station.
    QDirIterator it(m_tmp->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    QStringList files;
    while (it.hasNext())
        files << QDir(m_tmp->path()).relativeFilePath(it.next());
    QCOMPARE(files, QStringList{expected});
}

void tst_DownloadTool::failures_data() {
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<QByteArray>("left"); // "<missing>" when no file may remain
    QTest::addColumn<bool>("traced");     // "Download failed: ..." is due

    QTest::newRow("404 leaves no file") << QJsonObject{{"status", 404}} << QByteArray("<missing>") << true;
    QTest::newRow("500 leaves no file") << QJsonObject{{"status", 500}} << QByteArray("<missing>") << true;
    QTest::newRow("302 keeps the redirect body") << QJsonObject{{"redirect", "/files/other.zip"}}
                                                 << QByteArray("<html><body>moved</body></html>") << false;
    // The announced length is what tells a cut-off package from a complete one.
    for (int sent : {0, 1000, 150000, 299999})
        QTest::addRow("cut off after %d of 300000 bytes leaves no file", sent)
            << QJsonObject{{"truncateAfter", sent}} << QByteArray("<missing>") << true;
    QTest::newRow("dropped connection leaves no file")
        << QJsonObject{{"drop", true}} << QByteArray("<missing>") << true;
}

void tst_DownloadTool::failures() {
    QFETCH(QJsonObject, behaviour);
    QFETCH(QByteArray, left);
    QFETCH(bool, traced);

    // An older copy is always removed first, whatever happens afterwards.
    const QString target = m_tmp->filePath("down/pkg.zip");
    QVERIFY(writeFile(target, "older package that must not survive"));
    QVERIFY(m_server.setBehaviour("files/pkg.zip", behaviour));

    if (traced)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Download failed: .+\\.$"));
    Common common;
    QVERIFY(!common.DownloadFiles(m_server.fileUrl("pkg.zip"), m_tmp->filePath("down"), QString()));
    QCOMPARE(readFile(target), left);
    QCOMPARE(m_server.requests("files/other.zip").size(), 0);
}

void tst_DownloadTool::unusableRequestFailsAtOnce_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("saveDir"); // relative to the temp folder
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("debugLine"); // pattern; "" when not checked

    QTest::newRow("empty URL") << ""
                               << "down"
                               << "a.bin"
                               << "^Invalid URL: : $";
    QTest::newRow("malformed URL") << "http://[::1"
                                   << "down"
                                   << "a.bin"
                                   << "";
    QTest::newRow("unclosed address literal") << "[::1/pkg.zip"
                                              << "down"
                                              << "a.bin"
                                              << "^Invalid URL: \\[::1/pkg\\.zip: ";
    QTest::newRow("blank URL") << " "
                               << "down"
                               << "a.bin"
                               << "^Invalid URL:  : ";
    QTest::newRow("folder below a plain file") << "@/files/pkg.zip"
                                               << "plain/sub"
                                               << "a.bin"
                                               << "^Unable to save the file /.+/plain/sub/a\\.bin: .+\\.$";
    QTest::newRow("target is a folder") << "@/files/pkg.zip"
                                        << "down"
                                        << "taken"
                                        << "^Unable to save the file /.+/down/taken: .+\\.$";
}

void tst_DownloadTool::unusableRequestFailsAtOnce() {
    QFETCH(QString, url);
    QFETCH(QString, saveDir);
    QFETCH(QString, fileName);
    QFETCH(QString, debugLine);

    url.replace("@/", m_server.httpBase());
    if (!debugLine.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(debugLine));
    QVERIFY(writeFile(m_tmp->filePath("plain"), "a file, not a folder"));
    QVERIFY(QDir().mkpath(m_tmp->filePath("down/taken/inside")));

    Common common;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!common.DownloadFiles(url, m_tmp->filePath(saveDir), fileName));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_server.requests().size(), 0);
    QVERIFY(QFileInfo(m_tmp->filePath("down/taken/inside")).isDir());
}

void tst_DownloadTool::diskFullNeverPassesForComplete_data() {
    QTest::addColumn<int>("framing");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("expected");

    // The process may write at most 128 KiB into any one file during the call.
    QTest::newRow("fits, length announced") << int(FramingServer::Length) << 100 * 1024 << true;
    QTest::newRow("fits, chunked") << int(FramingServer::Chunked) << 100 * 1024 << true;
    QTest::newRow("fits, ended by close") << int(FramingServer::Close) << 100 * 1024 << true;
    QTest::newRow("too big, length announced") << int(FramingServer::Length) << 512 * 1024 << false;
    QTest::newRow("too big, chunked") << int(FramingServer::Chunked) << 512 * 1024 << false;
    QTest::newRow("too big, ended by close") << int(FramingServer::Close) << 512 * 1024 << false;
}

// A write that fails on the station's disk (full, quota) must fail the download, also when the
// server announced no length to compare with.
void tst_DownloadTool::diskFullNeverPassesForComplete() {
    QFETCH(int, framing);
    QFETCH(int, size);
    QFETCH(bool, expected);

    const QByteArray body = patterned(size);
    FramingServer server(body, FramingServer::Framing(framing));
    QVERIFY(server.isListening());
    const QString target = m_tmp->filePath("down/pkg.zip");

    // A file-size limit makes writes fail like a full disk does, even for root.
    rlimit previous{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = 128 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    Common common;
    const bool result = common.DownloadFiles(server.url(), m_tmp->filePath("down"), QString());
    setrlimit(RLIMIT_FSIZE, &previous);
    signal(SIGXFSZ, previousHandler);

    QCOMPARE(result, expected);
    QCOMPARE(readFile(target), expected ? body : QByteArray("<missing>"));
}

void tst_DownloadTool::progressAndSingleFinish() {
    const QByteArray content = patterned(3 * 1024 * 1024 + 17);
    QVERIFY(writeFile(m_server.filesDir() + "/big.bin", content));

    DownloadTool tool(m_server.fileUrl("big.bin"), m_tmp->filePath("down"));
    QSignalSpy progress(&tool, &DownloadTool::sigProgress);
    QSignalSpy finished(&tool, &DownloadTool::sigDownloadFinished);
    tool.startDownload(QString());
    QVERIFY(tool.hasStarted());
    QVERIFY(finished.wait(20000));
    QVERIFY(!tool.isFailed());
    QCOMPARE(readFile(m_tmp->filePath("down/big.bin")), content);

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
    QVERIFY(writeFile(m_server.filesDir() + "/slow.bin", content));
    QVERIFY(m_server.setBehaviour(
        "files/slow.bin", QJsonObject{{"trickle", QJsonObject{{"chunkBytes", 1024}, {"intervalMs", 100}}}}));
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
    QCOMPARE(readFile(folder + "/slow.bin"), content);
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
}

void tst_DownloadTool::destroyedMidTransferKeepsPartialFile() {
    QVERIFY(writeFile(m_server.filesDir() + "/slow.bin", patterned(64 * 1024)));
    QVERIFY(m_server.setBehaviour(
        "files/slow.bin", QJsonObject{{"trickle", QJsonObject{{"chunkBytes", 1024}, {"intervalMs", 100}}}}));

    auto *tool = new DownloadTool(m_server.fileUrl("slow.bin"), m_tmp->filePath("down"));
    QSignalSpy progress(tool, &DownloadTool::sigProgress);
    QSignalSpy finished(tool, &DownloadTool::sigDownloadFinished);
    tool->startDownload(QString());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(m_tmp->filePath("down/slow.bin")).size() > 0, 5000);
    delete tool;

    QCOMPARE(finished.size(), 0);
    const qint64 partial = QFileInfo(m_tmp->filePath("down/slow.bin")).size();
    QVERIFY(partial > 0 && partial < 64 * 1024);
}

QTEST_GUILESS_MAIN(tst_DownloadTool)
#include "tst_downloadtool.moc"
