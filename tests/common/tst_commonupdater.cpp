#include "applicationfolder.h"
#include "common.h"
#include "devserver.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QtTest>

#include <type_traits>

// The updater's copy of the shared services has no log recorder of its own.
template <typename T, typename = void> struct HasLogRecorder : std::false_type {};
template <typename T>
struct HasLogRecorder<T, std::void_t<decltype(std::declval<T &>().slotLogRecord(QString()))>>
    : std::true_type {};
static_assert(!HasLogRecorder<Common>::value, "the updater's Common must not write the launcher's log");

class tst_CommonUpdater : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void requestsLogNothing_data();
    void requestsLogNothing();
    void downloadGivesUpAfterTenSeconds();

private:
    DevServer m_server;
    std::unique_ptr<ScratchFolder> m_tmp;
};

void tst_CommonUpdater::initTestCase() {
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
}

void tst_CommonUpdater::init() {
    QVERIFY(m_server.reset());
    m_tmp.reset(new ScratchFolder(true));
    QVERIFY(m_tmp->isReady());
    ApplicationFolder::setPathForTesting(m_tmp->path());
}

void tst_CommonUpdater::cleanup() {
    ApplicationFolder::setPathForTesting(QString());
    m_tmp.reset();
}

void tst_CommonUpdater::requestsLogNothing_data() {
    QTest::addColumn<bool>("secure");
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<bool>("errorText");

    for (bool secure : {false, true}) {
        const char *s = secure ? "https" : "http";
        QTest::addRow("%s 404", s) << secure << QJsonObject{{"status", 404}} << true;
        QTest::addRow("%s dropped", s) << secure << QJsonObject{{"drop", true}} << true;
        QTest::addRow("%s 200", s) << secure << QJsonObject{{"body", "{\"ack\":\"200\"}"}} << false;
    }
}

void tst_CommonUpdater::requestsLogNothing() {
    QFETCH(bool, secure);
    QFETCH(QJsonObject, behaviour);
    QFETCH(bool, errorText);

    const QString path = QStringLiteral("ToolClientConfigManageApi/recordProToolUpgrade");
    QVERIFY(m_server.setBehaviour(path, behaviour));
    Common common;
    const QString url = (secure ? m_server.httpsBase() : m_server.httpBase()) + path;
    const QMap<QString, QString> params{{"loginToken", "t"}, {"versionUniqId", "v"}};
    const QString answer =
        secure ? common.httpsPostRequest(url, params) : common.httpPostRequest(url, params);

    if (errorText)
        QVERIFY(!answer.isEmpty() && !answer.startsWith('{'));
    else
        QCOMPARE(answer, QString("{\"ack\":\"200\"}"));
    QCOMPARE(TestFiles::entriesBelow(m_tmp->path()), QStringList{});
}

void tst_CommonUpdater::downloadGivesUpAfterTenSeconds() {
    QVERIFY(TestFiles::write(m_server.filesDir() + "/Tovarin.zip", QByteArray(64 * 1024, 'z')));
    // Headers and a first part, then nothing: no attempt gets further than the first.
    QVERIFY(m_server.setBehaviour("files/Tovarin.zip", QJsonObject{{"stallAfter", 1024}, {"noRanges", true}}));

    Common common;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!common.DownloadFiles(m_server.fileUrl("Tovarin.zip"), m_tmp->filePath("down"), QString()));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 9900, qPrintable(QString::number(elapsed)));

    // The part written before the limit does not stay behind as if it were the package.
    QVERIFY(!QFileInfo::exists(m_tmp->filePath("down/Tovarin.zip")));
    QVERIFY(QFileInfo(m_tmp->filePath("down")).isDir());
}

QTEST_GUILESS_MAIN(tst_CommonUpdater)
#include "tst_commonupdater.moc"
