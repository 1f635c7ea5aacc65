#include "devserver.h"
#include "picturefetcher.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

namespace {
const QByteArray kOldPicture = QByteArray("\x89PNG\r\n\x1a\n", 8) + "old picture";
const QByteArray kNewPicture = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(3000, 'n');
} // namespace

class tst_PictureFetcher : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void fileNames_data();
    void fileNames();
    void outcomes_data();
    void outcomes();
    void cancelDropsRunningFetches();

private:
    DevServer m_server;
    std::unique_ptr<QTemporaryDir> m_pDir;
};

void tst_PictureFetcher::initTestCase() {
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
    QVERIFY(TestFiles::write(m_server.filesDir() + "/new.png", kNewPicture));
    QVERIFY(TestFiles::write(m_server.filesDir() + "/page.html", "<html>error</html>"));
}

void tst_PictureFetcher::init() {
    QVERIFY2(m_server.reset(), qPrintable(m_server.lastError()));
    m_pDir.reset(new QTemporaryDir);
    QVERIFY(m_pDir->isValid());
}

void tst_PictureFetcher::fileNames_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("readable"); // the name when the id is already safe, else empty

    QTest::newRow("plain id") << "D24010001"
                              << "D24010001.png";
    QTest::newRow("climbs out") << "../x"
                                << "";
    QTest::newRow("backslash") << "a\\b"
                               << "";
    QTest::newRow("device name") << "CON"
                                 << "";
    QTest::newRow("device name with digit") << "LPT1"
                                            << "";
    QTest::newRow("upper case of a lower-case id") << "NUL1"
                                                   << "NUL1.png";
    QTest::newRow("trailing dot") << "D1."
                                  << "";
    QTest::newRow("escape look-alike") << "_0043ON"
                                       << "";
    QTest::newRow("chinese") << "产品1"
                             << "";
    QTest::newRow("very long") << QString(400, QLatin1Char('A')) << "";
}

void tst_PictureFetcher::fileNames() {
    QFETCH(QString, id);
    QFETCH(QString, readable);
    const QString name = PictureFetcher::fileNameFor(id);
    if (!readable.isEmpty())
        QCOMPARE(name, readable);
    QVERIFY2(QRegularExpression("^[A-Za-z0-9_-]{1,160}\\.png$").match(name).hasMatch(), qPrintable(name));
    const QString base = name.chopped(4);
    QVERIFY2(
        !QRegularExpression("^(CON|PRN|AUX|NUL|COM\\d|LPT\\d)$", QRegularExpression::CaseInsensitiveOption)
             .match(base)
             .hasMatch(),
        qPrintable(name));

    // One name per id, also on file systems that ignore case: no other id of the table, nor the
    // id in another case, shares it.
    for (const QString &other :
         {QStringLiteral("D24010001"), QStringLiteral("d24010001"), QStringLiteral("../x"),
          QStringLiteral("..\\x"), QStringLiteral("a\\b"), QStringLiteral("a/b"), QStringLiteral("CON"),
          QStringLiteral("con"), QStringLiteral("_0043ON"), QStringLiteral("NUL1"), QStringLiteral("nul"),
          QStringLiteral("D1."), QString(400, QLatin1Char('A')), QString(401, QLatin1Char('A')),
          id.toLower()}) {
        if (other != id)
            QVERIFY2(PictureFetcher::fileNameFor(other).compare(name, Qt::CaseInsensitive) != 0,
                     qPrintable(other + " / " + id));
    }

    // The path stays in the folder.
    PictureFetcher fetcher(m_pDir->path());
    QCOMPARE(QFileInfo(fetcher.pathFor(id)).absolutePath(), QDir(m_pDir->path()).absolutePath());
    QVERIFY(PictureFetcher::fileNameFor(QString()).isEmpty());
}

void tst_PictureFetcher::outcomes_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("url");           // "@name": a file of the stand-in server
    QTest::addColumn<QJsonObject>("behaviour"); // for files/*
    QTest::addColumn<int>("timeLimitMs");
    QTest::addColumn<int>("sizeLimit");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("fetched");

    const int normal = PictureFetcher::kDefaultTimeLimitMs;
    const int big = int(PictureFetcher::kDefaultSizeLimit);
    QTest::newRow("arrives") << "D1"
                             << "@new.png" << QJsonObject() << normal << big << true << true;
    QTest::newRow("404") << "D1"
                         << "@none.png" << QJsonObject() << normal << big << true << false;
    QTest::newRow("redirect") << "D1"
                              << "@new.png" << QJsonObject{{"redirect", "http://127.0.0.1:9/x.png"}} << normal
                              << big << true << false;
    QTest::newRow("cut off") << "D1"
                             << "@new.png" << QJsonObject{{"truncateAfter", 100}} << normal << big << true
                             << false;
    QTest::newRow("error page with 200") << "D1"
                                         << "@page.html" << QJsonObject() << normal << big << true << false;
    QTest::newRow("slower than the limit")
        << "D1"
        << "@new.png" << QJsonObject{{"hold", true}} << 700 << big << true << false;
    QTest::newRow("trickling past the limit")
        << "D1"
        << "@new.png" << QJsonObject{{"trickle", QJsonObject{{"chunkBytes", 100}, {"intervalMs", 200}}}}
        << 1500 << big << true << false;
    QTest::newRow("larger than the limit") << "D1"
                                           << "@new.png" << QJsonObject() << normal << 1000 << true << false;
    QTest::newRow("empty id") << ""
                              << "@new.png" << QJsonObject() << normal << big << false << false;
    QTest::newRow("file address") << "D1"
                                  << "file:///etc/hostname" << QJsonObject() << normal << big << false
                                  << false;
    QTest::newRow("no address") << "D1"
                                << "" << QJsonObject() << normal << big << false << false;
}

void tst_PictureFetcher::outcomes() {
    QFETCH(QString, id);
    QFETCH(QString, url);
    QFETCH(QJsonObject, behaviour);
    QFETCH(int, timeLimitMs);
    QFETCH(int, sizeLimit);
    QFETCH(bool, started);
    QFETCH(bool, fetched);
    if (!behaviour.isEmpty())
        QVERIFY(m_server.setBehaviour("files/*", behaviour));
    if (url.startsWith('@'))
        url = m_server.fileUrl(url.mid(1));

    const QString folder = m_pDir->path() + "/productPic";
    PictureFetcher fetcher(folder);
    fetcher.setLimits(timeLimitMs, sizeLimit);
    const QString path = fetcher.pathFor(id);
    if (!path.isEmpty())
        QVERIFY(TestFiles::write(path, kOldPicture));
    QSignalSpy done(&fetcher, &PictureFetcher::sigPictureFetched);
    QSignalSpy failed(&fetcher, &PictureFetcher::sigPictureFailed);

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(fetcher.fetch(id, url), started);
    if (!started) {
        QCOMPARE(fetcher.pendingCount(), 0);
        QVERIFY(m_server.requests().isEmpty());
        return;
    }
    // Never blocks its caller.
    QCOMPARE(done.count() + failed.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(done.count() + failed.count(), 1, 20000);
    m_server.release();
    // Bounded: a held or trickling server ends the fetch at the limit, not minutes later.
    QVERIFY2(clock.elapsed() < timeLimitMs + 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(fetcher.pendingCount(), 0);

    if (fetched) {
        QCOMPARE(done.at(0).at(0).toString(), id);
        QCOMPARE(done.at(0).at(1).toString(), path);
        QCOMPARE(TestFiles::read(path), kNewPicture);
    } else {
        QCOMPARE(failed.at(0).at(0).toString(), id);
        // The picture in use survives a failed fetch.
        QCOMPARE(TestFiles::read(path), kOldPicture);
    }
    // Nothing half-written stays behind.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(path).fileName()});
}

void tst_PictureFetcher::cancelDropsRunningFetches() {
    QVERIFY(m_server.setBehaviour("files/*", QJsonObject{{"hold", true}}));
    const QString folder = m_pDir->path() + "/productPic";
    PictureFetcher fetcher(folder);
    QSignalSpy done(&fetcher, &PictureFetcher::sigPictureFetched);
    QSignalSpy failed(&fetcher, &PictureFetcher::sigPictureFailed);
    QVERIFY(fetcher.fetch("D1", m_server.fileUrl("new.png")));
    QVERIFY(fetcher.fetch("D2", m_server.fileUrl("new.png")));
    QVERIFY(m_server.waitForRequests("files/new.png", 2));

    fetcher.cancelAll();
    QCOMPARE(fetcher.pendingCount(), 0);
    QVERIFY(m_server.release());
    // A later fetch completes, and the dropped ones never report.
    QVERIFY(m_server.clearBehaviour("files/*"));
    QVERIFY(fetcher.fetch("D3", m_server.fileUrl("new.png")));
    QTRY_COMPARE(done.count(), 1);
    QCOMPARE(done.at(0).at(0).toString(), QString("D3"));
    QCOMPARE(failed.count(), 0);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"D3.png"});
}

QTEST_GUILESS_MAIN(tst_PictureFetcher)
#include "tst_picturefetcher.moc"
