// The product catalogue against the stand-in server: what it asks, how it pages and tags, ticking
// and confirming, and the races of requests and pictures held at the server.
#include "applicationfolder.h"
#include "devserver.h"
#include "globals.h"
#include "imageresources.h"
#include "picturefetcher.h"
#include "popselectwidget.h"
#include "productshowwidget.h"

#include <QComboBox>
#include <QDirIterator>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {
const QString kList = QStringLiteral("ToolClientConfigManageApi/getProductConfigList");
const QString kDetail = QStringLiteral("ToolClientConfigManageApi/getProductConfigDetail");
const QString kToken = QStringLiteral("tok-operator-0001");
const QStringList kReleasedPage1 = {"D24010001", "D24010002", "D24010003",
                                    "D24010004", "D24010005", "D24010006"};
const QStringList kReleasedPage2 = {"D24010007", "D24010010", "D24010011",
                                    "D24010012", "D24010013", "D24010014"};
const QStringList kPreReleased = {"D24010008", "D24010009", "D24010016", "D24010017"};

QJsonArray generatedProducts(int count, const QString &status = "2") {
    QJsonArray products;
    for (int i = 1; i <= count; ++i)
        products.append(QJsonObject{{"productName", QString("产品 %1").arg(i)},
                                    {"productUniqId", QString("G%1").arg(i, 3, 10, QLatin1Char('0'))},
                                    {"createTime", 1704067200 + i * 86400},
                                    {"moduleName", "CM"},
                                    {"moduleVersion", "1.0"},
                                    {"releaseStatus", status},
                                    {"frontImg", ""}});
    return products;
}

// "pid|brand|flag" of an emitted record.
QString summary(const PRODUCTSHOWINFO_S &info) {
    return info.m_szPID + '|' + info.m_szCustomBrand + '|' + info.m_szCustomIDFlag;
}
} // namespace

class tst_PopSelectWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void searchRequest_data();
    void searchRequest();
    void paging_data();
    void paging();
    void tickConfirmCancel_data();
    void tickConfirmCancel();
    void confirmRace_data();
    void confirmRace();
    void overlappingSearches_data();
    void overlappingSearches();
    void failedSearchKeepsResults_data();
    void failedSearchKeepsResults();
    void picturesArriveLateAndOnlyForTheirPage();
    void unsafeProductsStayContained();
    void createTime_data();
    void createTime();

private:
    popSelectWidget *open(const PRODUCTSHOWINFO_S &preselected = PRODUCTSHOWINFO_S(),
                          bool waitForSearch = true);
    void setProducts(const QJsonArray &products);
    void waitForSearches(int count);
    // Runs action once the server has recorded count requests of path, then releases path.
    void whenRecorded(const QString &path, int count, std::function<void()> action);
    // One operator step: "tick:<card>", "search:<text>", "filter", "confirm", "cancel",
    // "closebutton", "escape", "windowclose", "reopen", "restore" (shown again), "picture"
    // (held pictures let go and arrived), "next" or "prev".
    void act(const QString &step);
    QStringList shownPids() const;
    QList<int> tickedCards() const;
    productShowWidget *card(int i) const { return m_pDialog->findChildren<productShowWidget *>()[i]; }
    template <typename T = QWidget> T *child(const char *name) const {
        return m_pDialog->findChild<T *>(QLatin1String(name));
    }
    QString label(const char *name) const { return child<QLabel>(name)->text(); }

    DevServer m_server;
    std::unique_ptr<QTemporaryDir> m_pStation;
    popSelectWidget *m_pDialog = nullptr;
    std::unique_ptr<QSignalSpy> m_pEmitted;
};

void tst_PopSelectWidget::initTestCase() {
    initImageResources();
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
}

void tst_PopSelectWidget::init() {
    QVERIFY(m_server.reset());
    m_pStation.reset(new QTemporaryDir);
    QVERIFY(m_pStation->isValid());
    ApplicationFolder::setPathForTesting(m_pStation->path());
    QVERIFY(DevServer::writeServerConfig(m_pStation->path(), m_server.httpBase()));
    m_szLoginToken = kToken;
}

void tst_PopSelectWidget::cleanup() {
    m_pEmitted.reset();
    delete m_pDialog;
    m_pDialog = nullptr;
    m_server.release();
    ApplicationFolder::setPathForTesting(QString());
    m_szLoginToken.clear();
}

popSelectWidget *tst_PopSelectWidget::open(const PRODUCTSHOWINFO_S &preselected, bool waitForSearch) {
    m_pDialog = new popSelectWidget;
    m_pEmitted.reset(new QSignalSpy(m_pDialog, &popSelectWidget::signalSelectedProduct));
    m_pDialog->setProductSelected(preselected);
    m_pDialog->resize(1000, 800);
    m_pDialog->slotSetMainWidgetSize(800, 720);
    if (waitForSearch) {
        m_pDialog->show();
        waitForSearches(1);
    }
    return m_pDialog;
}

void tst_PopSelectWidget::setProducts(const QJsonArray &products) {
    QJsonObject data = DevServer::demoData();
    data["products"] = products;
    QVERIFY(m_server.setData(data));
}

void tst_PopSelectWidget::waitForSearches(int count) {
    QVERIFY(m_server.waitForRequests(kList, count, 10000));
    // The pager is back once the answer has been taken in.
    QTRY_VERIFY(child<QPushButton>("btnNext")->isEnabled());
}

void tst_PopSelectWidget::whenRecorded(const QString &path, int count, std::function<void()> action) {
    auto *poll = new QTimer(m_pDialog);
    connect(poll, &QTimer::timeout, poll, [this, poll, path, count, action] {
        if (m_server.requests(path).size() < count)
            return;
        poll->stop();
        action();
        m_server.release(path);
        poll->deleteLater();
    });
    poll->start(20);
}

void tst_PopSelectWidget::act(const QString &step) {
    const QMap<QString, const char *> buttons{{"confirm", "btnConfrim"},
                                              {"cancel", "btnCancel"},
                                              {"closebutton", "btnClose"},
                                              {"next", "btnNext"},
                                              {"prev", "btnPrev"}};
    if (buttons.contains(step)) {
        QTest::mouseClick(child(buttons.value(step)), Qt::LeftButton);
    } else if (step.startsWith("tick:")) {
        QTest::mouseClick(card(step.mid(5).toInt()), Qt::LeftButton, {}, QPoint(40, 40));
    } else if (step.startsWith("search:")) {
        child<QLineEdit>("lineEditSearch")->setText(step.mid(7));
        QTest::mouseClick(child("btnSearch"), Qt::LeftButton);
    } else if (step == "filter") {
        child<QComboBox>("combRelease")->setCurrentIndex(1);
    } else if (step == "escape") {
        QTest::keyClick(child("lineEditSearch"), Qt::Key_Escape);
    } else if (step == "restore") {
        m_pDialog->hide();
        m_pDialog->show();
    } else if (step == "picture") {
        m_server.release("files/*");
        QTRY_VERIFY(card(1)->product().m_szPicPath != productShowWidget::defaultPicture());
    } else {
        m_pDialog->close(); // "windowclose", and the first half of "reopen"
        if (step == "reopen")
            m_pDialog->show();
    }
}

QStringList tst_PopSelectWidget::shownPids() const {
    QStringList pids;
    for (int i = 0; i < 6; ++i)
        if (!card(i)->isHidden())
            pids << card(i)->product().m_szPID;
    return pids;
}

QList<int> tst_PopSelectWidget::tickedCards() const {
    QList<int> ticked;
    for (int i = 0; i < 6; ++i)
        if (card(i)->isChecked())
            ticked << i;
    return ticked;
}

void tst_PopSelectWidget::searchRequest_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("filter");
    QTest::addColumn<QString>("productId");
    QTest::addColumn<QString>("productName");
    QTest::addColumn<QString>("releaseStatus");
    QTest::addColumn<QStringList>("shown");

    QTest::newRow("product id") << "D24010002" << 0 << "D24010002"
                                << ""
                                << "2" << QStringList{"D24010002"};
    QTest::newRow("eight characters") << "D2401000" << 0 << ""
                                      << "D2401000"
                                      << "2" << QStringList{};
    QTest::newRow("lower-case d") << "d24010002" << 0 << ""
                                  << "d24010002"
                                  << "2" << QStringList{};
    QTest::newRow("chinese name") << "门铃" << 0 << ""
                                  << "门铃"
                                  << "2" << QStringList{"D24010003"};
    QTest::newRow("pre-release, empty text") << "" << 1 << ""
                                             << ""
                                             << "1" << kPreReleased;
}

void tst_PopSelectWidget::searchRequest() {
    QFETCH(QString, text);
    QFETCH(int, filter);
    QFETCH(QString, productId);
    QFETCH(QString, productName);
    QFETCH(QString, releaseStatus);
    QFETCH(QStringList, shown);
    open();
    // The automatic search on show lists everything released.
    QCOMPARE(shownPids(), kReleasedPage1);
    QVERIFY(m_server.clearRequests());

    child<QLineEdit>("lineEditSearch")->setText(text);
    if (filter != 0)
        child<QComboBox>("combRelease")->setCurrentIndex(filter);
    else
        QTest::mouseClick(child("btnSearch"), Qt::LeftButton);

    const QJsonArray got = m_server.requests(kList);
    QCOMPARE(got.size(), 1);
    const QJsonObject request = got.at(0).toObject();
    QStringList fields;
    for (const QString &name : DevServer::fieldNames(request))
        fields << name + '=' + (name == "sign" ? QString() : DevServer::fieldValue(request, name));
    QCOMPARE(fields, QStringList({"count=100", "loginToken=" + kToken, "productId=" + productId,
                                  "productName=" + productName, "releaseStatus=" + releaseStatus,
                                  "sign=", "startId=0"}));
    QVERIFY(request.value("signOk").toBool());

    QCOMPARE(shownPids(), shown);
    for (int i = 0; i < shown.size(); ++i)
        QCOMPARE(int(card(i)->product().m_eReleaseType), filter);
    QCOMPARE(label("labCurPage"), QString(shown.isEmpty() ? "0" : "1"));
    QCOMPARE(label("labAllPage"), QString(shown.isEmpty() ? "0" : "1"));
}

void tst_PopSelectWidget::paging_data() {
    QTest::addColumn<int>("products");
    QTest::addColumn<QList<int>>("cardsPerPage");

    QTest::newRow("none") << 0 << QList<int>{};
    QTest::newRow("twelve") << 12 << QList<int>{6, 6};
    QTest::newRow("thirteen") << 13 << QList<int>{6, 6, 1};
}

void tst_PopSelectWidget::paging() {
    QFETCH(int, products);
    QFETCH(QList<int>, cardsPerPage);
    setProducts(generatedProducts(products));
    open();
    const int pages = cardsPerPage.size();
    QCOMPARE(label("labAllPage"), QString::number(pages));
    QCOMPARE(child("labNoProduct")->isVisible(), pages == 0);

    auto pidsOfPage = [](int page, int count) {
        QStringList pids;
        for (int i = 0; i < count; ++i)
            pids << QString("G%1").arg(6 * (page - 1) + i + 1, 3, 10, QLatin1Char('0'));
        return pids;
    };
    if (pages == 0) {
        QCOMPARE(shownPids(), QStringList());
        QTest::mouseClick(child("btnNext"), Qt::LeftButton);
        QCOMPARE(label("labCurPage"), QString("0"));
        QCOMPARE(shownPids(), QStringList());
        return;
    }
    // Back on the first page does nothing.
    QTest::mouseClick(child("btnPrev"), Qt::LeftButton);
    for (int page = 1; page <= pages; ++page) {
        QCOMPARE(label("labCurPage"), QString::number(page));
        QCOMPARE(shownPids(), pidsOfPage(page, cardsPerPage.at(page - 1)));
        QTest::mouseClick(child("btnNext"), Qt::LeftButton);
    }
    // Past the last page does nothing either.
    QCOMPARE(label("labCurPage"), QString::number(pages));
    QCOMPARE(shownPids(), pidsOfPage(pages, cardsPerPage.last()));
    for (int page = pages - 1; page >= 1; --page) {
        QTest::mouseClick(child("btnPrev"), Qt::LeftButton);
        QCOMPARE(label("labCurPage"), QString::number(page));
        QCOMPARE(shownPids(), pidsOfPage(page, 6));
    }
    // Paging is local: one search for the whole walk.
    QCOMPARE(m_server.requests(kList).size(), 1);
}

void tst_PopSelectWidget::tickConfirmCancel_data() {
    QTest::addColumn<QString>("preselected");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QJsonObject>("detail"); // behaviour of the detail answer
    QTest::addColumn<QStringList>("emitted");
    QTest::addColumn<bool>("stillOpen");
    QTest::addColumn<QList<int>>("ticked");
    QTest::addColumn<bool>("confirmEnabled");

    const QString pre = "D24010001|PRE-BRAND|PRE-FLAG";
    const QJsonObject normal;
    QTest::newRow("tick, confirm") << "" << QStringList{"tick:1", "confirm"} << normal
                                   << QStringList{"D24010002|NorthStar|ID02"} << false << QList<int>{1}
                                   << true;
    QTest::newRow("untick greys out confirm")
        << "" << QStringList{"tick:1", "tick:1"} << normal << QStringList{} << true << QList<int>{} << false;
    QTest::newRow("preselection ticked on show")
        << pre << QStringList{} << normal << QStringList{} << true << QList<int>{0} << true;
    QTest::newRow("cancel") << pre << QStringList{"tick:2", "cancel"} << normal << QStringList{pre} << false
                            << QList<int>{0} << true;
    QTest::newRow("escape") << pre << QStringList{"tick:2", "escape"} << normal << QStringList{pre} << false
                            << QList<int>{0} << true;
    QTest::newRow("close button") << pre << QStringList{"tick:2", "closebutton"} << normal << QStringList{pre}
                                  << false << QList<int>{0} << true;
    QTest::newRow("window closed") << pre << QStringList{"tick:2", "windowclose"} << normal
                                   << QStringList{pre} << false << QList<int>{0} << true;
    QTest::newRow("tick stays over paging") << "" << QStringList{"tick:1", "next", "prev"} << normal
                                            << QStringList{} << true << QList<int>{1} << true;
    QTest::newRow("untick stays over paging") << "" << QStringList{"tick:1", "tick:1", "next", "prev"}
                                              << normal << QStringList{} << true << QList<int>{} << false;
    QTest::newRow("detail without id flag")
        << "" << QStringList{"tick:1", "confirm"}
        << QJsonObject{{"data", QJsonObject{{"funList", QJsonArray{QJsonObject{{"funFlag", "PPC.CustomBrand"},
                                                                               {"defaultValue", "Only"}}}}}}}
        << QStringList{"D24010002|Only|"} << false << QList<int>{1} << true;
    QTest::newRow("later flag wins")
        << "" << QStringList{"tick:1", "confirm"}
        << QJsonObject{{"data",
                        QJsonObject{{"funList", QJsonArray{QJsonObject{{"funFlag", "PPC.CustomIDFlag"},
                                                                       {"defaultValue", "A"}},
                                                           QJsonObject{{"funFlag", "PPC.CustomIDFlag"},
                                                                       {"defaultValue", "B"}}}}}}}
        << QStringList{"D24010002||B"} << false << QList<int>{1} << true;
    QTest::newRow("detail refused") << "" << QStringList{"tick:1", "confirm"} << QJsonObject{{"ack", "500"}}
                                    << QStringList{} << true << QList<int>{1} << true;
}

void tst_PopSelectWidget::tickConfirmCancel() {
    QFETCH(QString, preselected);
    QFETCH(QStringList, steps);
    QFETCH(QJsonObject, detail);
    QFETCH(QStringList, emitted);
    QFETCH(bool, stillOpen);
    QFETCH(QList<int>, ticked);
    QFETCH(bool, confirmEnabled);
    if (!detail.isEmpty())
        QVERIFY(m_server.setBehaviour(kDetail, detail));
    PRODUCTSHOWINFO_S preselection;
    if (!preselected.isEmpty()) {
        const QStringList parts = preselected.split('|');
        preselection.m_szPID = parts.at(0);
        preselection.m_szProductName = "室内云台摄像机 P2";
        preselection.m_szCustomBrand = parts.at(1);
        preselection.m_szCustomIDFlag = parts.at(2);
    }
    open(preselection);
    QVERIFY(QTest::qWaitForWindowExposed(m_pDialog));

    for (const QString &step : steps)
        act(step);

    QStringList got;
    for (const QList<QVariant> &signal : *m_pEmitted)
        got << summary(signal.at(0).value<PRODUCTSHOWINFO_S>());
    QCOMPARE(got, emitted);
    QCOMPARE(m_pDialog->isVisible(), stillOpen);
    QCOMPARE(tickedCards(), ticked);
    QCOMPARE(child<QPushButton>("btnConfrim")->isEnabled(), confirmEnabled);
    QCOMPARE(child<QPushButton>("btnConfrim")->styleSheet().contains("rgb(152, 152, 152)"), !confirmEnabled);

    const QJsonArray details = m_server.requests(kDetail);
    if (steps.contains("confirm") && !details.isEmpty()) {
        const QJsonObject request = details.last().toObject();
        QCOMPARE(DevServer::fieldNames(request), QStringList({"loginToken", "productUniqId", "sign"}));
        QCOMPARE(DevServer::fieldValue(request, "loginToken"), kToken);
        QVERIFY(request.value("signOk").toBool());
        if (!emitted.isEmpty())
            QCOMPARE(DevServer::fieldValue(request, "productUniqId"), emitted.last().section('|', 0, 0));
    }
}

void tst_PopSelectWidget::confirmRace_data() {
    QTest::addColumn<QString>("during");
    QTest::addColumn<QStringList>("emitted");

    // Whatever happens while the detail answer waits, the product confirmed is the one ticked
    // when "确定" was pressed, and nothing follows a cancel.
    QTest::newRow("tick another") << "tick:2" << QStringList{"D24010002|NorthStar|ID02"};
    QTest::newRow("confirm again") << "confirm" << QStringList{"D24010002|NorthStar|ID02"};
    QTest::newRow("cancel") << "cancel" << QStringList{"||"};
    QTest::newRow("window closed") << "windowclose" << QStringList{"||"};
    QTest::newRow("closed and opened again") << "reopen" << QStringList{"||"};
    // A restore after Win+D shows the dialog again: the answer is still awaited and used.
    QTest::newRow("shown again") << "restore" << QStringList{"D24010002|NorthStar|ID02"};
    // The product's picture arrives meanwhile: it goes with the product.
    QTest::newRow("picture arrives") << "picture" << QStringList{"D24010002|NorthStar|ID02"};
}

void tst_PopSelectWidget::confirmRace() {
    QFETCH(QString, during);
    QFETCH(QStringList, emitted);
    if (during == "picture")
        QVERIFY(m_server.setBehaviour("files/*", QJsonObject{{"hold", true}}));
    open();
    QVERIFY(QTest::qWaitForWindowExposed(m_pDialog));
    QTest::mouseClick(card(1), Qt::LeftButton, {}, QPoint(40, 40));
    QVERIFY(m_server.setBehaviour(kDetail, QJsonObject{{"hold", true}, {"times", 1}}));

    whenRecorded(kDetail, 1, [&] { act(during); });
    bool confirmReturned = false;
    QTimer::singleShot(0, m_pDialog, [&] {
        QTest::mouseClick(child("btnConfrim"), Qt::LeftButton);
        confirmReturned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(confirmReturned, 20000);

    QStringList got;
    for (const QList<QVariant> &signal : *m_pEmitted)
        got << summary(signal.at(0).value<PRODUCTSHOWINFO_S>());
    QCOMPARE(got, emitted);
    if (during == "picture")
        QCOMPARE(m_pEmitted->last().at(0).value<PRODUCTSHOWINFO_S>().m_szPicPath,
                 card(1)->product().m_szPicPath);
    // A second press while the first waits sends nothing.
    QCOMPARE(m_server.requests(kDetail).size(), 1);
}

void tst_PopSelectWidget::overlappingSearches_data() {
    QTest::addColumn<QString>("during");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("pages");
    QTest::addColumn<int>("releaseType");

    // The first search ("摄像机") is held at the server while the operator goes on.
    const QStringList cameras = {"D24010001", "D24010004", "D24010005",
                                 "D24010007", "D24010011", "D24010013"};
    QTest::newRow("second search") << "search:门铃" << QStringList{"D24010003"} << "1" << 0;
    QTest::newRow("filter change") << "filter" << QStringList{"D24010008", "D24010017"} << "1" << 1;
    QTest::newRow("page change waits") << "next" << cameras << "1" << 0;
    QTest::newRow("closed meanwhile") << "cancel" << kReleasedPage1 << "3" << 0;
}

void tst_PopSelectWidget::overlappingSearches() {
    QFETCH(QString, during);
    QFETCH(QStringList, shown);
    QFETCH(QString, pages);
    QFETCH(int, releaseType);
    open();
    QVERIFY(m_server.setBehaviour(kList, QJsonObject{{"hold", true}, {"times", 1}}));
    child<QLineEdit>("lineEditSearch")->setText("摄像机");

    whenRecorded(kList, 2, [&] {
        if (during == "next")
            QVERIFY(!child<QPushButton>("btnNext")->isEnabled());
        act(during);
    });
    bool firstReturned = false;
    QTimer::singleShot(0, m_pDialog, [&] {
        QTest::mouseClick(child("btnSearch"), Qt::LeftButton);
        firstReturned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(firstReturned, 20000);

    QCOMPARE(shownPids(), shown);
    QCOMPARE(label("labCurPage"), QString("1"));
    QCOMPARE(label("labAllPage"), pages);
    for (int i = 0; i < shown.size(); ++i)
        QCOMPARE(int(card(i)->product().m_eReleaseType), releaseType);
    QVERIFY(child<QPushButton>("btnNext")->isEnabled());
}

void tst_PopSelectWidget::failedSearchKeepsResults_data() {
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<bool>("byFilter");

    QTest::newRow("ack 500") << QJsonObject{{"ack", "500"}} << false;
    QTest::newRow("dropped") << QJsonObject{{"drop", true}} << false;
    QTest::newRow("filter change refused") << QJsonObject{{"ack", "500"}} << true;
}

void tst_PopSelectWidget::failedSearchKeepsResults() {
    QFETCH(QJsonObject, behaviour);
    QFETCH(bool, byFilter);
    open();
    QVERIFY(m_server.setBehaviour(kList, behaviour));
    if (byFilter)
        child<QComboBox>("combRelease")->setCurrentIndex(1);
    else
        QTest::mouseClick(child("btnSearch"), Qt::LeftButton);
    // A dropped connection may be tried once more by the network stack.
    QVERIFY(m_server.requests(kList).size() >= 2);

    QCOMPARE(shownPids(), kReleasedPage1);
    QCOMPARE(label("labAllPage"), QString("3"));
    // The pager still walks the previous answer, tagged as it was fetched.
    QTest::mouseClick(child("btnNext"), Qt::LeftButton);
    QCOMPARE(label("labCurPage"), QString("2"));
    QCOMPARE(shownPids(), kReleasedPage2);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(card(i)->product().m_eReleaseType, RELEASE_TYPE_RELEASED);
    QTest::mouseClick(child("btnNext"), Qt::LeftButton);
    QTest::mouseClick(child("btnNext"), Qt::LeftButton);
    QCOMPARE(label("labCurPage"), QString("3"));
    QCOMPARE(shownPids(), QStringList({"D24010015", "../CON"}));
}

void tst_PopSelectWidget::picturesArriveLateAndOnlyForTheirPage() {
    // Page 1's six pictures are held; everything after them is answered at once.
    QVERIFY(m_server.setBehaviour("files/*", QJsonObject{{"hold", true}, {"times", 6}}));
    QVERIFY(m_server.clearBehaviour("files/product-D24010012.png"));
    open();
    PictureFetcher *fetcher = m_pDialog->pictureFetcher();
    // The page is there while its pictures are still held at the server.
    QCOMPARE(shownPids(), kReleasedPage1);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(card(i)->product().m_szPicPath, productShowWidget::defaultPicture());
    QTRY_COMPARE(m_server.requests().size() - m_server.requests(kList).size(), 6);

    QTest::mouseClick(child("btnNext"), Qt::LeftButton);
    QCOMPARE(shownPids(), kReleasedPage2);
    m_server.release();
    // Page 2 fills in card by card (D24010013 has no picture, D24010014's answers 404) ...
    QTRY_COMPARE(fetcher->pendingCount(), 0);
    for (int i = 0; i < 6; ++i) {
        const QString pid = kReleasedPage2.at(i);
        const bool hasPicture = pid != "D24010013" && pid != "D24010014";
        QCOMPARE(card(i)->product().m_szPicPath,
                 hasPicture ? fetcher->pathFor(pid) : productShowWidget::defaultPicture());
    }
    // ... and page 1's pictures, answered after the page had gone, were never taken in.
    for (const QString &pid : kReleasedPage1)
        QVERIFY2(!QFileInfo::exists(fetcher->pathFor(pid)), qPrintable(pid));
}

void tst_PopSelectWidget::unsafeProductsStayContained() {
    QJsonArray products;
    const QStringList ids = {"../x", "a\\b", "CON", "", "D24010001", "D24010002"};
    for (const QString &id : ids)
        products.append(QJsonObject{{"productName", id.isEmpty() ? "无编号" : "产品 " + id},
                                    {"productUniqId", id},
                                    {"createTime", 1704067200},
                                    {"releaseStatus", "2"},
                                    {"frontImg", "product-D24010001.png"}});
    // A name-less product, and one whose picture is not served over http.
    products[5] = QJsonObject{{"productName", ""},
                              {"productUniqId", "D24010002"},
                              {"releaseStatus", "2"},
                              {"frontImgUrl", "file:///etc/hostname"}};
    setProducts(products);
    open();
    QCOMPARE(shownPids(), ids);
    PictureFetcher *fetcher = m_pDialog->pictureFetcher();
    QTRY_COMPARE(fetcher->pendingCount(), 0);

    // Pictures only for the four ids, each under its own name inside productPic.
    QCOMPARE(m_server.requests("files/product-D24010001.png").size(), 4);
    QStringList written;
    QDirIterator it(m_pStation->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        written << QDir(m_pStation->path()).relativeFilePath(it.next());
    written.removeAll("serverConfig.ini");
    written.sort();
    QStringList expected;
    for (const char *id : {"../x", "a\\b", "CON", "D24010001"})
        expected << "productPic/" + PictureFetcher::fileNameFor(QString::fromUtf8(id));
    expected.sort();
    QCOMPARE(written, expected);
    for (int i : {0, 1, 2, 4})
        QCOMPARE(card(i)->product().m_szPicPath, fetcher->pathFor(ids.at(i)));
    QCOMPARE(card(3)->product().m_szPicPath, productShowWidget::defaultPicture());

    // Neither the card without id nor the one without name can be ticked.
    for (int i : {3, 5}) {
        QTest::mouseClick(card(i), Qt::LeftButton, {}, QPoint(40, 40));
        QCOMPARE(tickedCards(), QList<int>());
        QVERIFY(!child<QPushButton>("btnConfrim")->isEnabled());
    }
}

void tst_PopSelectWidget::createTime_data() {
    QTest::addColumn<QJsonValue>("createTime");
    QTest::addColumn<qint64>("seconds");

    QTest::newRow("seconds") << QJsonValue(1704067200) << qint64(1704067200);
    QTest::newRow("seconds after 2038") << QJsonValue(double(2240524800LL)) << qint64(2240524800LL);
    QTest::newRow("milliseconds") << QJsonValue(double(1711929600000LL)) << qint64(1711929600);
    QTest::newRow("milliseconds after 2038") << QJsonValue(double(2240524800000LL)) << qint64(2240524800LL);
    QTest::newRow("as text") << QJsonValue("1704067200") << qint64(1704067200);
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << qint64(0);
    QTest::newRow("beyond 64 bits") << QJsonValue(1e300) << qint64(0);
    QTest::newRow("beyond 64 bits, negative") << QJsonValue(-1e19) << qint64(0);
}

void tst_PopSelectWidget::createTime() {
    QFETCH(QJsonValue, createTime);
    QFETCH(qint64, seconds);
    QCOMPARE(popSelectWidget::creationDate(createTime),
             QDateTime::fromSecsSinceEpoch(seconds).toString("yyyy-MM-dd"));
}

QTEST_MAIN(tst_PopSelectWidget)
#include "tst_popselectwidget.moc"
