// An operator's product choice from end to end: dealers from the ownership service, a
// catalogue product and a customer, both product tools started, the choice back after a new
// start of the window, then a local configuration whose dealer locks the customer.
#include "applicationfolder.h"
#include "devserver.h"
#include "platform.h"
#include "popselectwidget.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"
#include "ui_tovarin.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

class tst_ProductFlow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void chooseStartRestore();

private:
    QString file(const QString &name) const { return m_station->path() + "/" + name; }
    QString exeOf(const QString &key) const {
        return QStringLiteral("pf%1%2").arg(QCoreApplication::applicationPid()).arg(key);
    }
    std::unique_ptr<Tovarin> openWindow();
    void press(Tovarin &w, const QString &key);
    QString stored(const QString &key) const {
        QSettings settings(file("MAINSET.ini"), QSettings::IniFormat);
        settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
        return settings.value(key).toString();
    }

    std::unique_ptr<QTemporaryDir> m_station;
    DevServer m_server;
    QString m_previousCurrent;
};

void tst_ProductFlow::init() {
    m_station.reset(new QTemporaryDir);
    QVERIFY(m_station->isValid());
    ApplicationFolder::setPathForTesting(m_station->path());
    m_previousCurrent = QDir::currentPath();
    QDir::setCurrent(m_station->path());
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));

    // Only the ownership service answers: no update check touches the tools.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const QString closedBase = QString("http://127.0.0.1:%1/").arg(closed.serverPort());
    closed.close();
    QVERIFY(DevServer::writeServerConfig(m_station->path(), closedBase, m_server.httpBase(), closedBase));

    QByteArray config = "[MainConfig]\nbEmpWorkCheck=false\n";
    int id = 101;
    for (const QString &key : QStringList{"IPCProductCheck", "BPC"}) {
        config += QString("[%1]\nID=%2\nPath=./%1/\nExe=%3\n").arg(key).arg(id++).arg(exeOf(key)).toUtf8();
        const QString program = file(key + "/" + exeOf(key));
        QVERIFY(QDir().mkpath(QFileInfo(program).path()));
        QVERIFY(QFile::copy(SLEEPER_PROGRAM, program));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner));
    }
    writeFile(file("CONFIGSET.ini"), config);
    writeFile(file("IPCProductCheck/conf/Bullet.ini"),
              "[PPCSet]\nCustomBrand=NV\nCustomIDFlag=OrlemBrand\n[IdBelongSet]\nDealerName=华东经销商\n"
              "DealerCode=1001\n");
    writeFile(file("MAINSET.ini"), "[UserInfo]\nUserPosition=P1\nUserLinePosition=L1\nUserWorkPosition=W1\n"
                                   "[SelectedTools]\ntool1=101\ntool2=102\n");
}

void tst_ProductFlow::cleanup() {
    for (const QString &key : QStringList{"IPCProductCheck", "BPC"})
        Platform::forceEndImage(exeOf(key));
    m_server.stop();
    QDir::setCurrent(m_previousCurrent);
    ApplicationFolder::setPathForTesting(QString());
    m_station.reset();
}

std::unique_ptr<Tovarin> tst_ProductFlow::openWindow() {
    std::unique_ptr<Tovarin> w(new Tovarin);
    w->m_szAccount = DevServer::demoAccount();
    w->m_szPassword = DevServer::demoPassword();
    w->show();
    if (!QTest::qWaitForWindowExposed(w.get()))
        return nullptr;
    // The restore runs once, a second after the tool page opened.
    if (!QTest::qWaitFor([&] { return w->ui->widgetMain->currentWidget() == w->ui->qwidgetTool; }) ||
        !QTest::qWaitFor([&] { return w->m_bOwnerLoaded || w->ui->combSelectType->currentIndex() == 0; },
                         10000))
        return nullptr;
    return w;
}

void tst_ProductFlow::press(Tovarin &w, const QString &key) {
    for (toolButton *tile : qAsConst(w.m_vecToolButtons)) {
        if (tile->m_btnInfo.m_szToolKey == key)
            QTest::mouseClick(tile->findChild<QPushButton *>("btnMain"), Qt::LeftButton);
    }
}

void tst_ProductFlow::chooseStartRestore() {
    auto w = openWindow();
    QVERIFY(w);
    QComboBox *customer = w->ui->combSelectCustmer;
    QCOMPARE(customer->count(), 7); // six dealers and the prompt item

    // A catalogue product, as the catalogue hands it over, and the second of two same-named dealers.
    w->ui->combSelectCon->setCurrentIndex(0);
    QTest::mouseClick(w->ui->btnSelectProduct, Qt::LeftButton);
    QTRY_VERIFY(w->m_pPopSelectWidget->isVisible());
    const QString picture = file("productPic/D10000001.png");
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QVERIFY(QDir().mkpath(file("productPic")) && image.save(picture));
    PRODUCTSHOWINFO_S product;
    product.m_szProductName = "Cam One";
    product.m_szPID = "D10000001";
    product.m_szModel = "M7";
    product.m_szPicPath = picture;
    product.m_szCustomIDFlag = "Orlem";
    emit w->m_pPopSelectWidget->signalSelectedProduct(product);
    w->m_pPopSelectWidget->hide();
    customer->setCurrentIndex(5);
    emit customer->textActivated(customer->itemText(5));
    QCOMPARE(w->m_iOwnerId, 1006);

    press(*w, "IPCProductCheck");
    press(*w, "BPC");
    QTRY_VERIFY(Platform::listRunningImages().contains(exeOf("IPCProductCheck")));
    QTRY_VERIFY(Platform::listRunningImages().contains(exeOf("BPC")));
    QCOMPARE(stored("FAST_CONF/ConfOLType"), QString("0"));
    QCOMPARE(stored("Owner/ID"), QString("1006"));

    // A new start shows the product, its picture and its customer again.
    w.reset();
    w = openWindow();
    QVERIFY(w);
    QTRY_COMPARE(w->ui->labPidInput->text(), QString("D10000001"));
    QCOMPARE(w->ui->combSelectCon->currentIndex(), 0);
    QCOMPARE(w->ui->labProNameInput->text(), QString("Cam One"));
    QCOMPARE(w->ui->labPicture->pixmap(Qt::ReturnByValue).toImage().pixelColor(48, 48), QColor(Qt::blue));
    QCOMPARE(w->m_iOwnerId, 1006);
    customer = w->ui->combSelectCustmer;
    QCOMPARE(customer->currentIndex(), 5);
    QVERIFY(customer->isEnabled());

    // A local configuration whose dealer locks the customer.
    Platform::forceEndImage(exeOf("IPCProductCheck"));
    QTRY_VERIFY(!Platform::listRunningImages().contains(exeOf("IPCProductCheck")));
    w->ui->combSelectCon->setCurrentIndex(1);
    w->ui->combSelectType->setCurrentIndex(1);
    emit w->ui->combSelectFile->textActivated("Bullet.ini");
    QCOMPARE(customer->currentText(), QString("华东经销商"));
    QVERIFY(!customer->isEnabled());
    QCOMPARE(w->ui->labPidInput->text(), QString());
    press(*w, "IPCProductCheck");
    QTRY_VERIFY(Platform::listRunningImages().contains(exeOf("IPCProductCheck")));
    QCOMPARE(stored("FAST_CONF/ConfOLType"), QString("1"));
    QCOMPARE(stored("FAST_CONF/lastConf"), QString("Bullet.ini"));
    QCOMPARE(stored("Owner/ID"), QString("1001"));
}

QTEST_MAIN(tst_ProductFlow)
#include "tst_productflow.moc"
