// Product and customer selection on the tool page: configuration lists, customer rules, the
// selectors' open lists as drawn, the catalogue's opening, the restore of the last choice, and
// the dealer list of the ownership service as the stand-in server receives its requests.
#include "applicationfolder.h"
#include "devserver.h"
#include "popselectwidget.h"
#include "poptextwidget.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"
#include "ui_tovarin.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QCryptographicHash>
#include <QDir>
#include <QImage>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

const QString kImei = "Tq7hXn2vLp9sRb4kWc6yJm1dFz8gNa3e";

QString md5(const QString &text) {
    return QCryptographicHash::hash(text.toLatin1(), QCryptographicHash::Md5).toHex();
}

} // namespace

class tst_TovarinProduct : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void confList_data();
    void confList();
    void confChoice_data();
    void confChoice();
    void customerChoice_data();
    void customerChoice();
    void selectorLists_data();
    void selectorLists();
    void catalogueOpening_data();
    void catalogueOpening();
    void restore_data();
    void restore();
    void ownershipRequests_data();
    void ownershipRequests();
    void firstShowRunsOnce();

private:
    QString file(const QString &name) const { return m_station->path() + "/" + name; }
    std::unique_ptr<Tovarin> window(const QByteArray &mainSet = QByteArray());
    static QString toast(Tovarin &w) { return toastText(w).remove("\r\n"); }

    std::unique_ptr<QTemporaryDir> m_station;
    QString m_previousCurrent;
};

void tst_TovarinProduct::init() {
    m_station.reset(new QTemporaryDir);
    QVERIFY(m_station->isValid());
    ApplicationFolder::setPathForTesting(m_station->path());
    m_previousCurrent = QDir::currentPath();
    QDir::setCurrent(m_station->path());
    writeFile(file("CONFIGSET.ini"), "[IPCProductCheck]\nID=101\nPath=./IPC/\nExe=IPC\n"
                                     "[BPC]\nID=102\nPath=./BPC/\nExe=BPC\n");
    const QByteArray dealer = "[IdBelongSet]\nDealerName=%1\nDealerCode=%2\n";
    writeFile(file("IPC/conf/b.ini"), "[PPCSet]\nCustomBrand=B\nCustomIDFlag=Orlem\n" +
                                          QString(dealer).arg("华东经销商", "1001").toUtf8());
    writeFile(file("IPC/conf/A.ini"), QString(dealer).arg("外部", "2999").toUtf8());
    writeFile(file("IPC/conf/c"), QString(dealer).arg("", "").toUtf8());
    writeFile(file("IPC/conf/zero.ini"), QString(dealer).arg("编号异常客户", "abc").toUtf8());
    writeFile(file("BPC/Configs/Gamma"), "");
    writeFile(file("BPC/Configs/alpha"), "");
    writeFile(file("BPC/Configs/beta.ini"), "");
    QVERIFY(QDir().mkpath(file("BPC/Configs/Delta")));
}

void tst_TovarinProduct::cleanup() {
    QDir::setCurrent(m_previousCurrent);
    ApplicationFolder::setPathForTesting(QString());
    m_station.reset();
}

// A window as after its first show, with five dealers (one without a valid id, two of one name).
std::unique_ptr<Tovarin> tst_TovarinProduct::window(const QByteArray &mainSet) {
    writeFile(file("MAINSET.ini"), mainSet);
    std::unique_ptr<Tovarin> w(new Tovarin);
    w->openMainConfig();
    w->m_vecDealerInfo = {{1001, "华东经销商"},
                          {1002, "NorthStar"},
                          {0, "编号异常客户"},
                          {1005, "华南经销商"},
                          {1006, "华南经销商"}};
    for (const DEALERINFO_S &d : qAsConst(w->m_vecDealerInfo))
        w->ui->combSelectCustmer->addItem(d.m_szDealerName);
    w->ui->combSelectCustmer->addItem(QString());
    return w;
}

void tst_TovarinProduct::confList_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QStringList>("entries");
    QTest::newRow("low-power: entries without extension") << 0 << QStringList{"alpha", "Delta", "Gamma"};
    QTest::newRow("mains: every entry") << 1 << QStringList{"A.ini", "b.ini", "c", "zero.ini"};
    QTest::newRow("placeholder") << 2 << QStringList();
}

void tst_TovarinProduct::confList() {
    QFETCH(int, type);
    QFETCH(QStringList, entries);
    auto w = window();
    QComboBox *combo = w->ui->combSelectFile;
    // The other type first: the completer is one for the window's life.
    w->ui->combSelectType->setCurrentIndex(type == 1 ? 0 : 1);
    QCompleter *completer = combo->completer();
    const int completers = w->findChildren<QCompleter *>().size();
    w->ui->combSelectType->setCurrentIndex(type);

    QStringList shown;
    for (int i = 0; i + 1 < combo->count(); ++i)
        shown << combo->itemText(i);
    QCOMPARE(shown, entries);
    QCOMPARE(combo->currentText(), QString("请选择产品"));
    auto *model = qobject_cast<QStandardItemModel *>(combo->model());
    QVERIFY(!(model->item(combo->count() - 1)->flags() & Qt::ItemIsEnabled));
    QCOMPARE(combo->completer(), completer);
    QCOMPARE(w->findChildren<QCompleter *>().size(), completers);
    // Contains matching over the listed entries.
    combo->completer()->setCompletionPrefix("l");
    QCOMPARE(combo->completer()->completionCount(), type == 0 ? 2 : 0);
    // One pick through the completer is one choice, however often the type was switched.
    if (!entries.isEmpty()) {
        QSignalSpy picked(combo, &QComboBox::textActivated);
        completer->setCompletionPrefix(entries.first());
        QVERIFY(
            QMetaObject::invokeMethod(completer, "activated", Q_ARG(QModelIndex, completer->currentIndex())));
        QCOMPARE(picked.count(), 1);
        QCOMPARE(picked.first().first().toString(), entries.first());
    }
}

void tst_TovarinProduct::confChoice_data() {
    QTest::addColumn<QStringList>("activated");
    QTest::addColumn<QByteArray>("mainSet");
    QTest::addColumn<int>("ownerId");
    QTest::addColumn<QString>("customerText");
    QTest::addColumn<bool>("customerEnabled");
    QTest::addColumn<QString>("message");

    const QByteArray owner1002 = "[Owner]\nID=1002\nName=NorthStar\n";
    QTest::newRow("dealer code of the account locks")
        << QStringList{"b.ini"} << QByteArray() << 1001 << "华东经销商" << false << QString();
    QTest::newRow("dealer code not in the list")
        << QStringList{"A.ini"} << owner1002 << -1 << "请重新选择配置文件" << false
        << "产品配置中,配置的经销商 外部 (代码:2999),不在当前账号的经销商列表中";
    QTest::newRow("code not a number never matches an id-less dealer")
        << QStringList{"zero.ini"} << QByteArray() << -1 << "请重新选择配置文件" << false
        << "产品配置中,配置的经销商 编号异常客户 (代码:abc),不在当前账号的经销商列表中";
    QTest::newRow("no code: stored owner suggested, unlocked")
        << QStringList{"c"} << owner1002 << 1002 << "NorthStar" << true << QString();
    QTest::newRow("no code: stale stored owner is silent")
        << QStringList{"c"} << QByteArray("[Owner]\nID=4711\nName=Gone\n") << -1 << "请选择客户" << true
        << QString();
    QTest::newRow("no code: stored id 0 is silent")
        << QStringList{"c"} << QByteArray("[Owner]\nID=0\nName=编号异常客户\n") << -1 << "请选择客户" << true
        << QString();
    QTest::newRow("suggestion only once")
        << QStringList{"c", "b.ini", "c"} << owner1002 << -1 << "请选择客户" << true << QString();
    QTest::newRow("prefix text selects nothing")
        << QStringList{"b"} << QByteArray() << -1 << "请选择客户" << true << QString();
    QTest::newRow("unlisted text clears the choice")
        << QStringList{"b.ini", "b.in"} << QByteArray() << -1 << "请选择客户" << true << QString();
}

void tst_TovarinProduct::confChoice() {
    QFETCH(QStringList, activated);
    QFETCH(QByteArray, mainSet);
    QFETCH(int, ownerId);
    QFETCH(QString, customerText);
    QFETCH(bool, customerEnabled);
    QFETCH(QString, message);

    auto w = window(mainSet);
    w->ui->combSelectType->setCurrentIndex(1);
    for (const QString &text : activated) {
        w->on_combSelectFile_highlighted(0);
        w->on_combSelectFile_textActivated(text);
    }
    const bool listed = w->m_listConfFiles.contains(activated.last());
    QCOMPARE(w->m_productInfo.m_szLocalPath.isEmpty(), !listed);
    QCOMPARE(w->ui->combSelectFile->currentText(), listed ? activated.last() : QString("请选择产品"));
    QCOMPARE(qMax(w->m_iOwnerId, -1), qMax(ownerId, -1));
    QCOMPARE(w->ui->combSelectCustmer->currentText(), customerText);
    QCOMPARE(w->ui->combSelectCustmer->isEnabled(), customerEnabled);
    QCOMPARE(w->m_szOwnerName.isEmpty(), ownerId < 1);
    QCOMPARE(toast(*w), message);
    // A stored owner never becomes the configuration's dealer code.
    if (activated.last() == "c")
        QVERIFY(w->m_szDealerCode.isEmpty());
}

void tst_TovarinProduct::customerChoice_data() {
    QTest::addColumn<int>("item");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("ownerId");
    QTest::addColumn<QString>("shown");

    QTest::newRow("by name") << 1 << "NorthStar" << 1002 << "NorthStar";
    QTest::newRow("second of two names is the one picked") << 4 << "华南经销商" << 1006 << "华南经销商";
    QTest::newRow("name only, first of two") << -1 << "华南经销商" << 1005 << "华南经销商";
    QTest::newRow("dealer without a valid id") << 2 << "编号异常客户" << -1 << "请选择客户";
    QTest::newRow("one character") << -1 << "华" << -1 << "请选择客户";
    QTest::newRow("unknown name") << -1 << "Nobody" << -1 << "请选择客户";
}

void tst_TovarinProduct::customerChoice() {
    QFETCH(int, item);
    QFETCH(QString, text);
    QFETCH(int, ownerId);
    QFETCH(QString, shown);

    auto w = window();
    // A customer chosen before: a prompt afterwards must not keep it.
    w->ui->combSelectCustmer->setCurrentIndex(0);
    w->on_combSelectCustmer_textActivated("华东经销商");
    QCOMPARE(w->m_iOwnerId, 1001);
    w->ui->combSelectCustmer->setCurrentIndex(item);
    w->on_combSelectCustmer_textActivated(text);
    QCOMPARE(w->m_iOwnerId, ownerId);
    QCOMPARE(w->ui->combSelectCustmer->currentText(), shown);
    QCOMPARE(w->m_szOwnerName, ownerId > 0 ? shown : QString());
}

void tst_TovarinProduct::selectorLists_data() {
    QTest::addColumn<QString>("combo");
    QTest::addColumn<int>("type"); // the test type chosen first, -1 for none
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("other");
    QTest::addColumn<int>("prompt"); // the grey, unselectable item, -1 for none

    QTest::newRow("product source") << "combSelectCon" << -1 << 1 << 0 << -1;
    QTest::newRow("test type") << "combSelectType" << -1 << 0 << 1 << 2;
    // Editable once a type is chosen.
    QTest::newRow("configuration file") << "combSelectFile" << 1 << 2 << 0 << 4;
    QTest::newRow("customer") << "combSelectCustmer" << -1 << 1 << 3 << -1;
}

// Drawn in the palette: a white list with a light border, the current item in the accent blue,
// items as high as the combo's text needs and the prompt in grey.
void tst_TovarinProduct::selectorLists() {
    QFETCH(QString, combo);
    QFETCH(int, type);
    QFETCH(int, current);
    QFETCH(int, other);
    QFETCH(int, prompt);

    auto w = window();
    if (type >= 0)
        w->ui->combSelectType->setCurrentIndex(type);
    auto *selector = w->findChild<QComboBox *>(combo);
    QVERIFY(selector);
    selector->setCurrentIndex(current);
    selector->showPopup();
    QAbstractItemView *view = selector->view();
    QTRY_VERIFY(view->isVisible());
    QWidget *list = view->window();
    const QImage shot = list->grab().toImage();
    // The right end of an item's row: clear of its text.
    auto rowEnd = [&](int row) {
        const QRect rect = view->visualRect(view->model()->index(row, 0));
        return view->viewport()->mapTo(list, QPoint(rect.right() - 3, rect.center().y()));
    };

    QCOMPARE(shot.pixelColor(rowEnd(current)), QColor(0x44, 0x7A, 0xF0));
    QCOMPARE(shot.pixelColor(rowEnd(other)), QColor(Qt::white));
    QCOMPARE(shot.pixelColor(0, shot.height() / 2), QColor(0xD8, 0xD8, 0xD8));
    QVERIFY(view->visualRect(view->model()->index(other, 0)).height() >= 28);
    QCOMPARE(view->font().family(), QString("SourceHanSansSC"));
    if (prompt >= 0) {
        // The prompt's text is the grey, not the black of the other items.
        const QRect rect = view->visualRect(view->model()->index(prompt, 0));
        const QImage item = shot.copy(QRect(view->viewport()->mapTo(list, rect.topLeft()), rect.size()));
        int darkest = 255;
        for (int y = 0; y < item.height(); ++y)
            for (int x = 0; x < item.width(); ++x)
                darkest = qMin(darkest, qGray(item.pixel(x, y)));
        QVERIFY2(darkest >= 0x99 - 8 && darkest < 0xF0, qPrintable(QString::number(darkest)));
    }
    selector->hidePopup();
}

void tst_TovarinProduct::catalogueOpening_data() {
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QSize>("size");
    QTest::newRow("1199 px") << QSize(1199, 900) << QSize(800, 720);
    QTest::newRow("1200 px") << QSize(1200, 900) << QSize(960, 840);
    QTest::newRow("too low for the large card") << QSize(1200, 800) << QSize(800, 720);
}

void tst_TovarinProduct::catalogueOpening() {
    QFETCH(QSize, window);
    QFETCH(QSize, size);
    auto w = this->window();
    w->setMinimumSize(0, 0);
    w->resize(window);
    w->ui->combSelectCon->setCurrentIndex(0);
    QVERIFY(!w->ui->btnSelectProduct->isHidden());
    PRODUCTSHOWINFO_S product;
    product.m_szPID = "D10000001";
    product.m_szProductName = "P1";
    w->slotProductChange(product);
    w->ui->combSelectCustmer->setCurrentIndex(3);
    w->on_combSelectCustmer_textActivated("华南经销商");

    w->on_btnSelectProduct_clicked();
    QCOMPARE(w->m_pPopSelectWidget->findChild<QWidget *>("widget")->size(), size);
    QVERIFY(w->m_pPopSelectWidget->isVisible());
    // Cancel hands back the same product: the customer stays.
    emit w->m_pPopSelectWidget->signalSelectedProduct(product);
    QCOMPARE(w->m_iOwnerId, 1005);
    QCOMPARE(w->ui->labPidInput->text(), QString("D10000001"));
    // Another product needs its customer chosen anew.
    product.m_szPID = "D10000002";
    emit w->m_pPopSelectWidget->signalSelectedProduct(product);
    QCOMPARE(w->m_iOwnerId, -1);
    QCOMPARE(w->ui->combSelectCustmer->currentText(), QString("请选择客户"));
    w->m_pPopSelectWidget->hide();
}

void tst_TovarinProduct::restore_data() {
    QTest::addColumn<QByteArray>("fastConf");
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("localName"); // empty: no local product
    QTest::addColumn<QString>("pid");
    QTest::addColumn<int>("ownerId");

    const QByteArray catalogue = "ConfOLType=0\nConfType=1\nlastConf=Cam\nlastOnlinePID=D10000009\n"
                                 "lastOnlineMod=M1\nlastCustomIDFlag=Orlem\n";
    QTest::newRow("no FAST_CONF") << QByteArray() << 1 << 0 << QString() << QString() << -1;
    QTest::newRow("mains file still listed")
        << QByteArray("ConfOLType=1\nConfType=1\nlastConf=b.ini\n") << 1 << 1 << "b.ini" << QString() << 1001;
    QTest::newRow("low-power file, customer suggested")
        << QByteArray("ConfOLType=1\nConfType=0\nlastConf=alpha\n") << 1 << 0 << "alpha" << QString() << 1005;
    QTest::newRow("file gone") << QByteArray("ConfOLType=1\nConfType=1\nlastConf=gone.ini\nlastOnlinePID=\n")
                               << 1 << 1 << QString() << QString() << -1;
    QTest::newRow("catalogue product shown with customer") << catalogue + "lastOnlinePicPath=@PIC@\n"
                                                           << 0 << 2 << QString() << "D10000009" << 1005;
    QTest::newRow("catalogue product, picture gone") << catalogue + "lastOnlinePicPath=/nonexistent/x.png\n"
                                                     << 0 << 2 << QString() << "D10000009" << 1005;
}

void tst_TovarinProduct::restore() {
    QFETCH(QByteArray, fastConf);
    QFETCH(int, source);
    QFETCH(int, type);
    QFETCH(QString, localName);
    QFETCH(QString, pid);
    QFETCH(int, ownerId);

    const QString picture = file("productPic/D10000009.png");
    QImage image(10, 10, QImage::Format_RGB32);
    image.fill(Qt::red);
    QVERIFY(QDir().mkpath(file("productPic")) && image.save(picture));
    fastConf.replace("@PIC@", QFile::encodeName(picture));
    auto w = window("[Owner]\nID=1005\nName=华南经销商\n" +
                    (fastConf.isEmpty() ? "" : "[FAST_CONF]\n" + fastConf));
    w->slotToCheckDealer();

    QCOMPARE(w->ui->combSelectCon->currentIndex(), source);
    if (source == 1)
        QCOMPARE(w->ui->combSelectType->currentIndex(), type);
    QCOMPARE(QFileInfo(w->m_productInfo.m_szLocalPath).fileName(), localName);
    QCOMPARE(w->m_productInfo.m_szPID, pid);
    QCOMPARE(w->ui->labPidInput->text(), pid);
    if (source == 1)
        QCOMPARE(w->ui->combSelectFile->currentText(),
                 localName.isEmpty() ? QString("请选择产品") : localName);
    QCOMPARE(qMax(w->m_iOwnerId, -1), ownerId);
    if (!pid.isEmpty()) {
        QCOMPARE(w->ui->labModInput->text(), QString("M1"));
        const bool pictureKept = fastConf.contains(QFile::encodeName(picture));
        QCOMPARE(w->m_productInfo.m_szPicPath,
                 pictureKept ? picture : QString(":/product/resource/image/cameraModel.png"));
        QCOMPARE(w->ui->labPicture->pixmap(Qt::ReturnByValue).toImage().pixelColor(48, 48) == QColor(Qt::red),
                 pictureKept);
    }
}

void tst_TovarinProduct::ownershipRequests_data() {
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("base"); // http, https, HTTPS (upper case), closed[/path/]
    QTest::addColumn<QString>("path");
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("listRequests");

    const QString list = "CollectDeviceOwnership/getDeviceOwnerList";
    const QString login = "CollectDeviceOwnership/toolLogin";
    QTest::newRow("dealers") << "operator"
                             << "http" << QString() << QJsonObject() << "ok" << 1;
    QTest::newRow("https in the address") << "operator"
                                          << "https" << QString() << QJsonObject() << "ok" << 1;
    QTest::newRow("HTTPS is not https: certificate refused")
        << "operator"
        << "HTTPS" << QString() << QJsonObject() << "获取后台Token失败" << 0;
    QTest::newRow("https inside the address, unreachable")
        << "operator"
        << "closed/https/" << QString() << QJsonObject() << "获取后台Token失败" << 0;
    QTest::newRow("server unreachable") << "operator"
                                        << "closed" << QString() << QJsonObject() << "获取后台Token失败" << 0;
    QTest::newRow("wrong password") << "stranger"
                                    << "http" << QString() << QJsonObject() << "获取后台Token失败" << 0;
    QTest::newRow("login without data")
        << "operator"
        << "http" << login << QJsonObject{{"data", QJsonObject()}} << "获取后台Token失败" << 0;
    QTest::newRow("list refused") << "operator"
                                  << "http" << list
                                  << QJsonObject{{"json", QJsonObject{{"ack", "500"}, {"msg", "账号已冻结"}}}}
                                  << "账号已冻结" << 1;
    QTest::newRow("empty list") << "nodealer"
                                << "http" << QString() << QJsonObject() << "所属经销商列表为空" << 1;
}

void tst_TovarinProduct::ownershipRequests() {
    QFETCH(QString, account);
    QFETCH(QString, base);
    QFETCH(QString, path);
    QFETCH(QJsonObject, behaviour);
    QFETCH(QString, result);
    QFETCH(int, listRequests);

    DevServer server;
    QVERIFY2(server.start(), qPrintable(server.lastError()));
    if (!path.isEmpty())
        QVERIFY(server.setBehaviour(path, behaviour));
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const QString closedBase = QString("http://127.0.0.1:%1/").arg(closed.serverPort());
    closed.close();
    const QString address = base == "http"    ? server.httpBase()
                            : base == "https" ? server.httpsBase()
                            : base == "HTTPS" ? server.httpsBase().replace("https", "HTTPS")
                                              : closedBase + base.mid(7);
    QVERIFY(DevServer::writeServerConfig(m_station->path(), server.httpBase(), address));

    auto w = window();
    w->m_vecDealerInfo.clear();
    w->m_szAccount = account;
    w->m_szPassword = DevServer::demoPassword();
    QCOMPARE(w->getDeviceOwnerList(), result);
    // Only the HTTPS variant writes its failures to the day's log.
    QCOMPARE(!QDir(file("log")).entryList(QDir::Files).isEmpty(), base.endsWith("https/"));

    const QJsonArray lists = server.requests("CollectDeviceOwnership/getDeviceOwnerList");
    QCOMPARE(lists.size(), listRequests);
    QVector<int> ids;
    for (const DEALERINFO_S &d : qAsConst(w->m_vecDealerInfo))
        ids << d.m_iDealerId;
    // The string id "1004" reads as 0.
    QCOMPARE(ids, result == "ok" ? QVector<int>({1001, 1002, 1003, 0, 1005, 1006}) : QVector<int>());
    if (result != "ok")
        return;

    const QString key = "r4wq%k#2SIGNKEY58";
    const QJsonObject got = server.requests("CollectDeviceOwnership/toolLogin").at(0).toObject();
    QCOMPARE(got.value("scheme").toString(), base);
    QCOMPARE(DevServer::fieldNames(got), QStringList({"account", "password", "sign", "toolImei"}));
    const QString hash = md5(DevServer::demoPassword());
    QCOMPARE(DevServer::fieldValue(got, "password"), hash);
    QCOMPARE(DevServer::fieldValue(got, "toolImei"), kImei);
    QCOMPARE(DevServer::fieldValue(got, "sign"),
             md5("account" + account + "password" + hash + "toolImei" + kImei + key));
    const QJsonObject listed = lists.at(0).toObject();
    QCOMPARE(DevServer::fieldNames(listed), QStringList({"loginToken", "sign", "toolImei"}));
    const QString token = DevServer::fieldValue(listed, "loginToken");
    QVERIFY(!token.isEmpty());
    QCOMPARE(DevServer::fieldValue(listed, "sign"), md5("loginToken" + token + "toolImei" + kImei + key));
    QVERIFY(got.value("signOk").toBool() && listed.value("signOk").toBool());
}

// A restore (after a minimise) while the first show waits for the dealer list shows the window
// again: the first show's work must not run a second time inside that wait.
void tst_TovarinProduct::firstShowRunsOnce() {
    DevServer server;
    QVERIFY2(server.start(), qPrintable(server.lastError()));
    QVERIFY(server.setBehaviour("CollectDeviceOwnership/getDeviceOwnerList", QJsonObject{{"delayMs", 1500}}));
    QVERIFY(DevServer::writeServerConfig(m_station->path(), server.httpBase(), server.httpBase()));
    Tovarin w;
    w.m_szAccount = "operator";
    w.m_szPassword = DevServer::demoPassword();
    QSignalSpy finished(&w, SIGNAL(signalShowEventFinished()));
    bool restored = false;
    QTimer::singleShot(500, &w, [&] {
        // What a restore after Win+D delivers: another show event.
        w.hide();
        w.show();
        restored = true;
    });
    w.show(); // returns once the first show's work is done
    QVERIFY(restored);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(w.m_vecDealerInfo.size(), 6);
    QCOMPARE(w.ui->combSelectCustmer->count(), 7); // the dealers and the empty entry
    QCOMPARE(server.requests("CollectDeviceOwnership/getDeviceOwnerList").size(), 1);
}

QTEST_MAIN(tst_TovarinProduct)
#include "tst_tovarinproduct.moc"
