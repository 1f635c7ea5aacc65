#include "imageresources.h"
#include "productshowwidget.h"
#include "testfiles.h"
#include "widgetprobe.h"

#include <QBuffer>
#include <QCheckBox>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {
PRODUCTSHOWINFO_S product(const QString &name, const QString &pid,
                          RELEASETYPE_E type = RELEASE_TYPE_RELEASED) {
    PRODUCTSHOWINFO_S info;
    info.m_szProductName = name;
    info.m_szPID = pid;
    info.m_szModel = QStringLiteral("CM-P2");
    info.m_szVersion = QStringLiteral("1.0.3");
    info.m_szCreatTime = QStringLiteral("2024-01-01");
    info.m_eReleaseType = type;
    return info;
}

QImage shownPicture(const productShowWidget &card) {
    return child<QLabel>(card, "labPicture")
        ->pixmap(Qt::ReturnByValue)
        .toImage()
        .convertToFormat(QImage::Format_ARGB32);
}

QImage scaledFile(const QString &path) {
    return QImage(path)
        .scaled(88, 88, Qt::IgnoreAspectRatio, Qt::FastTransformation)
        .convertToFormat(QImage::Format_ARGB32);
}
} // namespace

class TestProductShowWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void drawing_data();
    void drawing();
    void ticking_data();
    void ticking();
    void picture_data();
    void picture();
};

void TestProductShowWidget::drawing_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("firstType");
    QTest::addColumn<int>("secondType");
    QTest::addColumn<QString>("badge");
    QTest::addColumn<QString>("badgeColour"); // a stop of the badge's gradient

    QTest::newRow("released") << "室内云台摄像机 P2"
                              << "室内云台摄像机 P2" << 0 << 0 << "已发布"
                              << "rgba(107,243,189,1)";
    QTest::newRow("pre-release") << "IPC-C1.B2"
                                 << "IPC-C1" << 1 << 1 << "预发布"
                                 << "rgba(120,161,255,1)";
    QTest::newRow("unknown type keeps the badge") << "A.B.C"
                                                  << "A" << 1 << 5 << "预发布"
                                                  << "rgba(36,98,235,1)";
    QTest::newRow("name starting with a dot") << ".hidden"
                                              << "" << 0 << 0 << "已发布"
                                              << "rgba(5,205,125,1)";
}

void TestProductShowWidget::drawing() {
    QFETCH(QString, name);
    QFETCH(QString, shown);
    QFETCH(int, firstType);
    QFETCH(int, secondType);
    QFETCH(QString, badge);
    QFETCH(QString, badgeColour);
    productShowWidget card;
    card.slotSetProductInfo(product(name, "D24010001", RELEASETYPE_E(firstType)));
    card.slotSetProductInfo(product(name, "D24010001", RELEASETYPE_E(secondType)));

    QCOMPARE(labelText(card, "labProNameInput"), shown);
    QCOMPARE(labelText(card, "labPidInput"), QString("D24010001"));
    QCOMPARE(labelText(card, "labModInput"), QString("CM-P2"));
    QCOMPARE(labelText(card, "labVerInput"), QString("1.0.3"));
    QCOMPARE(labelText(card, "labTimeInput"), QString("2024-01-01"));
    QCOMPARE(labelText(card, "labelRelease"), badge);
    QVERIFY(child<QLabel>(card, "labelRelease")->styleSheet().contains(badgeColour));
    QCOMPARE(labelText(card, "labPidHint"), QString("PID:"));
    QCOMPARE(labelText(card, "labTimeHint"), QString("创建时间:"));
}

void TestProductShowWidget::ticking_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("pid");
    QTest::addColumn<QStringList>("presses"); // "card", "box", "tick", "untick"
    QTest::addColumn<bool>("ticked");
    QTest::addColumn<int>("selectedSignals");
    QTest::addColumn<int>("clearedSignals");

    QTest::newRow("click card") << "P2"
                                << "D1" << QStringList{"card"} << true << 1 << 0;
    QTest::newRow("click box") << "P2"
                               << "D1" << QStringList{"box"} << true << 1 << 0;
    QTest::newRow("click twice") << "P2"
                                 << "D1" << QStringList{"card", "card"} << false << 1 << 1;
    QTest::newRow("click, untick, click") << "P2"
                                          << "D1" << QStringList{"card", "untick", "box"} << true << 2 << 1;
    QTest::newRow("tick from the dialog") << "P2"
                                          << "D1" << QStringList{"tick"} << true << 1 << 0;
    QTest::newRow("no id: refused") << "P2"
                                    << "" << QStringList{"card", "box", "tick"} << false << 0 << 0;
    QTest::newRow("no name: refused") << ""
                                      << "D1" << QStringList{"card", "box", "tick"} << false << 0 << 0;
}

void TestProductShowWidget::ticking() {
    QFETCH(QString, name);
    QFETCH(QString, pid);
    QFETCH(QStringList, presses);
    QFETCH(bool, ticked);
    QFETCH(int, selectedSignals);
    QFETCH(int, clearedSignals);
    productShowWidget card;
    card.resize(360, 156);
    card.show();
    QVERIFY(QTest::qWaitForWindowExposed(&card));
    const QString plainStyle = child(card, "widget")->styleSheet();
    card.slotSetProductInfo(product(name, pid));
    QSignalSpy selected(&card, &productShowWidget::signalProductSelected);
    QSignalSpy cleared(&card, &productShowWidget::signalProductClearSelected);

    for (const QString &press : presses) {
        if (press == "card")
            QTest::mouseClick(&card, Qt::LeftButton, {}, QPoint(40, 40));
        else if (press == "box")
            QTest::mouseClick(child<QCheckBox>(card, "checkBox"), Qt::LeftButton);
        else if (press == "tick")
            card.setCheckStatus();
        else
            card.setUnCheckStatus();
    }
    QCOMPARE(card.isChecked(), ticked);
    QCOMPARE(child<QCheckBox>(card, "checkBox")->isChecked(), ticked);
    QCOMPARE(selected.count(), selectedSignals);
    QCOMPARE(cleared.count(), clearedSignals);
    if (selectedSignals)
        QCOMPARE(selected.at(0).at(0).value<PRODUCTSHOWINFO_S>().m_szPID, pid);
    const QString style = child(card, "widget")->styleSheet();
    QCOMPARE(style.contains("border: 2px solid #447AF0;}"), ticked);
    if (!ticked)
        QCOMPARE(style, plainStyle);
}

void TestProductShowWidget::picture_data() {
    QTest::addColumn<QByteArray>("content"); // "" : no file at all
    QTest::addColumn<bool>("shownAsFile");

    QImage wide(200, 100, QImage::Format_RGB32);
    wide.fill(QColor("#447AF0"));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    wide.save(&buffer, "PNG");
    // A valid header claiming 20000 x 20000 pixels, with no data behind it.
    const QByteArray huge = QByteArray::fromHex("89504e470d0a1a0a0000000d49484452"
                                                "00004e2000004e200802000000");

    QTest::newRow("picture") << png << true;
    QTest::newRow("missing file") << QByteArray() << false;
    QTest::newRow("not a picture") << QByteArray("<html>404</html>") << false;
    QTest::newRow("cut-off picture") << png.left(60) << false;
    QTest::newRow("oversized picture") << huge << false;
}

void TestProductShowWidget::picture() {
    QFETCH(QByteArray, content);
    QFETCH(bool, shownAsFile);
    QTemporaryDir dir;
    const QString path = dir.filePath("D1.png");
    if (!content.isEmpty())
        QVERIFY(TestFiles::write(path, content));
    productShowWidget card;
    PRODUCTSHOWINFO_S info = product("P2", "D1");
    info.m_szPicPath = path;
    card.slotSetProductInfo(info);

    const QImage expected = scaledFile(shownAsFile ? path : productShowWidget::defaultPicture());
    QVERIFY(!expected.isNull());
    QCOMPARE(shownPicture(card), expected);
}

QTEST_MAIN(TestProductShowWidget)
#include "tst_productshowwidget.moc"
