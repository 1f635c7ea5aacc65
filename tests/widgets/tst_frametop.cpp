#include "frametop.h"
#include "imageresources.h"

#include <QMouseEvent>
#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(QList<QPoint>)

namespace {
// One mouse step of a sequence: the event type, the button that changed, the buttons held
// afterwards, and the global position.
struct Step {
    QEvent::Type type;
    Qt::MouseButton button;
    Qt::MouseButtons held;
    QPoint global;
};

void send(QWidget *widget, const Step &step) {
    const QPointF local = widget->mapFromGlobal(step.global);
    QMouseEvent event(step.type, local, local, QPointF(step.global), step.button, step.held, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

Step press(Qt::MouseButton b, Qt::MouseButtons held, QPoint p) {
    return {QEvent::MouseButtonPress, b, held, p};
}
Step move(Qt::MouseButtons held, QPoint p) {
    return {QEvent::MouseMove, Qt::NoButton, held, p};
}
Step release(Qt::MouseButton b, Qt::MouseButtons held, QPoint p) {
    return {QEvent::MouseButtonRelease, b, held, p};
}
} // namespace
Q_DECLARE_METATYPE(QList<Step>)

class TestFrameTop : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void form();
    void drag_data();
    void drag();
};

void TestFrameTop::form() {
    frameTop bar;
    QCOMPARE(bar.ui->labelNameVer->text(), QStringLiteral("NORVEXA产测工具"));
    QCOMPARE(bar.ui->labelPosition->text(), QStringLiteral("站位: "));
    QCOMPARE(bar.ui->labelLinePos->text(), QStringLiteral("线位: "));
    QCOMPARE(bar.ui->labelWorkPos->text(), QStringLiteral("工位: "));
    QCOMPARE(bar.ui->labelAccount->text(), QStringLiteral("登陆账号: "));
    QVERIFY(!bar.ui->btnMessageBox->isVisibleTo(&bar));
    QVERIFY(bar.ui->btnMinimize->isVisibleTo(&bar));
    QVERIFY(bar.ui->btnClose->isVisibleTo(&bar));
}

void TestFrameTop::drag_data() {
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<QList<QPoint>>("moves");
    QTest::addColumn<int>("releases");

    const QPoint start(100, 20);
    const Qt::MouseButtons left = Qt::LeftButton;
    const Qt::MouseButtons both = Qt::LeftButton | Qt::RightButton;
    QTest::newRow("left drag") << QList<Step>{press(Qt::LeftButton, left, start), move(left, {130, 25}),
                                              move(left, {90, 60}), release(Qt::LeftButton, {}, {90, 60})}
                               << QList<QPoint>{{30, 5}, {-10, 40}} << 2;
    QTest::newRow("right drag moves nothing")
        << QList<Step>{press(Qt::RightButton, Qt::RightButton, start), move(Qt::RightButton, {150, 40}),
                       release(Qt::RightButton, {}, {150, 40})}
        << QList<QPoint>() << 1;
    QTest::newRow("right button joins, drag stops while both are held")
        << QList<Step>{press(Qt::LeftButton, left, start),        move(left, {110, 20}),
                       press(Qt::RightButton, both, {110, 20}),   move(both, {140, 30}),
                       release(Qt::RightButton, left, {140, 30}), move(left, {150, 30})}
        << QList<QPoint>{{10, 0}, {50, 10}} << 2;
    QTest::newRow("movement without a button")
        << QList<Step>{move({}, {120, 30}), move({}, {200, 30})} << QList<QPoint>() << 0;
    QTest::newRow("offset counts from the latest press")
        << QList<Step>{press(Qt::LeftButton, left, start), release(Qt::LeftButton, {}, start),
                       press(Qt::LeftButton, left, {300, 10}), move(left, {310, 12})}
        << QList<QPoint>{{10, 2}} << 3;
}

void TestFrameTop::drag() {
    QFETCH(QList<Step>, steps);
    QFETCH(QList<QPoint>, moves);
    QFETCH(int, releases);

    frameTop bar;
    bar.resize(1200, 56);
    QSignalSpy moved(&bar, &frameTop::signalMoveEvent);
    QSignalSpy released(&bar, &frameTop::signalReleaseEvent);
    for (const Step &step : steps)
        send(&bar, step);

    QList<QPoint> offsets;
    for (const QList<QVariant> &args : qAsConst(moved))
        offsets << args.first().toPoint();
    QCOMPARE(offsets, moves);
    QCOMPARE(released.count(), releases);
}

QTEST_MAIN(TestFrameTop)
#include "tst_frametop.moc"
