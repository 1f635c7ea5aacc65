#include "imageresources.h"
#include "poptextwidget.h"
#include "widgetprobe.h"

#include <QElapsedTimer>

class TestPopTextWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void form();
    void closesAfterItsTime_data();
    void closesAfterItsTime();
    void newMessageRestartsTime_data();
    void newMessageRestartsTime();
};

void TestPopTextWidget::form() {
    popTextWidget toast;
    QCOMPARE(toast.objectName(), QStringLiteral("popTextWidget"));
    QCOMPARE(toast.size(), QSize(600, 45));
    QCOMPARE(missingTraits(toast, "tool frameless translucent"), QString());
    toast.setLabelText(QStringLiteral("请选择客户后再开始产测"));
    QCOMPARE(labelText(toast, "labText"), QStringLiteral("请选择客户后再开始产测"));
}

void TestPopTextWidget::closesAfterItsTime_data() {
    QTest::addColumn<int>("showTime"); // 0: the default
    QTest::addColumn<int>("expected");
    QTest::newRow("default two seconds") << 0 << 2000;
    QTest::newRow("short") << 300 << 300;
}

void TestPopTextWidget::closesAfterItsTime() {
    QFETCH(int, showTime);
    QFETCH(int, expected);

    popTextWidget toast;
    if (showTime)
        toast.setShowTimes(showTime);
    toast.setLabelText(QStringLiteral("x"));
    QElapsedTimer clock;
    clock.start();
    toast.show();
    QVERIFY(toast.isVisible());
    // Only a limit for a toast that never closes; a loaded machine may close it late.
    QTRY_VERIFY_WITH_TIMEOUT(!toast.isVisible(), expected + 10000);
    // Timers may fire a little early, never much.
    QVERIFY2(clock.elapsed() >= expected * 9 / 10, qPrintable(QString::number(clock.elapsed())));
}

void TestPopTextWidget::newMessageRestartsTime_data() {
    QTest::addColumn<bool>("hideBetween"); // shown again after a hide, or updated while visible
    QTest::newRow("second show while visible") << false;
    QTest::newRow("second show after hiding") << true;
}

void TestPopTextWidget::newMessageRestartsTime() {
    QFETCH(bool, hideBetween);

    popTextWidget toast;
    toast.setShowTimes(250);
    toast.setLabelText(QStringLiteral("first"));
    toast.show();
    if (hideBetween)
        toast.hide();

    // The second message asks for longer; its time counts from its own show.
    QElapsedTimer clock;
    clock.start();
    toast.setShowTimes(900);
    toast.setLabelText(QStringLiteral("second"));
    toast.show();
    QTRY_VERIFY_WITH_TIMEOUT(!toast.isVisible(), 10000);
    QVERIFY2(clock.elapsed() >= 800, qPrintable(QString::number(clock.elapsed())));
}

QTEST_MAIN(TestPopTextWidget)
#include "tst_poptextwidget.moc"
