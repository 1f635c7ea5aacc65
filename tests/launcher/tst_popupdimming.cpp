// The dimming layer of the main window's pop-ups as drawn: see-through where the window system
// blends windows, light and opaque where it cannot (there every see-through pixel shows black).
#include "devserver.h"
#include "imageresources.h"
#include "popclosewidget.h"
#include "popselectwidget.h"
#include "popwidget.h"
#include "tovarintesthelpers.h"

#include <QtTest>

#include <functional>
#include <memory>

namespace {
const QColor kLight(0xDD, 0xE1, 0xE8);

struct Popup {
    std::unique_ptr<QWidget> window;
    std::function<void(bool)> setTranslucentLook;
};

template <typename T> Popup makePopup() {
    auto *pop = new T;
    return {std::unique_ptr<QWidget>(pop), [pop](bool translucent) { pop->setTranslucentLook(translucent); }};
}

Popup popupNamed(const QString &name) {
    if (name == QLatin1String("close"))
        return makePopup<popCloseWidget>();
    if (name == QLatin1String("upgrade"))
        return makePopup<popWidget>();
    return makePopup<popSelectWidget>();
}
} // namespace

class tst_PopupDimming : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void dimming_data();
    void dimming();
};

void tst_PopupDimming::initTestCase() {
    initImageResources();
}

void tst_PopupDimming::dimming_data() {
    QTest::addColumn<QString>("popup");
    QTest::addColumn<QString>("card");
    QTest::addColumn<QColor>("cardColor");
    QTest::addColumn<QList<bool>>("looks"); // set and shown one after the other

    const QList<QList<bool>> sequences{{false}, {true}, {false, true}, {true, false}};
    const QStringList names{"opaque", "see-through", "opaque, then a compositor started",
                            "see-through, then the compositor stopped"};
    // Bare declarations in the form's style.
    for (int i = 0; i < sequences.size(); ++i)
        QTest::addRow("close confirmation, %s", qPrintable(names.at(i)))
            << "close"
            << "widgetMain" << QColor(Qt::white) << sequences.at(i);
    for (int i = 0; i < sequences.size(); ++i)
        QTest::addRow("upgrade prompt, %s", qPrintable(names.at(i)))
            << "upgrade"
            << "widgetMain" << QColor(Qt::white) << sequences.at(i);
    // A rule naming the layer in the form's style.
    for (int i = 0; i < sequences.size(); ++i)
        QTest::addRow("catalogue, %s", qPrintable(names.at(i)))
            << "catalogue"
            << "widget" << QColor(0xF8, 0xF9, 0xFA) << sequences.at(i);
}

void tst_PopupDimming::dimming() {
    QFETCH(QString, popup);
    QFETCH(QString, card);
    QFETCH(QColor, cardColor);
    QFETCH(QList<bool>, looks);

    LauncherStation station(QStringLiteral("http://127.0.0.1:%1/").arg(DevServer::closedPort()));
    QVERIFY(station.isReady());
    Popup pop = popupNamed(popup);
    pop.window->resize(1200, 900);
    for (bool translucent : looks) {
        // As the main window does it: the look first, then the show.
        pop.setTranslucentLook(translucent);
        pop.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(pop.window.get()));
        const QImage shot = pop.window->grab().toImage();
        // Beside the card, clear of the layer's rounded corners.
        const QColor layer = shot.pixelColor(16, shot.height() / 2);
        if (translucent) {
            QVERIFY2(layer.alpha() > 100 && layer.alpha() < 160, qPrintable(layer.name(QColor::HexArgb)));
            QCOMPARE(layer.rgb() & 0xFFFFFF, 0u);
        } else {
            QCOMPARE(layer, kLight);
        }
        // The light layer stays behind the card.
        QWidget *cardWidget = pop.window->findChild<QWidget *>(card);
        QVERIFY(cardWidget);
        const QPoint inCard = cardWidget->mapTo(pop.window.get(), QPoint(6, cardWidget->height() / 2));
        QCOMPARE(shot.pixelColor(inCard), cardColor);
        pop.window->hide();
    }
}

QTEST_MAIN(tst_PopupDimming)
#include "tst_popupdimming.moc"
