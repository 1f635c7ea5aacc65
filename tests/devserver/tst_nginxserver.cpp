#include "nginxserver.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

struct Answer {
    int status = 0;
    QByteArray body;
    QByteArray etag;
    QByteArray contentRange;
};

Answer fetch(const QString &url, const QList<QPair<QByteArray, QByteArray>> &headers, bool head = false) {
    QNetworkAccessManager nam;
    QNetworkRequest request{QUrl(url)};
    for (const auto &h : headers)
        request.setRawHeader(h.first, h.second);
    QNetworkReply *reply = head ? nam.head(request) : nam.get(request);
    QEventLoop loop;
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    answer.etag = reply->rawHeader("ETag");
    answer.contentRange = reply->rawHeader("Content-Range");
    delete reply;
    return answer;
}

QByteArray randomBytes(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

} // namespace

class TestNginxServer : public QObject {
    Q_OBJECT
private slots:
    void init() {
        if (!NginxServer::isAvailable())
            QSKIP("nginx is not available here");
    }

    void answers_data() {
        QTest::addColumn<qint64>("rate");
        QTest::addColumn<QByteArray>("range");
        QTest::addColumn<QByteArray>("ifRange"); // "current": the file's own ETag
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("from"); // first byte of the body expected, -1: none
        QTest::addColumn<int>("minimumMs");

        // The whole file, an open range and a current If-Range are what a resumed download meets:
        // tst_downloadresume continues one from nginx.
        QTest::newRow("If-Range stale")
            << qint64(0) << QByteArray("bytes=300000-") << QByteArray("\"stale-1\"") << 200 << 0 << 0;
        QTest::newRow("past the end")
            << qint64(0) << QByteArray("bytes=600000-") << QByteArray() << 416 << -1 << 0;
        // 512 KiB at 128 KiB/s: four seconds, less up to the first second's worth nginx lets go at once.
        QTest::newRow("rate limited")
            << qint64(128 * 1024) << QByteArray() << QByteArray() << 200 << 0 << 2500;
    }

    void answers() {
        QFETCH(qint64, rate);
        QFETCH(QByteArray, range);
        QFETCH(QByteArray, ifRange);
        QFETCH(int, status);
        QFETCH(int, from);
        QFETCH(int, minimumMs);

        QTemporaryDir root;
        const QByteArray content = randomBytes(512 * 1024);
        QFile file(root.filePath(QStringLiteral("pkg 1.zip")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();

        NginxServer nginx;
        QVERIFY2(nginx.start(root.path(), rate), qPrintable(nginx.lastError()));
        QVERIFY(nginx.baseUrl().startsWith(QStringLiteral("http://127.0.0.1:")));
        const QString url = nginx.fileUrl(QStringLiteral("pkg 1.zip"));
        int logged = 0;
        if (ifRange == "current") {
            ifRange = fetch(url, {}, true).etag;
            QVERIFY(!ifRange.isEmpty());
            ++logged;
        }
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!range.isEmpty())
            headers.append({"Range", range});
        if (!ifRange.isEmpty())
            headers.append({"If-Range", ifRange});

        QElapsedTimer clock;
        clock.start();
        const Answer got = fetch(url, headers);
        QCOMPARE(got.status, status);
        QVERIFY2(clock.elapsed() >= minimumMs, qPrintable(QString::number(clock.elapsed())));
        if (from >= 0) {
            QCOMPARE(got.body.size(), content.size() - from);
            QVERIFY(got.body == content.mid(from));
        }
        if (status == 206)
            QCOMPARE(got.contentRange, QByteArray("bytes %1-%2/%3")
                                           .replace("%1", QByteArray::number(from))
                                           .replace("%2", QByteArray::number(content.size() - 1))
                                           .replace("%3", QByteArray::number(content.size())));

        // What nginx logged: the headers it was given and the body bytes it sent.
        QVERIFY(nginx.waitForRequests(logged + 1));
        const QJsonObject entry = nginx.requests().at(logged).toObject();
        QCOMPARE(entry.value(QStringLiteral("status")).toInt(), status);
        QCOMPARE(entry.value(QStringLiteral("range")).toString(), QString::fromLatin1(range));
        QCOMPARE(entry.value(QStringLiteral("ifRange")).toString(), QString::fromLatin1(ifRange));
        if (from >= 0)
            QCOMPARE(qint64(entry.value(QStringLiteral("bytes")).toDouble()), qint64(content.size() - from));
    }

    void stopClosesThePort() {
        QTemporaryDir root;
        NginxServer nginx;
        QVERIFY2(nginx.start(root.path()), qPrintable(nginx.lastError()));
        const quint16 port = nginx.port();
        QVERIFY(nginx.isRunning());
        nginx.stop();
        QVERIFY(!nginx.isRunning());
        QVERIFY(nginx.baseUrl().isEmpty());
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        QVERIFY(!socket.waitForConnected(2000));
    }

    void missingFolderIsRefused() {
        QTemporaryDir root;
        NginxServer nginx;
        QVERIFY(!nginx.start(root.filePath(QStringLiteral("absent"))));
        QVERIFY(!nginx.lastError().isEmpty());
        QVERIFY(!nginx.isRunning());
    }
};

QTEST_GUILESS_MAIN(TestNginxServer)
#include "tst_nginxserver.moc"
