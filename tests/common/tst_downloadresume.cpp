// Package downloads that are cut off and continued: within one download (an attempt cut while
// bytes still came), and by the next download of the same address (what a cut, a stopped
// window or a killed launcher left beside the target).
#include "common.h"
#include "devserver.h"
#include "downloadtool.h"
#include "nginxserver.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

namespace {

QByteArray patterned(int size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251 + seed) & 0xff);
    return bytes;
}

const int kSize = 600 * 1024;
const QJsonObject kTrickle{{"trickle", QJsonObject{{"chunkBytes", 4096}, {"intervalMs", 20}}}};

} // namespace

class tst_DownloadResume : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void resume_data();
    void resume();
    void continuedFromNginx();

private:
    // Leaves what a stopped download of pkg.zip left: part of the file beside the target.
    bool leaveCutOffDownload(const QString &how);

    DevServer m_server;
    std::unique_ptr<QTemporaryDir> m_tmp;
};

void tst_DownloadResume::initTestCase() {
    QVERIFY2(m_server.start(QString(), {"--no-https"}), qPrintable(m_server.lastError()));
}

void tst_DownloadResume::init() {
    QVERIFY(m_server.reset());
    QVERIFY(TestFiles::write(m_server.filesDir() + "/pkg.zip", patterned(kSize, 0)));
    m_tmp.reset(new QTemporaryDir);
}

void tst_DownloadResume::cleanup() {
    Common::setDownloadLimitForTesting(0);
    m_tmp.reset();
}

bool tst_DownloadResume::leaveCutOffDownload(const QString &how) {
    if (!m_server.setBehaviour("files/pkg.zip", kTrickle))
        return false;
    const QString part = m_tmp->filePath("down/pkg.zip.part");
    if (how == "killed") {
        // Another process of this program downloads until it is killed, as a launcher is.
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.setStandardOutputFile(QProcess::nullDevice());
        child.start(QCoreApplication::applicationFilePath(),
                    {"--download", m_server.fileUrl("pkg.zip"), m_tmp->filePath("down")});
        if (!child.waitForStarted(10000) ||
            !QTest::qWaitFor([&] { return QFileInfo(part).size() > 64 * 1024; }, 20000))
            return false;
        child.kill();
        child.waitForFinished(10000);
    } else {
        DownloadTool tool(m_server.fileUrl("pkg.zip"), m_tmp->filePath("down"));
        tool.startDownload(QString());
        if (!QTest::qWaitFor([&] { return QFileInfo(part).size() > 64 * 1024; }, 20000))
            return false;
    }
    const qint64 left = QFileInfo(part).size();
    return m_server.clearBehaviour("files/pkg.zip") && m_server.clearRequests() && left > 0 && left < kSize;
}

// How the download went on, and what the server was asked.
void tst_DownloadResume::resume_data() {
    QTest::addColumn<QString>("before");        // "", "stopped", "killed": what an earlier download left
    QTest::addColumn<QJsonObject>("behaviour"); // of files/pkg.zip for this download
    QTest::addColumn<bool>("changed");          // the file changed on the server since
    QTest::addColumn<int>("requests");          // GETs of files/pkg.zip
    QTest::addColumn<bool>("ranged");           // the last one asked for the rest
    QTest::addColumn<QString>("sent");          // in all: "one file", "the rest", "whole again"

    QTest::newRow("cut after N bytes, continued in the same call")
        << "" << QJsonObject{{"truncateAfter", 200000}, {"times", 1}} << false << 2 << true << "one file";
    QTest::newRow("cut three times") << "" << QJsonObject{{"truncateAfter", 150000}, {"times", 3}} << false << 4
                                     << true << "one file";
    QTest::newRow("a stopped download continued by the next")
        << "stopped" << QJsonObject() << false << 1 << true << "the rest";
    QTest::newRow("a killed launcher's download continued by the next start")
        << "killed" << QJsonObject() << false << 1 << true << "the rest";
    QTest::newRow("the file changed on the server: whole again")
        << "stopped" << QJsonObject() << true << 1 << true << "whole again";
    QTest::newRow("a server without ranges: whole again")
        << "stopped" << QJsonObject{{"noRanges", true}} << false << 1 << true << "whole again";
    QTest::newRow("416: the whole file asked for")
        << "stopped" << QJsonObject{{"status416", true}, {"times", 1}} << false << 2 << false << "whole again";
}

void tst_DownloadResume::resume() {
    QFETCH(QString, before);
    QFETCH(QJsonObject, behaviour);
    QFETCH(bool, changed);
    QFETCH(int, requests);
    QFETCH(bool, ranged);
    QFETCH(QString, sent);

    if (!before.isEmpty())
        QVERIFY(leaveCutOffDownload(before));
    QByteArray expected = patterned(kSize, 0);
    if (changed) {
        expected = patterned(kSize + 5, 1);
        QVERIFY(TestFiles::write(m_server.filesDir() + "/pkg.zip", expected));
    }
    if (!behaviour.isEmpty())
        QVERIFY(m_server.setBehaviour("files/pkg.zip", behaviour));

    Common common;
    common.setDownloadDigestWanted(true);
    qint64 lastReceived = -1;
    bool rising = true;
    QObject::connect(&common, &Common::sigDownloadProgress, [&](qint64 received, qint64 total) {
        rising = rising && received >= lastReceived && (total < 0 || received <= total);
        lastReceived = received;
    });
    QVERIFY2(common.DownloadFiles(m_server.fileUrl("pkg.zip"), m_tmp->filePath("down"), QString()),
             qPrintable(common.lastDownloadError()));

    QCOMPARE(TestFiles::read(m_tmp->filePath("down/pkg.zip")), expected);
    QCOMPARE(common.lastDownloadDigest(), QCryptographicHash::hash(expected, QCryptographicHash::Sha256));
    // Nothing of the download is left beside the package.
    QCOMPARE(QDir(m_tmp->filePath("down")).entryList(QDir::Files), QStringList{"pkg.zip"});
    QVERIFY(rising);
    const QJsonArray got = m_server.requests("files/pkg.zip");
    QCOMPARE(got.size(), requests);
    const QJsonObject headers = got.last().toObject().value("headers").toObject();
    QCOMPARE(headers.contains("range"), ranged);
    if (ranged)
        QVERIFY(headers.contains("if-range"));
    // Qt's network layer may send a cut request again by itself, unseen by the client: an answer
    // followed by another from the same byte was superseded, and only the other one counts.
    const auto rangeStart = [&got](int i) {
        const QString range = got.at(i).toObject().value("headers").toObject().value("range").toString();
        return range.isEmpty() ? 0 : range.mid(6).section('-', 0, 0).toLongLong();
    };
    qint64 total = 0;
    for (int i = 0; i < got.size(); ++i) {
        if (i + 1 < got.size() && rangeStart(i + 1) == rangeStart(i))
            continue;
        total += qint64(got.at(i).toObject().value("sentBytes").toDouble());
    }
    const qint64 last = qint64(got.last().toObject().value("sentBytes").toDouble());
    if (sent == "one file")
        QCOMPARE(total, qint64(expected.size()));
    else if (sent == "the rest")
        QVERIFY2(total < expected.size() - 64 * 1024, qPrintable(QString::number(total)));
    else
        QCOMPARE(last, qint64(expected.size()));
}

// A real file server: nginx answers the rest of a download stopped half-way.
void tst_DownloadResume::continuedFromNginx() {
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    QTemporaryDir root;
    const QByteArray content = patterned(kSize, 2);
    QVERIFY(TestFiles::write(root.filePath("pkg.zip"), content));
    NginxServer nginx;
    QVERIFY2(nginx.start(root.path(), 256 * 1024), qPrintable(nginx.lastError()));
    const QString part = m_tmp->filePath("down/pkg.zip.part");
    {
        DownloadTool tool(nginx.fileUrl("pkg.zip"), m_tmp->filePath("down"));
        tool.startDownload(QString());
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo(part).size() > 64 * 1024; }, 20000));
    }
    const qint64 left = QFileInfo(part).size();
    QVERIFY(left < kSize);

    Common common;
    QVERIFY2(common.DownloadFiles(nginx.fileUrl("pkg.zip"), m_tmp->filePath("down"), QString()),
             qPrintable(common.lastDownloadError()));
    QCOMPARE(TestFiles::read(m_tmp->filePath("down/pkg.zip")), content);
    QVERIFY(nginx.waitForRequests(2));
    const QJsonObject rest = nginx.requests().last().toObject();
    QCOMPARE(rest.value("status").toInt(), 206);
    QCOMPARE(rest.value("range").toString(), QString("bytes=%1-").arg(left));
    QVERIFY(!rest.value("ifRange").toString().isEmpty());
    QCOMPARE(qint64(rest.value("bytes").toDouble()), kSize - left);
}

int main(int argc, char **argv) {
    // The child of "a killed launcher": downloads until it is killed.
    if (argc == 4 && QByteArray(argv[1]) == "--download") {
        QCoreApplication app(argc, argv);
        Common common;
        return common.DownloadFiles(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), QString()) ? 0 : 1;
    }
    QCoreApplication app(argc, argv);
    tst_DownloadResume test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_downloadresume.moc"
