// The updater's own copy of the upgrade pop-up, built from its own library.
#include "imageresources.h"
#include "popwidget.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTextEdit>
#include <QtTest>

namespace {
QString shownText(popWidget &pop) {
    return pop.findChild<QTextEdit *>(QStringLiteral("txtboxMessage"))->toPlainText();
}
QString shownTitle(popWidget &pop) {
    return pop.findChild<QLabel *>(QStringLiteral("labTitle"))->text();
}
// How many of the question's controls (radio button, confirm, cancel) are shown: 3 or 0.
int questionParts(popWidget &pop) {
    int shown = 0;
    shown += pop.findChild<QRadioButton *>(QStringLiteral("radioButton"))->isVisibleTo(&pop);
    shown += pop.findChild<QPushButton *>(QStringLiteral("btnConfirm"))->isVisibleTo(&pop);
    shown += pop.findChild<QPushButton *>(QStringLiteral("btnCancel"))->isVisibleTo(&pop);
    return shown;
}
} // namespace

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
};

void TestUpdaterPopWidget::windowSetup() {
    popWidget pop;
    QCOMPARE(pop.windowFlags() & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(pop.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(pop.testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(pop.windowModality(), Qt::ApplicationModal);
    QCOMPARE(pop.findChild<QWidget *>(QStringLiteral("widgetMain"))->minimumSize(), QSize(480, 280));
    QCOMPARE(pop.findChild<QRadioButton *>(QStringLiteral("radioButton"))->text(),
             QStringLiteral("3天内不再提醒"));
    // The reduced copy declares no signals of its own.
    const QMetaObject *meta = pop.metaObject();
    QCOMPARE(meta->className(), "popWidget");
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        QVERIFY2(meta->method(i).methodType() != QMetaMethod::Signal, meta->method(i).methodSignature());
}

void TestUpdaterPopWidget::messageText_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("items"); // used when not empty
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("screen");
    QTest::newRow("text") << QStringLiteral("1.1.2.0") << QStringList() << QStringLiteral("修复崩溃")
                          << QStringLiteral("v1.1.2.0\n\n版本说明:\n\n修复崩溃");
    QTest::newRow("empty version") << QString() << QStringList() << QStringLiteral("x")
                                   << QStringLiteral("v\n\n版本说明:\n\nx");
    QTest::newRow("one note") << QStringLiteral("2.0") << QStringList{QStringLiteral("新增全部更新")}
                              << QString() << QStringLiteral("v2.0\n\n版本说明:\n\n·新增全部更新");
    // The updater splits the hand-off notes at line feeds and keeps empty lines.
    QTest::newRow("empty note kept") << QStringLiteral("2.0")
                                     << QStringList{QStringLiteral("a"), QString(), QStringLiteral("c")}
                                     << QString() << QStringLiteral("v2.0\n\n版本说明:\n\n·a\n\n·\n\n·c");
}

void TestUpdaterPopWidget::messageText() {
    QFETCH(QString, version);
    QFETCH(QStringList, items);
    QFETCH(QString, message);
    QFETCH(QString, screen);

    popWidget pop;
    if (items.isEmpty())
        pop.slotSetPopUI(version, message, POP_TYPE_INSTALLING);
    else
        pop.slotSetPopUI(version, items, POP_TYPE_INSTALLING);
    QCOMPARE(shownText(pop), screen);
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
    QTest::mouseClick(updater.findChild<QPushButton *>(QStringLiteral("btnCancel")), Qt::LeftButton);
    QVERIFY(!updater.isVisible());

    // Its confirm button is not wired: pressing it changes nothing.
    updater.show();
    QVERIFY(QTest::qWaitForWindowExposed(&updater));
    QTest::mouseClick(updater.findChild<QPushButton *>(QStringLiteral("btnConfirm")), Qt::LeftButton);
    QVERIFY(updater.isVisible());
    QCOMPARE(shownTitle(updater), QStringLiteral("新版本升级"));
}

QTEST_MAIN(TestUpdaterPopWidget)
#include "tst_updaterpopwidget.moc"
