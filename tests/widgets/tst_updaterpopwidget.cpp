// The updater's own copy of the upgrade pop-up, built from its own library.
#include "imageresources.h"
#include "popwidget.h"
#include "widgetprobe.h"

#include <QLabel>
#include <QProgressBar>

class TestUpdaterPopWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void windowSetup();
    void messageText_data();
    void messageText();
    void updaterStates_data();
    void updaterStates();
    void updaterCancelCloses();
    void progressAndStatus_data();
    void progressAndStatus();
};

void TestUpdaterPopWidget::windowSetup() {
    popWidget pop;
    QCOMPARE(missingTraits(pop, "tool frameless translucent modal"), QString());
    QCOMPARE(child(pop, "widgetMain")->minimumSize(), QSize(480, 280));
    QCOMPARE(child<QRadioButton>(pop, "radioButton")->text(), QStringLiteral("3天内不再提醒"));
    // The reduced copy declares no signals of its own.
    const QMetaObject *meta = pop.metaObject();
    QCOMPARE(meta->className(), "popWidget");
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        QVERIFY2(meta->method(i).methodType() != QMetaMethod::Signal, meta->method(i).methodSignature());
}

void TestUpdaterPopWidget::messageText_data() {
    popMessageTextRows();
    // The updater splits the hand-off notes at line feeds and keeps empty lines.
    QTest::newRow("empty note kept") << "2.0" << QStringList{"a", "", "c"} << ""
                                     << "v2.0\n\n版本说明:\n\n·a\n\n·\n\n·c";
}

void TestUpdaterPopWidget::messageText() {
    comparePopMessageText<popWidget>(POP_TYPE_INSTALLING);
}

void TestUpdaterPopWidget::updaterStates_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("question");
    QTest::addColumn<QString>("text");
    const QString before = QStringLiteral("v1.0\n\n版本说明:\n\nold");
    const QString after = QStringLiteral("v2.0\n\n版本说明:\n\nnew");
    QTest::newRow("upgrade") << 0 << QStringLiteral("新版本升级") << true << after;
    QTest::newRow("installing") << 1 << QStringLiteral("安装中...") << false << after;
    QTest::newRow("downloading is not its state") << 2 << QStringLiteral("安装中...") << false << before;
    QTest::newRow("out of range") << 9 << QStringLiteral("安装中...") << false << before;
}

void TestUpdaterPopWidget::updaterStates() {
    QFETCH(int, type);
    QFETCH(QString, title);
    QFETCH(bool, question);
    QFETCH(QString, text);

    popWidget updater;
    updater.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("old"), POP_TYPE_INSTALLING);
    updater.slotSetPopUI(QStringLiteral("2.0"), QStringLiteral("new"), popType(type));
    QCOMPARE(shownTitle(updater), title);
    QCOMPARE(questionParts(updater), question ? 3 : 0);
    QCOMPARE(shownText(updater), text);
}

void TestUpdaterPopWidget::updaterCancelCloses() {
    popWidget updater;
    updater.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("notes"), POP_TYPE_UPGRADE);
    updater.resize(800, 560);
    updater.show();
    QVERIFY(QTest::qWaitForWindowExposed(&updater));
    click(updater, "btnCancel");
    QVERIFY(!updater.isVisible());

    // Its confirm button is not wired: pressing it changes nothing.
    updater.show();
    QVERIFY(QTest::qWaitForWindowExposed(&updater));
    click(updater, "btnConfirm");
    QVERIFY(updater.isVisible());
    QCOMPARE(shownTitle(updater), QStringLiteral("新版本升级"));
}

void TestUpdaterPopWidget::progressAndStatus_data() {
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("thenType");
    QTest::addColumn<int>("barValue"); // -1: bar hidden
    QTest::addColumn<bool>("statusShown");
    QTest::newRow("progress while installing") << 40 << "" << 1 << 40 << false;
    QTest::newRow("beyond the end") << 250 << "" << 1 << 100 << false;
    QTest::newRow("a failure's reason") << 100 << "主程序升级失败" << 1 << 100 << true;
    QTest::newRow("a reason naming files with markup")
        << 100 << "主程序升级失败:<b>x</b><img src=\"pic\">" << 1 << 100 << true;
    QTest::newRow("back to the question: neither") << 70 << "主程序升级失败" << 0 << -1 << false;
}

void TestUpdaterPopWidget::progressAndStatus() {
    QFETCH(int, percent);
    QFETCH(QString, status);
    QFETCH(int, thenType);
    QFETCH(int, barValue);
    QFETCH(bool, statusShown);
    popWidget updater;
    updater.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("notes"), POP_TYPE_INSTALLING);
    updater.resize(400, 280);
    updater.show();
    QVERIFY(QTest::qWaitForWindowExposed(&updater));
    const QProgressBar *bar = child<QProgressBar>(updater, "progressInstall");
    QVERIFY(!bar->isVisible()); // until the first progress
    updater.slotSetProgress(percent);
    updater.slotSetStatus(status);
    updater.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("notes"), popType(thenType));
    QCOMPARE(bar->isVisible(), barValue >= 0);
    if (barValue >= 0)
        QCOMPARE(bar->value(), barValue);
    const QLabel *label = child<QLabel>(updater, "labStatus");
    QCOMPARE(label->isVisible(), statusShown);
    QCOMPARE(label->text(), status);
    QCOMPARE(label->textFormat(), Qt::PlainText);
}

QTEST_MAIN(TestUpdaterPopWidget)
#include "tst_updaterpopwidget.moc"
