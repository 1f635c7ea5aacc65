#include "imageresources.h"
#include "messagebox.h"
#include "messagelabel.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QtTest>

class TestMessageBox : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void form();
    void listsCurrentEntries_data();
    void listsCurrentEntries();
    void focusLoss_data();
    void focusLoss();
};

void TestMessageBox::form() {
    messageBox panel;
    QCOMPARE(panel.objectName(), QStringLiteral("messageBox"));
    QCOMPARE(panel.size(), QSize(476, 517));
    QCOMPARE(panel.windowFlags() & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(panel.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(panel.findChild<QLabel *>(QStringLiteral("labelTitle"))->text(), QStringLiteral("消息推送"));
    QCOMPARE(panel.findChild<QPushButton *>(QStringLiteral("btnClearAll"))->text(),
             QStringLiteral("清除全部"));
    // The list covers (24, 67) to (439, 501) of the panel.
    auto *area = panel.findChild<QScrollArea *>(QStringLiteral("scrollArea"));
    QCOMPARE(QRect(area->mapTo(&panel, QPoint(0, 0)), area->size()), QRect(QPoint(24, 67), QPoint(439, 501)));
}

void TestMessageBox::listsCurrentEntries_data() {
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second"); // entries at the next show
    QTest::newRow("empty") << QStringList() << QStringList();
    QTest::newRow("entries appear in order") << QStringList() << QStringList{"a", "b", "c"};
    QTest::newRow("entry dropped between shows") << QStringList{"a", "b", "c"} << QStringList{"c", "a"};
    QTest::newRow("all dropped") << QStringList{"a", "b"} << QStringList();
}

void TestMessageBox::listsCurrentEntries() {
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);

    QHash<QString, messageLabel *> entries;
    for (const QString &name : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
        auto *entry = new messageLabel;
        entry->setMessageTitle(name, TITLE_COLOR_BLUE);
        entries.insert(name, entry);
    }
    auto shownTitles = [](messageBox &panel) {
        QList<QPair<int, QString>> shown;
        const auto labels = panel.findChildren<messageLabel *>();
        for (messageLabel *entry : labels)
            if (entry->isVisibleTo(&panel))
                shown << qMakePair(entry->mapTo(&panel, QPoint(0, 0)).y(),
                                   entry->findChild<QLabel *>(QStringLiteral("labTitle"))->text());
        std::sort(shown.begin(), shown.end());
        QStringList titles;
        for (const auto &s : shown)
            titles << s.second;
        return titles;
    };

    {
        messageBox panel;
        for (const QString &name : first)
            panel.m_listMessages << entries.value(name);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QCOMPARE(shownTitles(panel), first);
        panel.hide();

        panel.m_listMessages.clear();
        for (const QString &name : second)
            panel.m_listMessages << entries.value(name);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QCOMPARE(shownTitles(panel), second);
        panel.hide();
        // Entries the panel took in go with it; the rest are ours to free.
        for (auto it = entries.begin(); it != entries.end();)
            it = it.value()->parent() ? entries.erase(it) : std::next(it);
    }
    qDeleteAll(entries);
}

void TestMessageBox::focusLoss_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("hideSignals");
    QTest::newRow("another window takes the focus") << QStringLiteral("window") << 1;
    QTest::newRow("owner hides it") << QStringLiteral("hide") << 0;
    QTest::newRow("click inside keeps it") << QStringLiteral("inside") << 0;
}

void TestMessageBox::focusLoss() {
    QFETCH(QString, how);
    QFETCH(int, hideSignals);

    messageBox panel;
    panel.m_listMessages << new messageLabel;
    QSignalSpy hidden(&panel, &messageBox::signalWidgetHide);
    panel.show();
    panel.activateWindow();
    panel.setFocus();
    QVERIFY(QTest::qWaitForWindowActive(&panel));
    QTRY_VERIFY(panel.hasFocus());

    QWidget other;
    auto *edit = new QLineEdit(&other);
    if (how == QLatin1String("window")) {
        other.show();
        other.activateWindow();
        edit->setFocus();
        QTRY_VERIFY(!panel.isVisible());
    } else if (how == QLatin1String("hide")) {
        panel.hide();
        QVERIFY(!panel.isVisible());
    } else {
        QTest::mouseClick(panel.findChild<QPushButton *>(QStringLiteral("btnClearAll")), Qt::LeftButton);
        QTest::mouseClick(panel.findChild<QScrollArea *>(QStringLiteral("scrollArea"))->viewport(),
                          Qt::LeftButton);
        QVERIFY(panel.isVisible());
        QVERIFY(panel.hasFocus());
    }
    QCOMPARE(hidden.count(), hideSignals);
}

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
