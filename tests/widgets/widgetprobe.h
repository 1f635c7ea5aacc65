#pragma once

// Looks into the widgets the way an operator sees them: children by their forms' object names.
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QtTest>

template <typename T = QWidget> T *child(const QObject &parent, const char *name) {
    return parent.findChild<T *>(QLatin1String(name));
}

inline QString labelText(const QObject &parent, const char *name) {
    return child<QLabel>(parent, name)->text();
}

// Shown as soon as its window is (a missing child counts as hidden).
inline bool shownIn(const QWidget &window, const char *name) {
    const QWidget *widget = child(window, name);
    return widget && widget->isVisibleTo(&window);
}

inline void click(const QWidget &window, const char *name) {
    QTest::mouseClick(child(window, name), Qt::LeftButton);
}

// Which of the wanted window traits ("tool", "frameless", "translucent", "modal") it lacks.
inline QString missingTraits(const QWidget &window, const QString &wanted) {
    const QMap<QString, bool> has{
        {QStringLiteral("tool"), (window.windowFlags() & Qt::WindowType_Mask) == Qt::Tool},
        {QStringLiteral("frameless"), bool(window.windowFlags() & Qt::FramelessWindowHint)},
        {QStringLiteral("translucent"), window.testAttribute(Qt::WA_TranslucentBackground)},
        {QStringLiteral("modal"), window.windowModality() == Qt::ApplicationModal}};
    QStringList missing;
    for (const QString &trait : wanted.split(QLatin1Char(' ')))
        if (!has.value(trait))
            missing << trait;
    return missing.join(QLatin1Char(' '));
}

// The upgrade pop-up (launcher's and updater's copies alike).
inline QString shownText(const QWidget &pop) {
    return child<QTextEdit>(pop, "txtboxMessage")->toPlainText();
}

inline QString shownTitle(const QWidget &pop) {
    return labelText(pop, "labTitle");
}

// How many of the question's controls (radio button, confirm, cancel) are shown: 3 or 0.
inline int questionParts(const QWidget &pop) {
    return shownIn(pop, "radioButton") + shownIn(pop, "btnConfirm") + shownIn(pop, "btnCancel");
}

// Notes laid out the same way by both copies of the upgrade pop-up.
inline void popMessageTextRows() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("items"); // used when not empty
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("screen");
    QTest::newRow("text") << "1.1.2.0" << QStringList() << "修复崩溃"
                          << "v1.1.2.0\n\n版本说明:\n\n修复崩溃";
    QTest::newRow("empty version") << "" << QStringList() << "x"
                                   << "v\n\n版本说明:\n\nx";
    QTest::newRow("one note") << "2.0" << QStringList{"新增全部更新"} << ""
                              << "v2.0\n\n版本说明:\n\n·新增全部更新";
}

// Shows the row's texts as the owner would (the notes as a list when there are any) and compares
// what the message box then reads.
template <typename Pop, typename Type> void comparePopMessageText(Type type) {
    QFETCH(QString, version);
    QFETCH(QStringList, items);
    QFETCH(QString, message);
    QFETCH(QString, screen);
    Pop pop;
    if (items.isEmpty())
        pop.slotSetPopUI(version, message, type);
    else
        pop.slotSetPopUI(version, items, type);
    QCOMPARE(shownText(pop), screen);
}
