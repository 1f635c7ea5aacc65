// The main window's configuration files: CONFIGSET.ini into the check tiles, MAINSET.ini into
// the station values and the three tool lists, and values surviving a write and a re-read.
#include "applicationfolder.h"
#include "frametop.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"
#include "ui_tovarin.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QShowEvent>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

using IdMap = QMap<QString, QString>;

namespace {

const QStringList &kToolKeys = toolKeys();

// CONFIGSET.ini with ids 101..116 in table order, plus extra text appended verbatim.
QByteArray configSet(const QByteArray &extra = QByteArray(), const QMap<QString, QString> &idOverrides = {}) {
    return stationConfigSet(false, idOverrides) + extra;
}

QStringList keysOf(const QVector<toolButtonInfo> &list) {
    QStringList keys;
    for (const toolButtonInfo &info : list)
        keys << info.m_szToolKey;
    return keys;
}

toolButton *checkTile(Tovarin &w, const QString &key) {
    for (toolButton *tile : qAsConst(w.m_vecConfigButtons)) {
        if (tile->m_btnInfo.m_szToolKey == key)
            return tile;
    }
    return nullptr;
}

QVariant readBack(const QString &iniPath, const QString &key) {
    QSettings settings(iniPath, QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
    return settings.value(key);
}

} // namespace

class tst_TovarinConfig : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void selectedTools_data();
    void selectedTools();
    void abandonedTools_data();
    void abandonedTools();
    void keepLists_data();
    void keepLists();
    void closePopSetting_data();
    void closePopSetting();
    void valuesSurviveWriteAndRead_data();
    void valuesSurviveWriteAndRead();
    void emptyCaptionMarkedOnce_data();
    void emptyCaptionMarkedOnce();
    void repeatedShowKeepsEachToolOnce_data();
    void repeatedShowKeepsEachToolOnce();
    void missingFiles_data();
    void missingFiles();

private:
    QString stationFile(const QString &name) const { return m_station->path() + QLatin1Char('/') + name; }

    std::unique_ptr<QTemporaryDir> m_station;
    QString m_previousCurrent;
};

void tst_TovarinConfig::init() {
    m_station.reset(new QTemporaryDir);
    QVERIFY(m_station->isValid());
    ApplicationFolder::setPathForTesting(m_station->path());
    // The log folder goes under the working directory: keep it in the station too.
    m_previousCurrent = QDir::currentPath();
    QDir::setCurrent(m_station->path());
}

void tst_TovarinConfig::cleanup() {
    QDir::setCurrent(m_previousCurrent);
    ApplicationFolder::setPathForTesting(QString());
    m_station.reset();
}

void tst_TovarinConfig::selectedTools_data() {
    QTest::addColumn<IdMap>("idOverrides");
    QTest::addColumn<QByteArray>("selection");
    QTest::addColumn<QStringList>("production");
    QTest::addColumn<QStringList>("auxiliary");
    QTest::addColumn<QStringList>("nvrDvr");

    QTest::newRow("one tool") << QMap<QString, QString>() << QByteArray("tool1=101\n")
                              << QStringList{"IPCProductCheck"} << QStringList() << QStringList();
    QTest::newRow("each group") << QMap<QString, QString>()
                                << QByteArray("tool1=103\ntool2=105\ntool3=115\ntool4=116\n")
                                << QStringList{"JBM"} << QStringList{"IPCamSuite", "WifiConnectTool"}
                                << QStringList{"MACSetting"};
    QTest::newRow("empty and one-character values ignored")
        << QMap<QString, QString>() << QByteArray("tool1=1\ntool2=\ntool3=104\ntool4=-\n")
        << QStringList{"IPCTestMulti"} << QStringList() << QStringList();
    QTest::newRow("unknown id selects nothing") << QMap<QString, QString>() << QByteArray("tool1=999\n")
                                                << QStringList() << QStringList() << QStringList();
    QTest::newRow("two tools with one id")
        << QMap<QString, QString>{{"BPC", "101"}} << QByteArray("tool1=101\n")
        << QStringList{"IPCProductCheck", "BPC"} << QStringList() << QStringList();
    QTest::newRow("ten or more ordered by key text")
        << QMap<QString, QString>()
        << QByteArray("tool1=101\ntool2=104\ntool3=106\ntool4=107\ntool5=108\ntool6=109\ntool7=110\n"
                      "tool8=111\ntool9=112\ntool10=113\ntool11=114\n")
        << QStringList{"IPCProductCheck", "PPCPackage",      "WeightCheck",   "IPCTestMulti",
                       "WifiModuleTest",  "XVRProductCheck", "PPCFocus",      "PPCAirTight",
                       "CompareLabel",    "PrintSNLabel",    "BoxWeightCheck"}
        << QStringList() << QStringList();
}

void tst_TovarinConfig::selectedTools() {
    QFETCH(IdMap, idOverrides);
    QFETCH(QByteArray, selection);
    QFETCH(QStringList, production);
    QFETCH(QStringList, auxiliary);
    QFETCH(QStringList, nvrDvr);

    writeFile(stationFile("CONFIGSET.ini"), configSet(QByteArray(), idOverrides));
    writeFile(stationFile("MAINSET.ini"), "[SelectedTools]\n" + selection);

    Tovarin w;
    QVERIFY(w.openMainConfig());
    w.readMainConfig();
    QCOMPARE(keysOf(w.m_vecProductionTools), production);
    QCOMPARE(keysOf(w.m_vecAuxiliaryTools), auxiliary);
    QCOMPARE(keysOf(w.m_vecNvrDvrTools), nvrDvr);
    for (const toolButtonInfo &info : w.m_vecProductionTools + w.m_vecAuxiliaryTools + w.m_vecNvrDvrTools)
        QVERIFY(!info.m_bSelectMode);

    // The page shows them in the same order, production group first.
    w.slotSetProductionTools();
    QCOMPARE(keysOnPage(w), production + auxiliary + nvrDvr);
    for (const QString &key : production + auxiliary + nvrDvr)
        QVERIFY(checkTile(w, key)->m_btnInfo.m_bSelected);
}

void tst_TovarinConfig::abandonedTools_data() {
    QTest::addColumn<QByteArray>("abandon");
    QTest::addColumn<QStringList>("notOpen");

    QTest::newRow("none") << QByteArray() << QStringList();
    QTest::newRow("one id") << QByteArray("[AbandonID]\na=103\n") << QStringList{"IPCamSuite"};
    QTest::newRow("short values ignored")
        << QByteArray("[AbandonID]\na=1\nb=\nc=110\n") << QStringList{"CompareLabel"};
    QTest::newRow("case matters") << QByteArray("[AbandonID]\nx=abc\n") << QStringList();
}

void tst_TovarinConfig::abandonedTools() {
    QFETCH(QByteArray, abandon);
    QFETCH(QStringList, notOpen);

    writeFile(stationFile("CONFIGSET.ini"), configSet(abandon, {{"JBM", "ABC"}}));
    writeFile(stationFile("MAINSET.ini"), "[SelectedTools]\ntool1=103\ntool2=110\n");
    Tovarin w;
    for (const QString &key : kToolKeys) {
        const toolButtonInfo info = checkTile(w, key)->m_btnInfo;
        QCOMPARE(info.m_eUpgradeStatus,
                 notOpen.contains(key) ? UPGRADE_STATUS_NOT_OPEN : UPGRADE_STATUS_NORMAL);
        QCOMPARE(info.m_szToolPath, "./" + key + "/");
        QCOMPARE(info.m_szExeName, key);
    }

    // A withdrawn tool keeps its state on the tool page even though it is selected.
    QVERIFY(w.openMainConfig());
    w.readMainConfig();
    w.slotSetProductionTools();
    for (toolButton *tile : w.m_vecToolButtons) {
        QCOMPARE(tile->m_btnInfo.m_eUpgradeStatus, notOpen.contains(tile->m_btnInfo.m_szToolKey)
                                                       ? UPGRADE_STATUS_NOT_OPEN
                                                       : UPGRADE_STATUS_NORMAL);
    }
}

void tst_TovarinConfig::keepLists_data() {
    QTest::addColumn<QByteArray>("groups");
    QTest::addColumn<QStringList>("bpcKeep");
    QTest::addColumn<QStringList>("jbmKeep");

    QTest::newRow("none") << QByteArray() << QStringList() << QStringList();
    QTest::newRow("per tool") << QByteArray("[BPCUnupdate]\na=config.ini\nb=data\n[JBMUnupdate]\nk=x\n")
                              << QStringList{"config.ini", "data"} << QStringList();
    QTest::newRow("long values only")
        << QByteArray("[JBMUnupdate]\na=db\nb=z\n") << QStringList() << QStringList{"db"};
}

void tst_TovarinConfig::keepLists() {
    QFETCH(QByteArray, groups);
    QFETCH(QStringList, bpcKeep);
    QFETCH(QStringList, jbmKeep);

    writeFile(stationFile("CONFIGSET.ini"), configSet(groups));
    Tovarin w;
    QCOMPARE(checkTile(w, "BPC")->m_btnInfo.m_listUnupdate, bpcKeep);
    QCOMPARE(checkTile(w, "JBM")->m_btnInfo.m_listUnupdate, jbmKeep);
    QVERIFY(checkTile(w, "IPCProductCheck")->m_btnInfo.m_listUnupdate.isEmpty());
}

void tst_TovarinConfig::closePopSetting_data() {
    QTest::addColumn<QByteArray>("mainSet");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QString>("stored");

    QTest::newRow("absent is created as true")
        << QByteArray("[UserInfo]\nUserPosition=A\n") << true << "true";
    QTest::newRow("empty file") << QByteArray() << true << "true";
    QTest::newRow("false is kept") << QByteArray("[UISetting]\nbClosePop=false\n") << false << "false";
    QTest::newRow("true is kept") << QByteArray("[UISetting]\nbClosePop=true\n") << true << "true";
}

void tst_TovarinConfig::closePopSetting() {
    QFETCH(QByteArray, mainSet);
    QFETCH(bool, expected);
    QFETCH(QString, stored);

    writeFile(stationFile("CONFIGSET.ini"), configSet());
    writeFile(stationFile("MAINSET.ini"), mainSet);
    Tovarin w;
    w.m_bClosePop = !expected;
    QVERIFY(w.openMainConfig());
    w.readMainConfig();
    QCOMPARE(w.m_bClosePop, expected);
    QCOMPARE(readBack(stationFile("MAINSET.ini"), "UISetting/bClosePop").toString(), stored);
    // Whatever was there before is untouched.
    if (mainSet.contains("UserPosition"))
        QCOMPARE(readBack(stationFile("MAINSET.ini"), "UserInfo/UserPosition").toString(), QString("A"));

    // The check box of the close confirmation switches it and stores it at once.
    w.slotRecordCloseWidgetBan(expected);
    QCOMPARE(w.m_bClosePop, !expected);
    QCOMPARE(readBack(stationFile("MAINSET.ini"), "UISetting/bClosePop").toString(),
             expected ? QString("false") : QString("true"));
}

void tst_TovarinConfig::valuesSurviveWriteAndRead_data() {
    QTest::addColumn<QString>("station");
    QTest::addColumn<QString>("productName");
    QTest::addColumn<QString>("ownerName");

    QTest::newRow("plain") << "A1"
                           << "IPC-100"
                           << "Dealer";
    QTest::newRow("commas") << "L1,L2"
                            << "a,b,c"
                            << "深圳,客户";
    QTest::newRow("chinese and quotes") << "W\"1\""
                                        << "测试产品 \"一号\""
                                        << "经销商；分号;semicolon";
    QTest::newRow("leading and trailing blanks") << "<x>"
                                                 << "  padded  "
                                                 << " 客户 ";
    QTest::newRow("equals and brackets") << "a:b.c_d"
                                         << "k=v [x]"
                                         << "#not a comment";
}

void tst_TovarinConfig::valuesSurviveWriteAndRead() {
    QFETCH(QString, station);
    QFETCH(QString, productName);
    QFETCH(QString, ownerName);

    writeFile(stationFile("CONFIGSET.ini"), configSet());
    writeFile(stationFile("MAINSET.ini"), "[SelectedTools]\ntool1=103\n");
    {
        Tovarin w;
        QVERIFY(w.openMainConfig());
        w.readMainConfig();
        w.ui->lineEditPosition->setText(station);
        w.ui->lineEditLine->setText(station);
        w.ui->lineEditWork->setText(station);
        w.on_btnConfrim_clicked();

        // A tool usable with any product records the current choice, whatever it is.
        w.m_productInfo.m_szProductName = productName;
        w.m_productInfo.m_szLocalPath = stationFile(productName);
        w.m_iOwnerId = 42;
        w.m_szOwnerName = ownerName;
        w.slotProcessOpen(checkTile(w, "IPCamSuite")->m_btnInfo);
    }

    const QString mainSet = stationFile("MAINSET.ini");
    QCOMPARE(readBack(mainSet, "FAST_CONF/lastConf").toString(), productName);
    QCOMPARE(readBack(mainSet, "FAST_CONF/lastLocalPath").toString(), stationFile(productName));
    QCOMPARE(readBack(mainSet, "Owner/Name").toString(), ownerName);
    QCOMPARE(readBack(mainSet, "Owner/ID").toString(), QString("42"));
    QCOMPARE(readBack(mainSet, "FAST_CONF/ConfType").toString(), QString("1"));
    QCOMPARE(readBack(mainSet, "FAST_CONF/ConfOLType").toString(), QString("1"));

    Tovarin again;
    QVERIFY(again.openMainConfig());
    again.readMainConfig();
    QCOMPARE(again.m_szUserPosition, station);
    QCOMPARE(again.m_szUserLinePosition, station);
    QCOMPARE(again.m_szUserWorkPosition, station);
    QCOMPARE(keysOf(again.m_vecAuxiliaryTools), QStringList{"IPCamSuite"});
}

void tst_TovarinConfig::emptyCaptionMarkedOnce_data() {
    QTest::addColumn<QByteArray>("userInfo");
    QTest::addColumn<bool>("positionMarked");
    QTest::addColumn<bool>("lineMarked");
    QTest::addColumn<bool>("workMarked");

    QTest::newRow("all empty") << QByteArray() << true << true << true;
    QTest::newRow("work empty") << QByteArray("UserPosition=P\nUserLinePosition=L\n") << false << false
                                << true;
    QTest::newRow("complete") << QByteArray("UserPosition=P\nUserLinePosition=L\nUserWorkPosition=W\n")
                              << false << false << false;
}

void tst_TovarinConfig::emptyCaptionMarkedOnce() {
    QFETCH(QByteArray, userInfo);
    QFETCH(bool, positionMarked);
    QFETCH(bool, lineMarked);
    QFETCH(bool, workMarked);

    writeFile(stationFile("CONFIGSET.ini"), configSet());
    writeFile(stationFile("MAINSET.ini"), "[UserInfo]\n" + userInfo);
    Tovarin w;
    const Ui::frameTop *top = w.ui->widgetTop->ui;
    const QString position = top->labelPosition->text();
    const QString line = top->labelLinePos->text();
    const QString work = top->labelWorkPos->text();
    for (int show = 0; show < 3; ++show) {
        QVERIFY(w.openMainConfig());
        w.readMainConfig();
    }
    QCOMPARE(top->labelPosition->text(), positionMarked ? position + "-" : position);
    QCOMPARE(top->labelLinePos->text(), lineMarked ? line + "-" : line);
    QCOMPARE(top->labelWorkPos->text(), workMarked ? work + "-" : work);
    QCOMPARE(top->labelPositionInfo->text(), w.m_szUserPosition);
    QCOMPARE(top->labelWorkPosInfo->text(), w.m_szUserWorkPosition);

    // Confirming a value takes the mark off its caption.
    w.ui->lineEditPosition->setText("P2");
    w.ui->lineEditLine->setText("L2");
    w.ui->lineEditWork->setText("W2");
    w.on_btnConfrim_clicked();
    QCOMPARE(top->labelPosition->text(), position);
    QCOMPARE(top->labelLinePos->text(), line);
    QCOMPARE(top->labelWorkPos->text(), work);
    QCOMPARE(top->labelLinePosInfo->text(), QString("L2"));
}

void tst_TovarinConfig::repeatedShowKeepsEachToolOnce_data() {
    QTest::addColumn<int>("how");
    QTest::addColumn<QByteArray>("selection");

    enum { HideShow, MinimiseRestore, ShowEvents };
    const QByteArray tools = "tool1=101\ntool2=104\ntool3=103\ntool4=105\n";
    QTest::newRow("hide and show") << int(HideShow) << tools;
    QTest::newRow("minimise and restore") << int(MinimiseRestore) << tools;
    QTest::newRow("spontaneous show events") << int(ShowEvents) << tools;
    QTest::newRow("shared id") << int(ShowEvents) << QByteArray("tool1=101\n");
}

void tst_TovarinConfig::repeatedShowKeepsEachToolOnce() {
    QFETCH(int, how);
    QFETCH(QByteArray, selection);

    const bool sharedId = !selection.contains("104");
    writeFile(stationFile("CONFIGSET.ini"),
              configSet(QByteArray(),
                        sharedId ? QMap<QString, QString>{{"JBM", "101"}} : QMap<QString, QString>()));
    writeFile(stationFile("MAINSET.ini"),
              "[UserInfo]\nUserPosition=P\nUserLinePosition=L\nUserWorkPosition=W\n"
              "[SelectedTools]\n" +
                  selection);
    Tovarin w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_COMPARE(w.ui->widgetMain->currentWidget(), w.ui->qwidgetTool);
    const QStringList first = keysOnPage(w);
    QCOMPARE(first.size(), sharedId ? 2 : 4);

    for (int round = 0; round < 3; ++round) {
        if (how == 0) {
            w.hide();
            w.show();
        } else if (how == 1) {
            w.showMinimized();
            QCoreApplication::processEvents();
            w.showNormal();
        } else {
            QShowEvent event;
            QCoreApplication::sendEvent(&w, &event);
        }
        QCoreApplication::processEvents();
    }

    // Switching pages places the committed lists again.
    w.slotBtnConfigClicked();
    QCOMPARE(w.ui->widgetMain->currentWidget(), w.ui->qwidgetConfig);
    w.slotBtnProductClicked();
    QCOMPARE(w.ui->widgetMain->currentWidget(), w.ui->qwidgetTool);
    QCOMPARE(keysOnPage(w), first);
    QCOMPARE(w.m_vecProductionTools.size() + w.m_vecAuxiliaryTools.size() + w.m_vecNvrDvrTools.size(),
             first.size());
}

void tst_TovarinConfig::missingFiles_data() {
    QTest::addColumn<bool>("withConfigSet");
    QTest::addColumn<bool>("withMainSet");

    QTest::newRow("no CONFIGSET.ini") << false << true;
    QTest::newRow("no MAINSET.ini") << true << false;
    QTest::newRow("neither") << false << false;
}

void tst_TovarinConfig::missingFiles() {
    QFETCH(bool, withConfigSet);
    QFETCH(bool, withMainSet);

    if (withConfigSet)
        writeFile(stationFile("CONFIGSET.ini"), configSet());
    if (withMainSet)
        writeFile(stationFile("MAINSET.ini"), "[UserInfo]\nUserPosition=P\nUserLinePosition="
                                              "L\nUserWorkPosition=W\n[SelectedTools]\ntool1=101\n");
    Tovarin w;
    QCOMPARE(w.iniConfigOpenRead(), withConfigSet);
    QCOMPARE(w.openMainConfig(), withMainSet);
    // Without ids no tile can be chosen; without MAINSET.ini the station stays empty.
    for (toolButton *tile : w.m_vecConfigButtons)
        QCOMPARE(tile->m_btnInfo.m_szToolId.isEmpty(), !withConfigSet);

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_COMPARE(w.ui->widgetMain->currentWidget(), w.ui->qwidgetConfig);
    QVERIFY(w.m_vecToolButtons.isEmpty());
    QCOMPARE(w.m_szUserPosition.isEmpty(), !withMainSet);
}

QTEST_MAIN(tst_TovarinConfig)
#include "tst_tovarinconfig.moc"
