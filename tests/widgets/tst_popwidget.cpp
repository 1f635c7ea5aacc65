#include "imageresources.h"
#include "popwidget.h"
#include "widgetprobe.h"

#include <QProgressBar>
#include <QSignalSpy>
#include <QTranslator>

namespace {
// Marks every text with the context it was looked up in.
class ContextTranslator : public QTranslator {
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *, int) const override {
        return QStringLiteral("[%1] %2").arg(QLatin1String(context), QString::fromUtf8(sourceText));
    }
};
} // namespace

class TestPopWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void joinMessages_data();
    void joinMessages();
    void messageText_data();
    void messageText();
    void states_data();
    void states();
    void translatedTitles_data();
    void translatedTitles();
    void unknownTypeKeepsDisplay();
    void answer_data();
    void answer();
    void closeSignal();
    void downloadProgress_data();
    void downloadProgress();
    void windowSetup();
};

void TestPopWidget::joinMessages_data() {
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("joined");
    QTest::newRow("none") << QStringList() << QString();
    QTest::newRow("one") << QStringList{QStringLiteral("修复崩溃")} << QStringLiteral("·修复崩溃");
    QTest::newRow("three") << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}
                           << QStringLiteral("·a\r\n\n·b\r\n\n·c");
    QTest::newRow("empty item kept") << QStringList{QString(), QStringLiteral("b")}
                                     << QStringLiteral("·\r\n\n·b");
}

void TestPopWidget::joinMessages() {
    QFETCH(QStringList, items);
    QFETCH(QString, joined);
    QCOMPARE(popWidgetBase::joinMessages(items), joined);
    QCOMPARE(popWidgetBase::joinMessages(items).count(QStringLiteral("\r\n\n")), qMax(0, items.size() - 1));
}

void TestPopWidget::messageText_data() {
    popMessageTextRows();
    QTest::newRow("three notes") << "2.0" << QStringList{"a", "b", "c"} << ""
                                 << "v2.0\n\n版本说明:\n\n·a\n\n·b\n\n·c";
}

void TestPopWidget::messageText() {
    comparePopMessageText<popWidget>(POP_TYPE_UPGRADE);
}

void TestPopWidget::states_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("question");
    QTest::newRow("upgrade") << 0 << QStringLiteral("新版本升级") << true;
    QTest::newRow("installing") << 1 << QStringLiteral("安装中...") << false;
    QTest::newRow("downloading") << 2 << QStringLiteral("下载中...") << false;
}

void TestPopWidget::states() {
    QFETCH(int, type);
    QFETCH(QString, title);
    QFETCH(bool, question);

    popWidget pop;
    // From the opposite state, so every element has to change.
    pop.slotSetPopUI(QStringLiteral("0.9"), QStringLiteral("old"),
                     question ? POP_TYPE_INSTALLING : POP_TYPE_UPGRADE);
    pop.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("notes"), popType(type));
    QCOMPARE(shownTitle(pop), title);
    QCOMPARE(questionParts(pop), question ? 3 : 0);
    const QPixmap pic = child<QLabel>(pop, "labPic")->pixmap(Qt::ReturnByValue);
    QVERIFY(!pic.isNull());
    QCOMPARE(pic.size(), QSize(40, 40));
    QCOMPARE(shownText(pop), QStringLiteral("v1.0\n\n版本说明:\n\nnotes"));
}

void TestPopWidget::translatedTitles_data() {
    states_data();
}

// The titles are translatable; a catalogue finds them under the pop-up's own class name.
void TestPopWidget::translatedTitles() {
    QFETCH(int, type);
    QFETCH(QString, title);

    ContextTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    popWidget pop;
    pop.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("notes"), popType(type));
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(shownTitle(pop), "[popWidget] " + title);
}

void TestPopWidget::unknownTypeKeepsDisplay() {
    popWidget pop;
    pop.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("first"), POP_TYPE_UPGRADE);
    pop.slotSetPopUI(QStringLiteral("2.0"), QStringList{QStringLiteral("second")}, popType(5));
    QCOMPARE(shownTitle(pop), QStringLiteral("新版本升级"));
    QCOMPARE(shownText(pop), QStringLiteral("v1.0\n\n版本说明:\n\nfirst"));
    QCOMPARE(questionParts(pop), 3);

    // The texts were kept: the progress notice after confirm shows them.
    click(pop, "btnConfirm");
    QCOMPARE(shownTitle(pop), QStringLiteral("下载中..."));
    QCOMPARE(shownText(pop), QStringLiteral("v2.0\n\n版本说明:\n\n·second"));
}

void TestPopWidget::answer_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("remember");
    QTest::addColumn<QStringList>("signalOrder");
    QTest::addColumn<bool>("visibleAfter");

    QTest::newRow("confirm") << "btnConfirm" << false << QStringList{"yes"} << true;
    QTest::newRow("confirm, postpone checked")
        << "btnConfirm" << true << QStringList{"record", "yes"} << true;
    QTest::newRow("cancel") << "btnCancel" << false << QStringList{"no"} << false;
    QTest::newRow("cancel, postpone checked") << "btnCancel" << true << QStringList{"record", "no"} << false;
}

void TestPopWidget::answer() {
    QFETCH(QString, button);
    QFETCH(bool, remember);
    QFETCH(QStringList, signalOrder);
    QFETCH(bool, visibleAfter);

    popWidget pop;
    QStringList order;
    connect(&pop, &popWidget::signalRecordCurrentTime, this, [&] { order << QStringLiteral("record"); });
    connect(&pop, &popWidget::signalContinueUpgrade, this,
            [&](bool yes) { order << (yes ? QStringLiteral("yes") : QStringLiteral("no")); });
    pop.slotSetPopUI(QStringLiteral("1.1.2.0"), QStringList{QStringLiteral("a"), QStringLiteral("b")},
                     POP_TYPE_UPGRADE);
    pop.resize(800, 560);
    pop.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pop));
    if (remember)
        click(pop, "radioButton");
    QCOMPARE(child<QRadioButton>(pop, "radioButton")->isChecked(), remember);

    click(pop, qPrintable(button));
    QCOMPARE(order, signalOrder);
    QCOMPARE(pop.isVisible(), visibleAfter);
    if (visibleAfter) {
        // It stays open as the download notice, with the same version and notes.
        QCOMPARE(shownTitle(pop), QStringLiteral("下载中..."));
        QCOMPARE(questionParts(pop), 0);
        QCOMPARE(shownText(pop), QStringLiteral("v1.1.2.0\n\n版本说明:\n\n·a\n\n·b"));
    }
}

void TestPopWidget::closeSignal() {
    popWidget pop;
    QSignalSpy closing(&pop, SIGNAL(signalClosePop()));
    QVERIFY(QMetaObject::invokeMethod(&pop, "slotPopClose"));
    QCOMPARE(closing.count(), 1);
}

void TestPopWidget::windowSetup() {
    popWidget pop;
    QCOMPARE(missingTraits(pop, "tool frameless translucent modal"), QString());
    QCOMPARE(child(pop, "widgetMain")->minimumSize(), QSize(480, 280));
    QCOMPARE(child<QRadioButton>(pop, "radioButton")->text(), QStringLiteral("3天内不再提示"));
    QCOMPARE(child<QPushButton>(pop, "btnConfirm")->text(), QStringLiteral("确认升级"));
    QCOMPARE(child<QPushButton>(pop, "btnCancel")->text(), QStringLiteral("取消"));
}

QTEST_MAIN(TestPopWidget)
#include "tst_popwidget.moc"

void TestPopWidget::downloadProgress_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<int>("maximum"); // 0: a moving bar (size unknown)
    QTest::addColumn<int>("value");

    QTest::newRow("downloading, half") << 2 << qint64(50) << qint64(100) << true << 1000 << 500;
    QTest::newRow("downloading, large file")
        << 2 << qint64(3) * 1024 * 1024 * 1024 << qint64(4) * 1024 * 1024 * 1024 << true << 1000 << 750;
    QTest::newRow("downloading, size unknown") << 2 << qint64(4096) << qint64(-1) << true << 0 << 0;
    QTest::newRow("question hides the bar") << 0 << qint64(50) << qint64(100) << false << 1000 << 500;
    QTest::newRow("installing hides the bar") << 1 << qint64(50) << qint64(100) << false << 1000 << 500;
}

void TestPopWidget::downloadProgress() {
    QFETCH(int, type);
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(bool, shown);
    QFETCH(int, maximum);
    QFETCH(int, value);

    popWidget pop;
    pop.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("notes"), POP_TYPE_DOWNLOADING);
    pop.slotSetDownloadProgress(received, total);
    pop.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("notes"), popType(type));
    QProgressBar *bar = child<QProgressBar>(pop, "progressDownload");
    QCOMPARE(bar->isVisibleTo(&pop), shown);
    QCOMPARE(bar->maximum(), maximum);
    if (maximum > 0)
        QCOMPARE(bar->value(), value);
    // A new download starts from an empty bar.
    pop.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("notes"), POP_TYPE_UPGRADE);
    pop.slotSetPopUI(QStringLiteral("1.0"), QStringLiteral("notes"), POP_TYPE_DOWNLOADING);
    QCOMPARE(bar->value(), 0);
}
