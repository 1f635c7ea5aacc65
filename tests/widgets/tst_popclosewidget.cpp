#include "imageresources.h"
#include "popclosewidget.h"
#include "widgetprobe.h"

#include <QSignalSpy>

class TestPopCloseWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void form();
    void buttons_data();
    void buttons();
};

void TestPopCloseWidget::form() {
    popCloseWidget pop;
    QCOMPARE(pop.ui->labTitle->text(), QStringLiteral("确认关闭吗？"));
    QCOMPARE(pop.ui->labMessage->text(), QStringLiteral("关闭程序将会同步关闭所有子工具及升级程序"));
    QCOMPARE(pop.ui->checkBox->text(), QStringLiteral("不再提示"));
    QCOMPARE(pop.ui->btnCancel->text(), QStringLiteral("取消"));
    QCOMPARE(pop.ui->btnConfirm->text(), QStringLiteral("确认"));
    QCOMPARE(missingTraits(pop, "tool frameless translucent modal"), QString());
}

void TestPopCloseWidget::buttons_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<int>("checkClicks");
    QTest::addColumn<QList<bool>>("checkValues"); // what the main window's connection receives
    QTest::newRow("close button") << "btnClose" << true << 0 << QList<bool>();
    QTest::newRow("cancel") << "btnCancel" << true << 0 << QList<bool>();
    // Confirm is the main window's to wire; on its own it keeps the dialog up.
    QTest::newRow("confirm") << "btnConfirm" << false << 0 << QList<bool>();
    QTest::newRow("do not ask again, then cancel") << "btnCancel" << true << 1 << QList<bool>{true};
    QTest::newRow("ticked and unticked") << "btnClose" << true << 2 << QList<bool>{true, false};
}

void TestPopCloseWidget::buttons() {
    QFETCH(QString, button);
    QFETCH(bool, closes);
    QFETCH(int, checkClicks);
    QFETCH(QList<bool>, checkValues);

    popCloseWidget pop;
    QList<bool> received;
    connect(pop.ui->checkBox, &QCheckBox::clicked, this, [&](bool checked) { received << checked; });
    QSignalSpy confirmed(pop.ui->btnConfirm, &QPushButton::pressed);
    pop.resize(800, 560);
    pop.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pop));
    for (int i = 0; i < checkClicks; ++i)
        QTest::mouseClick(pop.ui->checkBox, Qt::LeftButton, {}, QPoint(8, pop.ui->checkBox->height() / 2));
    click(pop, qPrintable(button));

    QCOMPARE(received, checkValues);
    QCOMPARE(pop.isVisible(), !closes);
    QCOMPARE(confirmed.count(), button == QLatin1String("btnConfirm") ? 1 : 0);
}

QTEST_MAIN(TestPopCloseWidget)
#include "tst_popclosewidget.moc"
