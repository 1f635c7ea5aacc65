#include "imageresources.h"
#include "sidebarbutton.h"

#include <QSignalSpy>
#include <QtTest>

class TestSideBarButton : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void form();
    void presses_data();
    void presses();
};

void TestSideBarButton::form() {
    SideBarButton entry;
    QCOMPARE(entry.objectName(), QStringLiteral("SideBarButton"));
    QCOMPARE(entry.minimumSize(), QSize(44, 44));
    QCOMPARE(entry.maximumSize(), QSize(56, 58));
    QCOMPARE(entry.ui->widget->size(), QSize(44, 44));
    QCOMPARE(entry.ui->labelPic->geometry(), QRect(15, 7, 14, 12));
    QCOMPARE(entry.ui->labelText->geometry(), QRect(8, 21, 29, 18));
}

// Steps: 'm' mouse press, 'p' programmatic press (no event), 'r' reset.
void TestSideBarButton::presses_data() {
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<bool>("highlighted");

    QTest::newRow("idle") << QString() << 0 << false;
    QTest::newRow("mouse press") << QStringLiteral("m") << 1 << true;
    QTest::newRow("programmatic press") << QStringLiteral("p") << 1 << true;
    QTest::newRow("highlighted entry pressed again") << QStringLiteral("mm") << 1 << true;
    QTest::newRow("highlighted entry pressed programmatically") << QStringLiteral("mp") << 1 << true;
    QTest::newRow("reset") << QStringLiteral("mr") << 1 << false;
    QTest::newRow("reset, pressed again") << QStringLiteral("mrm") << 2 << true;
    QTest::newRow("reset of an idle entry") << QStringLiteral("rp") << 1 << true;
}

void TestSideBarButton::presses() {
    QFETCH(QString, steps);
    QFETCH(int, clicks);
    QFETCH(bool, highlighted);

    SideBarButton entry;
    const QString captionBase = entry.ui->labelText->styleSheet();
    entry.resize(44, 44);
    entry.show();
    QVERIFY(QTest::qWaitForWindowExposed(&entry));
    QSignalSpy clicked(&entry, &SideBarButton::signalClicked);
    for (const QChar step : steps) {
        if (step == QLatin1Char('m'))
            QTest::mouseClick(&entry, Qt::LeftButton, {}, QPoint(22, 22));
        else if (step == QLatin1Char('p'))
            entry.mousePressEvent(nullptr);
        else
            entry.slotChangeToClickable();
    }

    QCOMPARE(clicked.count(), clicks);
    if (highlighted) {
        QCOMPARE(entry.ui->widget->styleSheet(),
                 QStringLiteral("#widget{background-color:rgba(68,122,240,0.1);}"));
        QCOMPARE(entry.ui->labelText->styleSheet(), captionBase + QStringLiteral("color: #447AF0;"));
    } else if (steps.contains(QLatin1Char('r'))) {
        QCOMPARE(entry.ui->widget->styleSheet(),
                 QStringLiteral("#widget{background-color:rgb(255,255,255);}"));
        QCOMPARE(entry.ui->labelText->styleSheet(), captionBase + QStringLiteral("color: #666666;"));
    } else {
        QCOMPARE(entry.ui->labelText->styleSheet(), captionBase);
    }
}

QTEST_MAIN(TestSideBarButton)
#include "tst_sidebarbutton.moc"
