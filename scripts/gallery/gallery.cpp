// Renders every widget in every state to PNG files, headless, for looking at the artwork and
// the forms. Not a test: run it through scripts/screenshots.sh.
//   widgetgallery <output folder>
#include "frametop.h"
#include "galleryshot.h"
#include "imageresources.h"
#include "messagebox.h"
#include "messagelabel.h"
#include "popclosewidget.h"
#include "poptextwidget.h"
#include "popwidget.h"
#include "sidebarbutton.h"
#include "toolbutton.h"
#include "ui_popwidget.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QTest>
#include <QVBoxLayout>

#include <functional>

namespace {
QDir g_outDir;
int g_written = 0;
const QColor kPage(0xF8, 0xF9, 0xFA);

void save(QWidget *widget, const QString &name, const QColor &ground = kPage, int zoom = 1) {
    g_written += saveShot(widget, g_outDir.filePath(name + QStringLiteral(".png")), ground, zoom);
}

struct Tool {
    const char *key;
    const char *name;
    ELECTRICTYPE_E power;
    PLACETYPE_E place;
};
const Tool kTools[] = {
    {"IPCProductCheck", "常电成品测试", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"BPC", "低功耗成品测试", ELECTRIC_TYPE_LOW_POWER, PLACE_TYPE_PRODUCTION},
    {"IPCamSuite", "搜索工具", ELECTRIC_TYPE_ANY, PLACE_TYPE_AUXILIARY},
    {"IPCTestMulti", "模组产测", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"MACSetting", "无线MAC烧录工具", ELECTRIC_TYPE_ANY, PLACE_TYPE_NVR_DVR},
    {"WifiModuleTest", "wifi吞吐量测试", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"XVRProductCheck", "打彩盒标贴标", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"PPCFocus", "调焦", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"PPCAirTight", "气密性测试", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"CompareLabel", "机身/彩盒标对比", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"PrintSNLabel", "打印SN标签", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"BoxWeightCheck", "外箱称重", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"PPCPackage", "装箱入库", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"WeightCheck", "彩盒称重", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"WifiConnectTool", "无线小工具助手", ELECTRIC_TYPE_ANY, PLACE_TYPE_AUXILIARY},
    {"JBM", "整箱出库", ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
};

toolButtonInfo recordFor(const Tool &tool, bool selectMode, UPGRADESTATUS_E status, bool selected) {
    toolButtonInfo info;
    info.m_szToolName = QString::fromUtf8(tool.name);
    info.m_szToolKey = QString::fromLatin1(tool.key);
    info.m_szToolId = QStringLiteral("1024");
    info.m_szExeName = info.m_szToolKey;
    info.m_szToolPath = QStringLiteral("./") + info.m_szToolKey + QStringLiteral("/");
    info.m_bSelectMode = selectMode;
    info.m_eElectricType = tool.power;
    info.m_eUpgradeStatus = status;
    info.m_bSelected = selected;
    info.m_ePlaceType = tool.place;
    return info;
}

// A tile alone, with a margin of page around it; hovered: as with the pointer on it.
void saveTile(const toolButtonInfo &info, const QSize &size, const QString &name, bool hovered = false,
              const QColor &ground = kPage) {
    QWidget page;
    page.setStyleSheet(QStringLiteral("background: transparent;"));
    auto *layout = new QVBoxLayout(&page);
    layout->setContentsMargins(12, 12, 12, 12);
    auto *tile = new toolButton(&page);
    tile->setFixedSize(size);
    tile->setBtnInfo(info);
    layout->addWidget(tile);
    page.adjustSize();
    if (hovered) {
        // Hover styles follow the real pointer: move it there.
        page.show();
        if (!QTest::qWaitForWindowExposed(&page))
            std::fprintf(stderr, "%s: not shown, drawn without the pointer\n", qPrintable(name));
        QWidget *body = tile->findChild<QWidget *>(QStringLiteral("btnMain"));
        QTest::mouseMove(body, body->rect().center());
        QTest::qWait(20);
    }
    save(&page, name, ground);
}

// All sixteen tools in rows of four, as a page shows them.
void saveTileGrid(const QString &name, const QColor &ground,
                  const std::function<toolButtonInfo(int)> &infoFor) {
    QWidget page;
    // The ground shows through: the page for launchers, the white card for check tiles.
    page.setStyleSheet(QStringLiteral("background: transparent;"));
    auto *grid = new QGridLayout(&page);
    grid->setContentsMargins(24, 24, 24, 24);
    grid->setSpacing(16);
    for (int i = 0; i < 16; ++i) {
        auto *tile = new toolButton(&page);
        tile->setFixedSize(232, 68);
        tile->setBtnInfo(infoFor(i));
        grid->addWidget(tile, i / 4, i % 4);
    }
    page.adjustSize();
    save(&page, name, ground);
}

void tiles() {
    const char *states[] = {"normal",        "upgradable", "notdownloaded", "downloadfailed",
                            "upgradefailed", "upgrading",  "new",           "notopen"};
    for (int s = 0; s <= 7; ++s) {
        const auto status = static_cast<UPGRADESTATUS_E>(s);
        saveTile(recordFor(kTools[0], false, status, true), QSize(232, 68),
                 QStringLiteral("tile_launcher_%1_%2").arg(s).arg(QLatin1String(states[s])));
        saveTile(recordFor(kTools[1], true, status, false), QSize(232, 68),
                 QStringLiteral("tile_check_%1_%2").arg(s).arg(QLatin1String(states[s])));
    }
    saveTile(recordFor(kTools[1], true, UPGRADE_STATUS_NORMAL, true), QSize(232, 68),
             QStringLiteral("tile_check_selected"));
    // Check tiles live on the setup page's white card.
    saveTile(recordFor(kTools[1], true, UPGRADE_STATUS_NORMAL, false), QSize(232, 68),
             QStringLiteral("tile_check_on_card"), false, Qt::white);
    saveTile(recordFor(kTools[1], true, UPGRADE_STATUS_NORMAL, false), QSize(232, 68),
             QStringLiteral("tile_check_hovered"), true, Qt::white);
    saveTile(recordFor(kTools[1], true, UPGRADE_STATUS_NORMAL, true), QSize(232, 68),
             QStringLiteral("tile_check_selected_hovered"), true, Qt::white);
    // The narrowest tile with the longest name and a button.
    saveTile(recordFor(kTools[4], false, UPGRADE_STATUS_UPGRADE_FAILED, true), QSize(192, 57),
             QStringLiteral("tile_launcher_smallest_upgradefailed"));
    saveTile(recordFor(kTools[4], false, UPGRADE_STATUS_NORMAL, true), QSize(192, 57),
             QStringLiteral("tile_launcher_smallest_normal"));

    // The whole set as the tool page would show it, states spread over the tiles.
    const UPGRADESTATUS_E spread[] = {UPGRADE_STATUS_NORMAL,          UPGRADE_STATUS_UPGRADABLE,
                                      UPGRADE_STATUS_NORMAL,          UPGRADE_STATUS_NEW,
                                      UPGRADE_STATUS_UPGRADING,       UPGRADE_STATUS_NORMAL,
                                      UPGRADE_STATUS_DOWNLOAD_FAILED, UPGRADE_STATUS_NORMAL,
                                      UPGRADE_STATUS_UPGRADE_FAILED,  UPGRADE_STATUS_NORMAL,
                                      UPGRADE_STATUS_NOT_DOWNLOADED,  UPGRADE_STATUS_NORMAL,
                                      UPGRADE_STATUS_NORMAL,          UPGRADE_STATUS_UPGRADABLE,
                                      UPGRADE_STATUS_NORMAL,          UPGRADE_STATUS_NORMAL};
    saveTileGrid(QStringLiteral("tiles_tool_page"), kPage,
                 [&](int i) { return recordFor(kTools[i], false, spread[i], true); });
    saveTileGrid(QStringLiteral("tiles_setup_page"), Qt::white, [](int i) {
        toolButtonInfo info = recordFor(kTools[i], true, UPGRADE_STATUS_NORMAL, i % 3 == 0);
        if (i == 15)
            info.m_szToolId.clear(); // not configured at this station
        return info;
    });
}

const QStringList kNotes{QStringLiteral("修复产测工具在部分机型上无法识别模组的问题"),
                         QStringLiteral("新增一键全部更新，升级过程更稳定"),
                         QStringLiteral("优化登录速度与网络状态提示")};

void popups() {
    const char *names[] = {"upgrade", "installing", "downloading"};
    for (int t = 0; t <= 2; ++t) {
        popWidget pop;
        pop.resize(900, 600);
        pop.slotSetPopUI(QStringLiteral("1.1.2.0"), kNotes, static_cast<popType>(t));
        save(&pop, QStringLiteral("popwidget_%1_%2").arg(t).arg(QLatin1String(names[t])));
    }
    {
        popWidget pop;
        pop.resize(900, 600);
        QStringList many;
        for (int i = 1; i <= 9; ++i)
            many << QStringLiteral("第%1项：优化工具页面显示与升级提示").arg(i);
        pop.slotSetPopUI(QStringLiteral("1.1.2.0"), many, POP_TYPE_UPGRADE);
        pop.findChild<QRadioButton *>(QStringLiteral("radioButton"))->setChecked(true);
        save(&pop, QStringLiteral("popwidget_0_upgrade_long_notes_checked"));
    }
    // The updater's copy is drawn by updatergallery.
    popCloseWidget close;
    close.resize(900, 600);
    save(&close, QStringLiteral("popclose"));
    close.ui->checkBox->setChecked(true);
    save(&close, QStringLiteral("popclose_checked"));
    // Where the window system cannot blend windows.
    close.setTranslucentLook(false);
    save(&close, QStringLiteral("popclose_opaque"));
    {
        popWidget pop;
        pop.resize(900, 600);
        pop.slotSetPopUI(QStringLiteral("1.1.2.0"), kNotes, POP_TYPE_UPGRADE);
        // Style changes reach a grab only once the widget was drawn.
        pop.grab();
        pop.setTranslucentLook(false);
        save(&pop, QStringLiteral("popwidget_0_upgrade_opaque"));
    }

    // Toasts broken and sized as the main window does it: a line per 40 characters, 40 pixels
    // a line, 426 wide or as wide as the longest line.
    const QString messages[] = {
        QStringLiteral("请选择产品后再开始产测"),
        QStringLiteral(
            "无线MAC烧录工具:工具未开放下载，请联系管理员在配置平台上架该工具的安装包后再试，"
            "或改用其他工具完成本工位的测试任务。如仍无法下载，请检查本机网络连接与服务器地址配置"),
    };
    const char *toastNames[] = {"toast_one_line", "toast_three_lines", "toast_one_line_opaque"};
    for (int i = 0; i < 3; ++i) {
        popTextWidget toast;
        toast.setTranslucentLook(i < 2);
        int lines = 1;
        toast.setLabelText(popTextWidget::breakLines(messages[i % 2], 40, &lines));
        toast.resize(qMax(426, toast.minimumSizeHint().width()), 40 * lines);
        save(&toast, QLatin1String(toastNames[i]));
    }
}

void chrome() {
    frameTop bar;
    bar.resize(1200, 56);
    bar.ui->labelPositionInfo->setText(QStringLiteral("A3"));
    bar.ui->labelLinePosInfo->setText(QStringLiteral("L02"));
    bar.ui->labelWorkPosInfo->setText(QStringLiteral("W-15"));
    bar.ui->labelAccountInfo->setText(QStringLiteral("zhang.wei"));
    save(&bar, QStringLiteral("frametop_values"));
    bar.ui->btnMessageBox->show();
    bar.ui->labelLinePos->setText(bar.ui->labelLinePos->text() + QStringLiteral("-"));
    bar.ui->labelLinePosInfo->clear();
    save(&bar, QStringLiteral("frametop_message_button_empty_line"));

    // The side bar column with both entries: one highlighted, one idle.
    QWidget column;
    // A bare background rule would cascade into the entries' labels; name the column.
    column.setObjectName(QStringLiteral("sideBar"));
    column.setStyleSheet(QStringLiteral("#sideBar { background-color: #FFFFFF; }"));
    auto *layout = new QVBoxLayout(&column);
    layout->setContentsMargins(6, 16, 6, 16);
    layout->setSpacing(12);
    auto *tools = new SideBarButton(&column);
    auto *config = new SideBarButton(&column);
    tools->ui->labelPic->setPixmap(
        QPixmap(QStringLiteral(":/product/resource/image/btnTool.png")).scaled(15, 13));
    tools->ui->labelText->setText(QStringLiteral("工具"));
    config->ui->labelPic->setPixmap(
        QPixmap(QStringLiteral(":/product/resource/image/btnConfig.png")).scaled(15, 13));
    config->ui->labelText->setText(QStringLiteral("配置"));
    layout->addWidget(tools);
    layout->addWidget(config);
    layout->addStretch();
    column.resize(56, 160);
    // Style changes of a never-shown widget reach a grab only after it was shown once.
    column.show();
    tools->mousePressEvent(nullptr);
    config->slotChangeToClickable();
    save(&column, QStringLiteral("sidebar_tools_highlighted"), Qt::white, 3);
    config->mousePressEvent(nullptr);
    tools->slotChangeToClickable();
    save(&column, QStringLiteral("sidebar_config_highlighted"), Qt::white, 3);
}

void messages() {
    messageBox panel;
    const struct {
        const char *title;
        TITLECOLOR_E color;
        const char *content;
    } entries[] = {
        {"升级成功", TITLE_COLOR_GREEN, "常电成品测试已升级到 2.3.1.0"},
        {"下载失败", TITLE_COLOR_RED, "低功耗成品测试的安装包下载失败，请检查网络后重试"},
        {"可升级", TITLE_COLOR_YELLOW, "调焦工具有新版本 1.4.0.2，可在工具页升级"},
        {"通知", TITLE_COLOR_BLUE, "本工位已切换到新的产品配置"},
        {"未知颜色", static_cast<TITLECOLOR_E>(7), "颜色值超出范围时标题使用默认颜色"},
    };
    for (const auto &entry : entries) {
        auto *label = new messageLabel;
        label->setMessageInfo(QString::fromUtf8(entry.title), entry.color,
                              QStringLiteral("2026-03-18 09:42:10"), QString::fromUtf8(entry.content));
        panel.m_listMessages << label;
    }
    panel.show();
    save(&panel, QStringLiteral("messagebox_entries"));
    panel.hide();

    messageBox empty;
    empty.show();
    save(&empty, QStringLiteral("messagebox_empty"));
    empty.hide();
}

// Every picture of the bundle, at its own size and enlarged, with its resource path.
void artwork() {
    QStringList paths;
    QDirIterator it(QStringLiteral(":/"), QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QLatin1String(".png")) && path.contains(QLatin1String("resource/image")))
            paths << path;
    }
    paths.sort();
    QWidget sheet;
    auto *grid = new QGridLayout(&sheet);
    grid->setContentsMargins(16, 16, 16, 16);
    grid->setHorizontalSpacing(24);
    int row = 0;
    for (const QString &path : qAsConst(paths)) {
        const QPixmap pic(path);
        auto *name = new QLabel(QStringLiteral("%1  (%2 × %3)").arg(path).arg(pic.width()).arg(pic.height()));
        auto *actual = new QLabel;
        actual->setPixmap(pic);
        auto *large = new QLabel;
        const int factor = pic.width() > 200 ? 1 : (pic.width() > 60 ? 2 : 3);
        large->setPixmap(pic.scaled(pic.size() * factor, Qt::KeepAspectRatio, Qt::FastTransformation));
        auto *dark = new QLabel;
        dark->setStyleSheet(QStringLiteral("background-color: rgb(43, 58, 90);"));
        dark->setPixmap(pic);
        grid->addWidget(name, row, 0);
        grid->addWidget(actual, row, 1);
        grid->addWidget(dark, row, 2);
        grid->addWidget(large, row, 3);
        ++row;
    }
    sheet.adjustSize();
    save(&sheet, QStringLiteral("artwork_bundle"), Qt::white);
}
} // namespace

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initImageResources();
    if (!openGalleryFolder(g_outDir, argc, argv))
        return 1;
    tiles();
    popups();
    chrome();
    messages();
    artwork();
    std::printf("%d pictures in %s\n", g_written, qPrintable(QFileInfo(g_outDir.path()).absoluteFilePath()));
    return g_written > 0 ? 0 : 1;
}
