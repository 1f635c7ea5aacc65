#include "imageresources.h"
#include "messagelabel.h"
#include "widgetprobe.h"

class TestMessageLabel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void colours_data();
    void colours();
};

void TestMessageLabel::colours_data() {
    QTest::addColumn<int>("colour");
    QTest::addColumn<bool>("byRecord");
    QTest::addColumn<bool>("known");
    QTest::addColumn<QString>("pointStyle"); // empty: left as built
    QTest::addColumn<QString>("titleStyle");

    const struct {
        const char *name;
        int value;
        const char *hex;
    } colours[] = {
        {"green", 0, "#5AD8A6"}, {"red", 1, "#FF0000"}, {"yellow", 2, "#FFBE2A"}, {"blue", 3, "#447AF0"}};
    for (bool byRecord : {false, true}) {
        const char *how = byRecord ? "record" : "values";
        for (const auto &c : colours)
            QTest::addRow("%s %s", c.name, how)
                << c.value << byRecord << true
                << QStringLiteral("background-color:%1;").arg(QLatin1String(c.hex))
                << QStringLiteral("color:%1;").arg(QLatin1String(c.hex));
        QTest::addRow("colour 7 %s", how) << 7 << byRecord << false << QString() << QString();
        QTest::addRow("colour -1 %s", how) << -1 << byRecord << false << QString() << QString();
    }
}

void TestMessageLabel::colours() {
    QFETCH(int, colour);
    QFETCH(bool, byRecord);
    QFETCH(bool, known);
    QFETCH(QString, pointStyle);
    QFETCH(QString, titleStyle);

    messageLabel entry;
    auto *point = child<QLabel>(entry, "labPoint");
    auto *title = child<QLabel>(entry, "labTitle");
    const QString pointBuilt = point->styleSheet();
    const QString titleBuilt = title->styleSheet();

    MESSAGEINFO_S info;
    info.m_szTitle = QStringLiteral("升级成功");
    info.m_szContent = QStringLiteral("常电成品测试已升级");
    info.m_szDatetime = QStringLiteral("2026-03-18 09:42:10");
    info.m_eTitleColor = TITLECOLOR_E(colour);
    const bool result = byRecord ? entry.setMessageInfo(info)
                                 : entry.setMessageInfo(info.m_szTitle, info.m_eTitleColor, info.m_szDatetime,
                                                        info.m_szContent);
    QCOMPARE(result, known);
    QCOMPARE(title->text(), info.m_szTitle);
    QCOMPARE(labelText(entry, "labDatetime"), info.m_szDatetime);
    QCOMPARE(labelText(entry, "labContent"), info.m_szContent);
    QCOMPARE(point->styleSheet(), known ? pointStyle : pointBuilt);
    QCOMPARE(title->styleSheet(), known ? titleStyle : titleBuilt);
    QCOMPARE(entry.setMessageTitle(QStringLiteral("t"), TITLECOLOR_E(colour)), known);
}

QTEST_MAIN(TestMessageLabel)
#include "tst_messagelabel.moc"
