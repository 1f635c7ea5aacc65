// Text from server answers and product files shown as the characters it holds: markup in a
// product name, a message or an answer must not be drawn as such.
#include "applicationfolder.h"
#include "devserver.h"
#include "messagelabel.h"
#include "productshowwidget.h"
#include "poptextwidget.h"
#include "toolbutton.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

namespace {

// What a tool tip shows: like a label left to guess, it reads markup when the text looks like it.
QString shownTip(const QString &tip) {
    if (!Qt::mightBeRichText(tip))
        return tip;
    QTextDocument document;
    document.setHtml(tip);
    return document.toPlainText();
}

QLabel *label(const QObject &parent, const char *name) {
    return parent.findChild<QLabel *>(QLatin1String(name));
}

} // namespace

class tst_PlainTextLabels : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void shownAsText_data();
    void shownAsText();

private:
    QString stationFile(const QString &name) const { return m_station->path() + QLatin1Char('/') + name; }

    DevServer m_server;
    std::unique_ptr<LauncherStation> m_station;
};

void tst_PlainTextLabels::initTestCase() {
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
}

void tst_PlainTextLabels::init() {
    QVERIFY(m_server.reset());
    m_station.reset(new LauncherStation(m_server.httpBase()));
    QVERIFY(m_station->isReady());
}

void tst_PlainTextLabels::cleanup() {
    m_station.reset();
}

void tst_PlainTextLabels::shownAsText_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("value");

    const QString picture = QStringLiteral("<b>x</b><img src=\"pic\">");
    const QString fakeText = QStringLiteral("<font color=red>升级成功</font><br>请重启");
    QTest::newRow("catalogue card") << "card" << picture;
    QTest::newRow("toast") << "toast" << fakeText;
    QTest::newRow("message panel entry") << "message" << picture;
    QTest::newRow("tool tile") << "tile" << fakeText;
    // INI values lose their quotes when read.
    QTest::newRow("title bar from the station file") << "titlebar" << QStringLiteral("<b>x</b><img src=pic>");
    QTest::newRow("tool page's product") << "product" << fakeText;
    QTest::newRow("station check's answer in the toast") << "stationcheck" << picture;
}

void tst_PlainTextLabels::shownAsText() {
    QFETCH(QString, where);
    QFETCH(QString, value);

    // Labels that must read value back, and tool tips that must show it.
    QList<QPair<QLabel *, QString>> labels;
    QStringList tips;
    std::unique_ptr<QWidget> widget;

    if (where == "card") {
        auto *card = new productShowWidget;
        widget.reset(card);
        PRODUCTSHOWINFO_S info;
        info.m_szProductName = info.m_szPID = info.m_szModel = info.m_szVersion = info.m_szCreatTime = value;
        card->slotSetProductInfo(info);
        for (const char *name :
             {"labProNameInput", "labPidInput", "labModInput", "labVerInput", "labTimeInput"})
            labels << qMakePair(label(*card, name), value);
        tips << label(*card, "labProNameInput")->toolTip() << label(*card, "labPidInput")->toolTip();
    } else if (where == "toast") {
        auto *toast = new popTextWidget;
        widget.reset(toast);
        toast->setLabelText(value);
        labels << qMakePair(label(*toast, "labText"), value);
    } else if (where == "message") {
        auto *entry = new messageLabel;
        widget.reset(entry);
        entry->setMessageInfo(value, TITLE_COLOR_RED, value, value);
        for (const char *name : {"labTitle", "labDatetime", "labContent"})
            labels << qMakePair(label(*entry, name), value);
    } else if (where == "tile") {
        auto *tile = new toolButton;
        widget.reset(tile);
        tile->setBtnInfo(value, "BPC", "102", false, ELECTRIC_TYPE_ANY, UPGRADE_STATUS_NORMAL, false,
                         PLACE_TYPE_PRODUCTION);
        labels << qMakePair(label(*tile, "labeName"), value);
        tips << tile->findChild<QPushButton *>("btnMain")->toolTip();
    } else {
        writeFile(stationFile("CONFIGSET.ini"), stationConfigSet(where == "stationcheck"));
        const QString position = where == "titlebar" ? value : QStringLiteral("P1");
        writeFile(stationFile("MAINSET.ini"), "[UserInfo]\nUserPosition=" + position.toUtf8() +
                                                  "\nUserLinePosition=" + position.toUtf8() +
                                                  "\nUserWorkPosition=" + position.toUtf8() +
                                                  "\nEmployeeNumber=E1001\n[SelectedTools]\ntool1=101\n");
        if (where == "stationcheck")
            QVERIFY(m_server.setBehaviour("ProductionApi/login", QJsonObject{{"body", value}}));
        auto *w = new Tovarin;
        widget.reset(w);
        w->m_szAccount = where == "titlebar" ? value : DevServer::demoAccount();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        if (where == "titlebar") {
            for (const char *name :
                 {"labelPositionInfo", "labelLinePosInfo", "labelWorkPosInfo", "labelAccountInfo"})
                labels << qMakePair(label(*w, name), value);
        } else if (where == "product") {
            PRODUCTSHOWINFO_S info;
            info.m_szProductName = info.m_szPID = info.m_szModel = info.m_szVersion = info.m_szCreatTime =
                value;
            w->slotShowProductInfo(info);
            for (const char *name :
                 {"labProNameInput", "labPidInput", "labModInput", "labVerInput", "labTimeInput"})
                labels << qMakePair(label(*w, name), value);
        } else {
            QCOMPARE(m_server.requests("ProductionApi/login").size(), 1);
            labels << qMakePair(label(*w->m_pPopTextWidget, "labText"),
                                QStringLiteral("工位、员工号校验失败，错误信息:") + value);
        }
    }

    QVERIFY(!labels.isEmpty());
    for (const auto &shown : qAsConst(labels)) {
        QVERIFY(shown.first);
        QCOMPARE(shown.first->text(), shown.second);
        QVERIFY2(shown.first->textFormat() == Qt::PlainText, qPrintable(shown.first->objectName()));
    }
    for (const QString &tip : qAsConst(tips))
        QCOMPARE(shownTip(tip), value);
}

QTEST_MAIN(tst_PlainTextLabels)
#include "tst_plaintextlabels.moc"
