#include "imageresources.h"
#include "toolbutton.h"
#include "widgetprobe.h"

#include <QSignalSpy>

namespace {
const QString kId = QStringLiteral("1024");

toolButtonInfo record(bool selectMode, const QString &id, UPGRADESTATUS_E status, bool selected = false) {
    toolButtonInfo info;
    info.m_szToolName = QStringLiteral("常电成品测试");
    info.m_szToolKey = QStringLiteral("IPCProductCheck");
    info.m_szExeName = QStringLiteral("IPCProductCheck");
    info.m_szToolId = id;
    info.m_szToolPath = QStringLiteral("./IPCProductCheck/");
    info.m_bSelectMode = selectMode;
    info.m_eUpgradeStatus = status;
    info.m_bSelected = selected;
    info.m_listUnupdate = QStringList{QStringLiteral("config.ini")};
    return info;
}

QPushButton *body(toolButton &tile) {
    return child<QPushButton>(tile, "btnMain");
}
} // namespace

class TestToolButton : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void newRecordDefaults();
    void statusLook_data();
    void statusLook();
    void press_data();
    void press();
    void checkTileToggle_data();
    void checkTileToggle();
    void cornerButtons_data();
    void cornerButtons();
    void setBtnInfoKeepsOtherFields();
    void redrawDoesNotStore();
    void icon_data();
    void icon();
    void queuedSignalCarriesRecord();
};

void TestToolButton::newRecordDefaults() {
    const toolButtonInfo info;
    QVERIFY(info.m_szToolName.isEmpty() && info.m_szToolKey.isEmpty() && info.m_szExeName.isEmpty());
    QVERIFY(info.m_szToolId.isEmpty() && info.m_szToolPath.isEmpty() && info.m_listUnupdate.isEmpty());
    QCOMPARE(info.m_bSelectMode, false);
    QCOMPARE(int(info.m_eElectricType), 1);
    QCOMPARE(int(info.m_eUpgradeStatus), 0);
    QCOMPARE(info.m_bSelected, false);
    QCOMPARE(int(info.m_ePlaceType), 0);
}

void TestToolButton::statusLook_data() {
    QTest::addColumn<bool>("selectMode");
    QTest::addColumn<int>("before"); // the status drawn first, for another tool
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("badge"); // empty: no badge
    QTest::addColumn<QString>("badgeSuffix");
    QTest::addColumn<bool>("update");
    QTest::addColumn<bool>("download");

    for (bool mode : {false, true}) {
        const auto row = [mode](const char *name, const QString &id, int status, const char *badge,
                                const char *colour, bool update, bool download, int before = 5) {
            QTest::addRow("%s %s", mode ? "check" : "launcher", name)
                << mode << before << id << status << QString::fromUtf8(badge)
                << (*colour ? QStringLiteral("background-color: %1;").arg(QLatin1String(colour)) : QString())
                << update << download;
        };
        row("normal", kId, 0, "", "", false, false);
        row("upgradable", kId, 1, "可升级", "#FFBE2A", true, false);
        row("not downloaded", kId, 2, "", "", false, true);
        row("download failed", kId, 3, "下载失败", "#FF0000", false, true);
        row("upgrade failed", kId, 4, "升级失败", "#FF0000", true, false);
        row("upgrading", kId, 5, "升级中", "#447AF0", false, false);
        row("new", kId, 6, "NEW", "#5AD8A6", false, false);
        row("not open", kId, 7, "", "", false, false);
        // Without an id the tile is drawn as not open whatever its status says.
        row("upgradable without id", QString(), 1, "", "", false, false);
        row("download failed with one-character id", "7", 3, "", "", false, false);
        // A status it does not know leaves the elements drawn before; name and icon follow the record.
        if (!mode) {
            row("unknown status after upgradable", kId, 9, "可升级", "#FFBE2A", true, false, 1);
            row("unknown status after download failed", kId, 9, "下载失败", "#FF0000", false, true, 3);
            row("unknown status after normal", kId, 9, "", "", false, false, 0);
        }
    }
}

void TestToolButton::statusLook() {
    QFETCH(bool, selectMode);
    QFETCH(int, before);
    QFETCH(QString, id);
    QFETCH(int, status);
    QFETCH(QString, badge);
    QFETCH(QString, badgeSuffix);
    QFETCH(bool, update);
    QFETCH(bool, download);

    toolButton tile;
    auto *labStatus = child<QLabel>(tile, "labStatus");
    const QString baseStyle = labStatus->styleSheet();
    // Draw another tool with a different badge first, so the state style must replace rather than
    // extend it.
    toolButtonInfo other = record(selectMode, kId, UPGRADESTATUS_E(before));
    other.m_szToolName = QStringLiteral("调焦");
    other.m_szToolKey = QStringLiteral("PPCFocus");
    tile.setBtnInfo(other);
    tile.setBtnInfo(record(selectMode, id, UPGRADESTATUS_E(status)));

    QCOMPARE(labStatus->isVisibleTo(&tile), !badge.isEmpty());
    if (!badge.isEmpty()) {
        QCOMPARE(labStatus->text(), badge);
        QCOMPARE(labStatus->styleSheet(), baseStyle + badgeSuffix);
    }
    QCOMPARE(shownIn(tile, "btnUpdate"), update);
    QCOMPARE(shownIn(tile, "btnDownload"), download);
    QCOMPARE(labelText(tile, "labeName"), QStringLiteral("常电成品测试"));
    QVERIFY(!child<QLabel>(tile, "labePic")->pixmap(Qt::ReturnByValue).isNull());
}

void TestToolButton::press_data() {
    QTest::addColumn<bool>("firstMode"); // how the tile was drawn before
    QTest::addColumn<bool>("selectMode");
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("launches");
    QTest::addColumn<int>("notOpen");
    QTest::addColumn<bool>("selectedAfter");

    const QString id = kId;
    QTest::newRow("launcher starts the tool") << false << false << id << 0 << 1 << 0 << false;
    QTest::newRow("launcher being upgraded still asks") << false << false << id << 5 << 1 << 0 << false;
    QTest::newRow("launcher two-character id") << false << false << "12" << 0 << 1 << 0 << false;
    QTest::newRow("launcher empty id") << false << false << QString() << 0 << 0 << 1 << false;
    QTest::newRow("launcher one-character id") << false << false << "1" << 0 << 0 << 1 << false;
    QTest::newRow("launcher not open") << false << false << id << 7 << 0 << 1 << false;
    QTest::newRow("check tile toggles") << true << true << id << 0 << 0 << 0 << true;
    QTest::newRow("check tile empty id") << true << true << QString() << 0 << 0 << 1 << false;
    QTest::newRow("check tile not open") << true << true << id << 7 << 0 << 1 << false;
    // Redrawing in another role must drop the old press binding.
    QTest::newRow("launcher redrawn as check tile") << false << true << id << 0 << 0 << 0 << true;
    QTest::newRow("check tile redrawn as launcher") << true << false << id << 0 << 1 << 0 << false;
    QTest::newRow("not open redrawn as launcher") << false << false << id << 0 << 1 << 0 << false;
}

void TestToolButton::press() {
    QFETCH(bool, firstMode);
    QFETCH(bool, selectMode);
    QFETCH(QString, id);
    QFETCH(int, status);
    QFETCH(int, launches);
    QFETCH(int, notOpen);
    QFETCH(bool, selectedAfter);

    toolButton tile;
    // Drawn twice in its first role (and once not open) before the role under test.
    tile.setBtnInfo(record(firstMode, kId, UPGRADE_STATUS_NORMAL));
    tile.setBtnInfo(record(firstMode, QString(), UPGRADE_STATUS_NORMAL));
    tile.setBtnInfo(record(firstMode, kId, UPGRADE_STATUS_NORMAL));
    tile.setBtnInfo(record(selectMode, id, UPGRADESTATUS_E(status)));

    QSignalSpy launched(&tile, &toolButton::signalToolButtonClicked);
    QSignalSpy notOpened(&tile, &toolButton::signalToolNotOpen);
    QSignalSpy download(&tile, &toolButton::signalBtnDownloadClicked);
    QTest::mouseClick(body(tile), Qt::LeftButton);

    QCOMPARE(launched.count(), launches);
    QCOMPARE(notOpened.count(), notOpen);
    QCOMPARE(download.count(), 0);
    QCOMPARE(tile.m_btnInfo.m_bSelected, selectedAfter);
    if (launches) {
        const auto info = launched.first().first().value<toolButtonInfo>();
        QCOMPARE(info.m_szToolId, id);
        QCOMPARE(info.m_szToolPath, QStringLiteral("./IPCProductCheck/"));
        QCOMPARE(info.m_szExeName, QStringLiteral("IPCProductCheck"));
    }
    if (notOpen)
        QCOMPARE(notOpened.first().first().toString(), QStringLiteral("常电成品测试"));
}

void TestToolButton::checkTileToggle_data() {
    QTest::addColumn<bool>("selected");
    QTest::addColumn<int>("presses");
    QTest::addColumn<bool>("selectedAfter");
    QTest::addColumn<QString>("borderAfter"); // empty: the base style unchanged

    const QString blue = QStringLiteral("border: 2px solid #447AF0;");
    // Deselected by a press, the body is back on its base style (the tile draws the quiet edge).
    const QString deselected;
    QTest::newRow("drawn deselected") << false << 0 << false << QString();
    QTest::newRow("drawn selected") << true << 0 << true << blue;
    QTest::newRow("deselected, one press") << false << 1 << true << blue;
    QTest::newRow("deselected, two presses") << false << 2 << false << deselected;
    QTest::newRow("selected, one press") << true << 1 << false << deselected;
    QTest::newRow("selected, two presses") << true << 2 << true << blue;
    QTest::newRow("selected, three presses") << true << 3 << false << deselected;
}

void TestToolButton::checkTileToggle() {
    QFETCH(bool, selected);
    QFETCH(int, presses);
    QFETCH(bool, selectedAfter);
    QFETCH(QString, borderAfter);

    toolButton tile;
    const QString baseStyle = body(tile)->styleSheet();
    tile.setBtnInfo(record(true, kId, UPGRADE_STATUS_NORMAL, selected));
    QSignalSpy launched(&tile, &toolButton::signalToolButtonClicked);
    for (int i = 0; i < presses; ++i)
        QTest::mouseClick(body(tile), Qt::LeftButton);

    QCOMPARE(tile.m_btnInfo.m_bSelected, selectedAfter);
    QCOMPARE(body(tile)->styleSheet(), baseStyle + borderAfter);
    QCOMPARE(launched.count(), 0);
}

void TestToolButton::cornerButtons_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("status");
    QTest::newRow("update") << "btnUpdate" << 1;
    QTest::newRow("update after failed upgrade") << "btnUpdate" << 4;
    QTest::newRow("download") << "btnDownload" << 2;
    QTest::newRow("download after failed download") << "btnDownload" << 3;
}

void TestToolButton::cornerButtons() {
    QFETCH(QString, button);
    QFETCH(int, status);

    toolButton tile;
    tile.resize(232, 68);
    tile.setBtnInfo(record(false, kId, UPGRADESTATUS_E(status)));
    tile.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tile));
    QSignalSpy download(&tile, &toolButton::signalBtnDownloadClicked);
    QSignalSpy launched(&tile, &toolButton::signalToolButtonClicked);
    click(tile, qPrintable(button));

    QCOMPARE(download.count(), 1);
    QCOMPARE(launched.count(), 0);
    const auto info = download.first().first().value<toolButtonInfo>();
    QCOMPARE(info.m_szToolId, kId);
    QCOMPARE(int(info.m_eUpgradeStatus), status);
    QCOMPARE(info.m_listUnupdate, QStringList{QStringLiteral("config.ini")});
}

void TestToolButton::setBtnInfoKeepsOtherFields() {
    toolButton tile;
    tile.setBtnInfo(record(false, kId, UPGRADE_STATUS_UPGRADABLE));
    tile.setBtnInfo(QStringLiteral("调焦"), QStringLiteral("PPCFocus"), QStringLiteral("./PPCFocus/"), true,
                    ELECTRIC_TYPE_ANY, UPGRADE_STATUS_NEW, true, PLACE_TYPE_NVR_DVR);

    const toolButtonInfo &info = tile.m_btnInfo;
    QCOMPARE(info.m_szToolName, QStringLiteral("调焦"));
    QCOMPARE(info.m_szToolKey, QStringLiteral("PPCFocus"));
    QCOMPARE(info.m_szToolPath, QStringLiteral("./PPCFocus/"));
    QCOMPARE(info.m_bSelectMode, true);
    QCOMPARE(info.m_eElectricType, ELECTRIC_TYPE_ANY);
    QCOMPARE(info.m_eUpgradeStatus, UPGRADE_STATUS_NEW);
    QCOMPARE(info.m_bSelected, true);
    QCOMPARE(info.m_ePlaceType, PLACE_TYPE_NVR_DVR);
    QCOMPARE(info.m_szExeName, QStringLiteral("IPCProductCheck"));
    QCOMPARE(info.m_szToolId, kId);
    QCOMPARE(info.m_listUnupdate, QStringList{QStringLiteral("config.ini")});
    QCOMPARE(labelText(tile, "labStatus"), QStringLiteral("NEW"));

    tile.changeStatusLabel(UPGRADE_STATUS_UPGRADE_FAILED);
    QCOMPARE(tile.m_btnInfo.m_eUpgradeStatus, UPGRADE_STATUS_UPGRADE_FAILED);
    QCOMPARE(labelText(tile, "labStatus"), QStringLiteral("升级失败"));
}

void TestToolButton::redrawDoesNotStore() {
    toolButton tile;
    tile.setBtnInfo(record(false, kId, UPGRADE_STATUS_NORMAL));
    toolButtonInfo shown = record(false, QStringLiteral("2048"), UPGRADE_STATUS_NEW);
    shown.m_szToolName = QStringLiteral("调焦");
    tile.setToolBtnui(shown);

    QCOMPARE(labelText(tile, "labeName"), QStringLiteral("调焦"));
    QCOMPARE(tile.m_btnInfo.m_szToolId, kId);
    // Presses still report the stored record, not the drawn one.
    QSignalSpy launched(&tile, &toolButton::signalToolButtonClicked);
    QTest::mouseClick(body(tile), Qt::LeftButton);
    QCOMPARE(launched.count(), 1);
    QCOMPARE(launched.first().first().value<toolButtonInfo>().m_szToolName, QStringLiteral("常电成品测试"));
}

void TestToolButton::icon_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("hasIcon");
    QTest::newRow("known key") << "JBM" << true;
    QTest::newRow("key without picture") << "NoSuchTool" << false;
    QTest::newRow("empty key") << QString() << false;
}

void TestToolButton::icon() {
    QFETCH(QString, key);
    QFETCH(bool, hasIcon);

    toolButton tile;
    toolButtonInfo info = record(false, kId, UPGRADE_STATUS_NORMAL);
    info.m_szToolKey = key;
    tile.setBtnInfo(info);
    const QPixmap pic = child<QLabel>(tile, "labePic")->pixmap(Qt::ReturnByValue);
    QCOMPARE(!pic.isNull(), hasIcon);
    if (hasIcon)
        QCOMPARE(pic.size(), QSize(30, 30));
    QSignalSpy launched(&tile, &toolButton::signalToolButtonClicked);
    QTest::mouseClick(body(tile), Qt::LeftButton);
    QCOMPARE(launched.count(), 1);
}

// The main window connects by signature strings, some of them queued.
void TestToolButton::queuedSignalCarriesRecord() {
    toolButton tile;
    QVERIFY(QObject::connect(&tile, SIGNAL(signalToolButtonClicked(toolButtonInfo)), &tile,
                             SIGNAL(signalBtnDownloadClicked(toolButtonInfo)), Qt::QueuedConnection));
    QSignalSpy queued(&tile, SIGNAL(signalBtnDownloadClicked(toolButtonInfo)));
    tile.setBtnInfo(record(false, kId, UPGRADE_STATUS_NORMAL));
    QTest::mouseClick(body(tile), Qt::LeftButton);
    QVERIFY(queued.wait(2000));
    QCOMPARE(queued.first().first().value<toolButtonInfo>().m_szToolId, kId);
    QVERIFY(QMetaType::type("UPGRADESTATUS_E") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("ELECTRICTYPE_E") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("PLACETYPE_E") != QMetaType::UnknownType);
}

QTEST_MAIN(TestToolButton)
#include "tst_toolbutton.moc"
