// Station setup page and tool page, driven through the widgets: confirm, cancel, the side bar,
// the station check against the production service, and how the grid places the chosen tools.
#include "applicationfolder.h"
#include "devserver.h"
#include "poptextwidget.h"
#include "sidebarbutton.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"
#include "ui_tovarin.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QShowEvent>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {

const QStringList &kToolKeys = toolKeys();

QByteArray station(const QString &employee = QString()) {
    return "[UserInfo]\nUserPosition=P1\nUserLinePosition=L1\nUserWorkPosition=W01\nEmployeeNumber=" +
           employee.toUtf8() + "\n";
}

toolButton *checkTile(Tovarin &w, const QString &key) {
    return w.ui->qwidgetConfig->findChild<toolButton *>("tbtn" + key);
}

// Presses a check tile the way the operator does: on its body.
void pressTile(Tovarin &w, const QString &key) {
    QPushButton *body = checkTile(w, key)->findChild<QPushButton *>("btnMain");
    QVERIFY(body);
    QTest::mouseClick(body, Qt::LeftButton);
}

QStringList selectedOnSetupPage(Tovarin &w) {
    QStringList keys;
    for (toolButton *tile : qAsConst(w.m_vecConfigButtons)) {
        if (tile->m_btnInfo.m_bSelected)
            keys << tile->m_btnInfo.m_szToolKey;
    }
    return keys;
}

} // namespace

class tst_TovarinSetup : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void confirm_data();
    void confirm();
    void selectionRestored_data();
    void selectionRestored();
    void reshowShowsSelection_data();
    void reshowShowsSelection();
    void gridKeepsPlaces_data();
    void gridKeepsPlaces();
    void gridOverflow_data();
    void gridOverflow();
    void stationCheck_data();
    void stationCheck();
    void quietAtStartUp_data();
    void quietAtStartUp();
    void tileLookups_data();
    void tileLookups();
    void toolVersionText_data();
    void toolVersionText();

private:
    QString stationFile(const QString &name) const { return m_station->path() + QLatin1Char('/') + name; }
    QVariant stored(const QString &key) const {
        QSettings settings(stationFile("MAINSET.ini"), QSettings::IniFormat);
        settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
        return settings.value(key);
    }
    // A shown window on the page the start-up chain chose.
    std::unique_ptr<Tovarin> shownWindow();

    DevServer m_server;
    std::unique_ptr<LauncherStation> m_station;
};

void tst_TovarinSetup::initTestCase() {
    QVERIFY2(m_server.start(), qPrintable(m_server.lastError()));
}

void tst_TovarinSetup::init() {
    QVERIFY(m_server.reset());
    m_station.reset(new LauncherStation(m_server.httpBase()));
    QVERIFY(m_station->isReady());
    writeFile(stationFile("CONFIGSET.ini"), stationConfigSet(false));
}

void tst_TovarinSetup::cleanup() {
    m_station.reset();
}

std::unique_ptr<Tovarin> tst_TovarinSetup::shownWindow() {
    std::unique_ptr<Tovarin> w(new Tovarin);
    w->show();
    if (!QTest::qWaitForWindowExposed(w.get()))
        return nullptr;
    return w;
}

void tst_TovarinSetup::confirm_data() {
    QTest::addColumn<QString>("work");
    QTest::addColumn<QStringList>("press");
    QTest::addColumn<QString>("toast");
    QTest::addColumn<bool>("toolPage");
    QTest::addColumn<QStringList>("savedIds");

    QTest::newRow("empty work position")
        << QString() << QStringList{"IPCamSuite"} << "请完整填写站位、线位、工位" << false << QStringList();
    QTest::newRow("no tile") << "W01" << QStringList() << "请选择此站位的测试类型" << false << QStringList();
    QTest::newRow("one auxiliary tool")
        << "W01" << QStringList{"WifiConnectTool"} << QString() << true << QStringList{"115"};
    // Saved in tool-page order: production group first, each group in table order.
    QTest::newRow("six tools") << "W-01" << QStringList{"MACSetting", "JBM",      "IPCamSuite",
                                                        "BPC",        "PPCFocus", "IPCProductCheck"}
                               << QString() << true << QStringList{"101", "102", "108", "116", "103", "105"};
}

void tst_TovarinSetup::confirm() {
    QFETCH(QString, work);
    QFETCH(QStringList, press);
    QFETCH(QString, toast);
    QFETCH(bool, toolPage);
    QFETCH(QStringList, savedIds);

    writeFile(stationFile("MAINSET.ini"), "[SelectedTools]\ntool1=\n");
    auto w = shownWindow();
    QVERIFY(w);
    QCOMPARE(w->ui->widgetMain->currentWidget(), w->ui->qwidgetConfig);
    QVERIFY(toastText(*w).isEmpty());

    QTest::keyClicks(w->ui->lineEditPosition, "P1");
    QTest::keyClicks(w->ui->lineEditLine, "L1");
    QTest::keyClicks(w->ui->lineEditWork, work);
    for (const QString &key : press)
        pressTile(*w, key);
    QTest::mouseClick(w->ui->btnConfrim, Qt::LeftButton);

    QCOMPARE(toastText(*w), toast);
    QCOMPARE(w->ui->widgetMain->currentWidget(), toolPage ? w->ui->qwidgetTool : w->ui->qwidgetConfig);
    // The three station values are saved before the check, whatever it says.
    QCOMPARE(stored("UserInfo/UserPosition").toString(), QString("P1"));
    QCOMPARE(stored("UserInfo/UserLinePosition").toString(), QString("L1"));
    QCOMPARE(stored("UserInfo/UserWorkPosition").toString(), work);
    QCOMPARE(stored("UserInfo/EmployeeNumber").isValid(), toolPage);

    if (toolPage) {
        for (int i = 1; i <= 24; ++i)
            QCOMPARE(stored(QString("SelectedTools/tool%1").arg(i)).toString(), savedIds.value(i - 1));
        QVERIFY(w->mTimerToolUpCheck.isActive());
    } else {
        QCOMPARE(stored("SelectedTools/tool1").toString(), QString());
        QCOMPARE(stored("SelectedTools/tool2").isValid(), false);
    }
}

void tst_TovarinSetup::selectionRestored_data() {
    QTest::addColumn<bool>("viaCancel");
    QTest::newRow("cancel") << true;
    QTest::newRow("product button") << false;
}

void tst_TovarinSetup::selectionRestored() {
    QFETCH(bool, viaCancel);

    writeFile(stationFile("MAINSET.ini"), station() + "[SelectedTools]\ntool1=101\ntool2=103\n");
    auto w = shownWindow();
    QVERIFY(w);
    QTRY_COMPARE(w->ui->widgetMain->currentWidget(), w->ui->qwidgetTool);
    const QStringList before = keysOnPage(*w);
    QCOMPARE(before, (QStringList{"IPCProductCheck", "IPCamSuite"}));

    QTest::mouseClick(w->ui->btnConfig, Qt::LeftButton);
    QCOMPARE(w->ui->widgetMain->currentWidget(), w->ui->qwidgetConfig);
    pressTile(*w, "JBM");
    pressTile(*w, "IPCProductCheck");
    // Typed but not confirmed: the stored station is what counts.
    w->ui->lineEditWork->clear();
    QCOMPARE(selectedOnSetupPage(*w), (QStringList{"IPCamSuite", "JBM"}));

    if (viaCancel)
        QTest::mouseClick(w->ui->btnCancel, Qt::LeftButton);
    else
        QTest::mouseClick(w->ui->btnProduct, Qt::LeftButton);

    QCOMPARE(w->ui->widgetMain->currentWidget(), w->ui->qwidgetTool);
    QCOMPARE(selectedOnSetupPage(*w), (QStringList{"IPCProductCheck", "IPCamSuite"}));
    QCOMPARE(keysOnPage(*w), before);
    QCOMPARE(w->m_szUserWorkPosition, QString("W01"));
}

void tst_TovarinSetup::reshowShowsSelection_data() {
    QTest::addColumn<QStringList>("press");
    QTest::addColumn<QStringList>("selected");

    // Stored: IPCProductCheck and IPCamSuite. The window is shown again (restored after being
    // minimised) while the operator edits the setup page.
    QTest::newRow("cleared stored tool")
        << QStringList{"IPCamSuite"} << QStringList{"IPCProductCheck", "IPCamSuite"};
    QTest::newRow("both cleared") << QStringList{"IPCamSuite", "IPCProductCheck"}
                                  << QStringList{"IPCProductCheck", "IPCamSuite"};
    QTest::newRow("added tool") << QStringList{"JBM"} << QStringList{"IPCProductCheck", "IPCamSuite", "JBM"};
    QTest::newRow("nothing changed") << QStringList() << QStringList{"IPCProductCheck", "IPCamSuite"};
}

void tst_TovarinSetup::reshowShowsSelection() {
    QFETCH(QStringList, press);
    QFETCH(QStringList, selected);

    writeFile(stationFile("MAINSET.ini"), station() + "[SelectedTools]\ntool1=101\ntool2=103\n");
    auto w = shownWindow();
    QVERIFY(w);
    QTRY_COMPARE(w->ui->widgetMain->currentWidget(), w->ui->qwidgetTool);
    QTest::mouseClick(w->ui->btnConfig, Qt::LeftButton);
    for (const QString &key : press)
        pressTile(*w, key);

    QShowEvent event;
    QCoreApplication::sendEvent(w.get(), &event);

    // What each tile shows is what it holds.
    QCOMPARE(selectedOnSetupPage(*w), selected);
    for (toolButton *tile : qAsConst(w->m_vecConfigButtons)) {
        const QString style = tile->findChild<QPushButton *>("btnMain")->styleSheet();
        QVERIFY2(style.endsWith("border: 2px solid #447AF0;") == tile->m_btnInfo.m_bSelected,
                 qPrintable(tile->m_btnInfo.m_szToolKey));
    }
    QTest::mouseClick(w->ui->btnConfrim, Qt::LeftButton);
    QCOMPARE(w->ui->widgetMain->currentWidget(), w->ui->qwidgetTool);
    QStringList onPage = keysOnPage(*w);
    std::sort(onPage.begin(), onPage.end());
    QStringList expected = selected;
    std::sort(expected.begin(), expected.end());
    QCOMPARE(onPage, expected);
}

void tst_TovarinSetup::gridKeepsPlaces_data() {
    QTest::addColumn<QStringList>("rounds");
    QTest::addColumn<QStringList>("expected");

    const QString five = "+IPCProductCheck +BPC +IPCTestMulti +WifiModuleTest +XVRProductCheck";
    QTest::newRow("new tools in table order")
        << QStringList{"+JBM +BPC +PPCFocus"} << QStringList{"BPC", "PPCFocus", "JBM"};
    QTest::newRow("deselect in the middle")
        << QStringList{five, "-IPCTestMulti"}
        << QStringList{"IPCProductCheck", "BPC", "WifiModuleTest", "XVRProductCheck"};
    QTest::newRow("selected again goes to the end")
        << QStringList{five, "-BPC", "+BPC"}
        << QStringList{"IPCProductCheck", "IPCTestMulti", "WifiModuleTest", "XVRProductCheck", "BPC"};
    QTest::newRow("added later goes to the end")
        << QStringList{"+JBM", "+IPCProductCheck"} << QStringList{"JBM", "IPCProductCheck"};
    QTest::newRow("groups stay apart") << QStringList{"+MACSetting +WifiConnectTool", "+IPCamSuite +JBM"}
                                       << QStringList{"JBM", "WifiConnectTool", "IPCamSuite", "MACSetting"};
}

void tst_TovarinSetup::gridKeepsPlaces() {
    QFETCH(QStringList, rounds);
    QFETCH(QStringList, expected);

    writeFile(stationFile("MAINSET.ini"), station());
    auto w = shownWindow();
    QVERIFY(w);
    QCOMPARE(w->ui->widgetMain->currentWidget(), w->ui->qwidgetConfig);
    for (const QString &round : rounds) {
        QTest::mouseClick(w->ui->btnConfig, Qt::LeftButton);
        for (const QString &step : round.split(' ')) {
            const QString key = step.mid(1);
            QCOMPARE(checkTile(*w, key)->m_btnInfo.m_bSelected, step.startsWith('-'));
            pressTile(*w, key);
        }
        QTest::mouseClick(w->ui->btnConfrim, Qt::LeftButton);
        QCOMPARE(w->ui->widgetMain->currentWidget(), w->ui->qwidgetTool);
    }
    QCOMPARE(keysOnPage(*w), expected);
    for (toolButton *tile : w->m_vecToolButtons) {
        QVERIFY(tile->isVisible());
        QVERIFY(!tile->m_btnInfo.m_bSelectMode);
    }
    // The tiles are filled from the front of each group.
    int production = 0;
    for (toolButton *tile : w->m_vecToolButtons) {
        if (tile->m_btnInfo.m_ePlaceType != PLACE_TYPE_PRODUCTION)
            continue;
        QCOMPARE(tile->objectName(),
                 QString("tbtnLine%1_%2").arg(production / 4 + 1).arg(production % 4 + 1));
        ++production;
    }
}

void tst_TovarinSetup::gridOverflow_data() {
    QTest::addColumn<int>("place");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("shown");

    QTest::newRow("16 production tools") << int(PLACE_TYPE_PRODUCTION) << 16 << 16;
    QTest::newRow("17 production tools") << int(PLACE_TYPE_PRODUCTION) << 17 << 16;
    QTest::newRow("4 auxiliary tools") << int(PLACE_TYPE_AUXILIARY) << 4 << 4;
    QTest::newRow("5 auxiliary tools") << int(PLACE_TYPE_AUXILIARY) << 5 << 4;
    QTest::newRow("6 NVR/DVR tools") << int(PLACE_TYPE_NVR_DVR) << 6 << 4;
}

void tst_TovarinSetup::gridOverflow() {
    QFETCH(int, place);
    QFETCH(int, count);
    QFETCH(int, shown);

    Tovarin w;
    QVector<toolButtonInfo> *list = place == 0   ? &w.m_vecProductionTools
                                    : place == 1 ? &w.m_vecAuxiliaryTools
                                                 : &w.m_vecNvrDvrTools;
    for (int i = 0; i < count; ++i) {
        toolButtonInfo info;
        info.m_szToolName = QString("Tool %1").arg(i);
        info.m_szToolKey = QString("Extra%1").arg(i);
        info.m_szToolId = QString("9%1").arg(i, 2, 10, QChar('0'));
        info.m_ePlaceType = PLACETYPE_E(place);
        list->append(info);
    }
    w.slotSetProductionTools();
    QCOMPARE(w.m_vecToolButtons.size(), shown);
    QCOMPARE(list->size(), count);
    for (int i = 0; i < shown; ++i)
        QCOMPARE(w.m_vecToolButtons.at(i)->m_btnInfo.m_szToolId, list->at(i).m_szToolId);

    w.resetToolPageUI();
    QVERIFY(w.m_vecToolButtons.isEmpty());
    for (toolButton *tile : w.ui->qwidgetTool->findChildren<toolButton *>())
        QVERIFY(tile->isHidden());
}

void tst_TovarinSetup::stationCheck_data() {
    QTest::addColumn<bool>("empWorkCheck");
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<QString>("employee");
    QTest::addColumn<QString>("toast");
    QTest::addColumn<bool>("toolPage");
    QTest::addColumn<bool>("asked");

    QTest::newRow("employee check off sends nothing")
        << false << QJsonObject() << "E1001" << QString() << true << false;
    QTest::newRow("accepted") << true << QJsonObject{{"json", QJsonObject{{"ack", "200"}}}} << "E1001"
                              << QString() << true << true;
    QTest::newRow("answer not JSON") << true << QJsonObject{{"body", "Bad Gateway"}} << "E1001"
                                     << "工位、员工号校验失败，错误信息:Bad Gateway" << false << true;
    QTest::newRow("empty answer") << true << QJsonObject{{"status", 204}} << "E1001"
                                  << "工位、员工号校验失败，错误信息:" << false << true;
    QTest::newRow("ack 401") << true << QJsonObject{{"json", QJsonObject{{"ack", "401"}}}} << "E1001"
                             << "请校验工位、员工号是否正确。错误码:401" << false << true;
    QTest::newRow("numeric ack 200") << true << QJsonObject{{"json", QJsonObject{{"ack", 200}}}} << "E1001"
                                     << "请校验工位、员工号是否正确。错误码:200" << false << true;
    QTest::newRow("no employee number")
        << true << QJsonObject() << QString() << "请完整填写站位、线位、工位、员工号" << false << false;
}

void tst_TovarinSetup::stationCheck() {
    QFETCH(bool, empWorkCheck);
    QFETCH(QJsonObject, behaviour);
    QFETCH(QString, employee);
    QFETCH(QString, toast);
    QFETCH(bool, toolPage);
    QFETCH(bool, asked);

    writeFile(stationFile("CONFIGSET.ini"), stationConfigSet(empWorkCheck));
    writeFile(stationFile("MAINSET.ini"), "[SelectedTools]\ntool1=101\n");
    if (!behaviour.isEmpty())
        QVERIFY(m_server.setBehaviour("ProductionApi/login", behaviour));
    auto w = shownWindow();
    QVERIFY(w);
    QCOMPARE(w->ui->lineEditEmployee->isHidden(), !empWorkCheck);

    QTest::keyClicks(w->ui->lineEditPosition, "P1");
    QTest::keyClicks(w->ui->lineEditLine, "L1");
    QTest::keyClicks(w->ui->lineEditWork, "W01");
    QTest::keyClicks(w->ui->lineEditEmployee, employee);
    QTest::mouseClick(w->ui->btnConfrim, Qt::LeftButton);

    QCOMPARE(toastText(*w), toast);
    QCOMPARE(w->ui->widgetMain->currentWidget(), toolPage ? w->ui->qwidgetTool : w->ui->qwidgetConfig);
    const QJsonArray requests = m_server.requests("ProductionApi/login");
    QCOMPARE(!requests.isEmpty(), asked);
    if (asked) {
        const QJsonObject first = requests.first().toObject();
        QCOMPARE(first.value("method").toString(), QString("GET"));
        QCOMPARE(DevServer::queryValue(first, "position_id"), QString("W01"));
        QCOMPARE(DevServer::queryValue(first, "user_id"), employee);
    }
    // Every passed check stores the employee number, even an empty one.
    QCOMPARE(stored("UserInfo/EmployeeNumber").isValid(), toolPage);
    if (toolPage)
        QCOMPARE(stored("UserInfo/EmployeeNumber").toString(), employee);
}

void tst_TovarinSetup::quietAtStartUp_data() {
    QTest::addColumn<QJsonObject>("behaviour");
    QTest::addColumn<QString>("toast");
    QTest::addColumn<bool>("toolPage");

    QTest::newRow("refused quietly") << QJsonObject{{"json", QJsonObject{{"ack", "401"}}}} << QString()
                                     << false;
    QTest::newRow("not JSON is still shown")
        << QJsonObject{{"body", "oops"}} << "工位、员工号校验失败，错误信息:oops" << false;
    QTest::newRow("accepted") << QJsonObject{{"json", QJsonObject{{"ack", "200"}}}} << QString() << true;
}

void tst_TovarinSetup::quietAtStartUp() {
    QFETCH(QJsonObject, behaviour);
    QFETCH(QString, toast);
    QFETCH(bool, toolPage);

    writeFile(stationFile("CONFIGSET.ini"), stationConfigSet(true));
    writeFile(stationFile("MAINSET.ini"), station("E1001") + "[SelectedTools]\ntool1=101\n");
    QVERIFY(m_server.setBehaviour("ProductionApi/login", behaviour));
    auto w = shownWindow();
    QVERIFY(w);
    QCOMPARE(w->ui->widgetMain->currentWidget(), toolPage ? w->ui->qwidgetTool : w->ui->qwidgetConfig);
    QCOMPARE(toastText(*w), toast);
    QVERIFY(!m_server.requests("ProductionApi/login").isEmpty());
    QCOMPARE(w->m_timerCheckDealer.isActive(), true);
    QVERIFY(w->m_timerCheckDealer.isSingleShot());

    // Later refusals speak up.
    if (!toolPage) {
        QTest::mouseClick(w->ui->btnCancel, Qt::LeftButton);
        QVERIFY(!toastText(*w).isEmpty());
    }
}

void tst_TovarinSetup::tileLookups_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<QStringList>("changed");

    QTest::newRow("one tile") << "103" << QStringList{"IPCamSuite"};
    QTest::newRow("shared id changes both") << "101" << QStringList{"IPCProductCheck", "JBM"};
    QTest::newRow("no visible tile") << "104" << QStringList();
    QTest::newRow("case matters") << "abc" << QStringList();
}

void tst_TovarinSetup::tileLookups() {
    QFETCH(QString, id);
    QFETCH(QStringList, changed);

    writeFile(stationFile("CONFIGSET.ini"),
              stationConfigSet(false).replace("ID=116", "ID=101").replace("ID=102", "ID=ABC"));
    writeFile(stationFile("MAINSET.ini"), "[SelectedTools]\ntool1=101\ntool2=103\ntool3=ABC\n");
    Tovarin w;
    QVERIFY(w.openMainConfig());
    w.readMainConfig();
    w.slotSetProductionTools();
    QCOMPARE(keysOnPage(w), (QStringList{"IPCProductCheck", "JBM", "BPC", "IPCamSuite"}));

    w.slotTbtnChangeStatus(id, UPGRADE_STATUS_UPGRADABLE);
    for (toolButton *tile : w.m_vecToolButtons) {
        QCOMPARE(tile->m_btnInfo.m_eUpgradeStatus, changed.contains(tile->m_btnInfo.m_szToolKey)
                                                       ? UPGRADE_STATUS_UPGRADABLE
                                                       : UPGRADE_STATUS_NORMAL);
    }
    // The setup page's tiles are not the tool page's.
    for (toolButton *tile : w.m_vecConfigButtons)
        QCOMPARE(tile->m_btnInfo.m_eUpgradeStatus, UPGRADE_STATUS_NORMAL);

    const int index = w.findToolIsSelected(id, w.m_vecProductionTools);
    QCOMPARE(index, changed.isEmpty() || changed.first() == "IPCamSuite" ? -1 : 0);
    QCOMPARE(w.findToolIsSelected(id, w.m_vecAuxiliaryTools), changed.contains("IPCamSuite") ? 0 : -1);
}

void tst_TovarinSetup::toolVersionText_data() {
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QString>("text");

    QTest::newRow("Orlem") << "Orlem"
                           << "中性";
    QTest::newRow("OrlemBrand") << "OrlemBrand"
                                << "品牌";
    QTest::newRow("Single") << "Single"
                            << "单独运行";
    QTest::newRow("lower case") << "orlem" << QString();
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("trailing blank") << "Single " << QString();
}

void tst_TovarinSetup::toolVersionText() {
    QFETCH(QString, flag);
    QFETCH(QString, text);

    Tovarin w;
    w.setLabToolVerText("OrlemBrand");
    w.setLabToolVerText(flag);
    QCOMPARE(w.ui->labToolVer->text(), text);
}

QTEST_MAIN(tst_TovarinSetup)
#include "tst_tovarinsetup.moc"
