#include "imageresources.h"
#include "messagebox.h"
#include "messagelabel.h"
#include "widgetprobe.h"

#include <QLineEdit>
#include <QScrollArea>
#include <QSignalSpy>

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
    QCOMPARE(missingTraits(panel, "tool frameless"), QString());
    QCOMPARE(labelText(panel, "labelTitle"), QStringLiteral("消息推送"));
    QCOMPARE(child<QPushButton>(panel, "btnClearAll")->text(), QStringLiteral("清除全部"));
    // The list covers (24, 67) to (439, 501) of the panel.
    auto *area = child<QScrollArea>(panel, "scrollArea");
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
                shown << qMakePair(entry->mapTo(&panel, QPoint(0, 0)).y(), labelText(*entry, "labTitle"));
        std::sort(shown.begin(), shown.end());
        QStringList titles;
        for (const auto &s : shown)
            titles << s.second;
        return titles;
    };

    {
        messageBox panel;
        for (const QStringList &names : {first, second}) {
            panel.m_listMessages.clear();
            for (const QString &name : names)
                panel.m_listMessages << entries.value(name);
            panel.show();
            QVERIFY(QTest::qWaitForWindowExposed(&panel));
            QCOMPARE(shownTitles(panel), names);
            panel.hide();
        }
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
        click(panel, "btnClearAll");
        QTest::mouseClick(child<QScrollArea>(panel, "scrollArea")->viewport(), Qt::LeftButton);
        QVERIFY(panel.isVisible());
        QVERIFY(panel.hasFocus());
    }
    QCOMPARE(hidden.count(), hideSignals);
}

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
