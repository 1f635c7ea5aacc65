// Renders the launcher's main window to PNG files: the setup page empty and filled, the tool page
// with tiles in each group, its selectors' open lists, toasts raised through slotPopMessage, the
// close confirmation and the product catalogue.
// Not a test: run it through scripts/screenshots.sh.
//   windowgallery <output folder>            headless; pop-ups drawn over the window as the
//                                             design means them to look
//   windowgallery --screen <output folder>   shown on the display it finds (a virtual one under
//                                             Xvfb) and taken from the screen, so what the window
//                                             system really draws is seen ("screen_*.png")
// The window runs in a temporary station folder; every server address is a closed loopback port.
#include "applicationfolder.h"
#include "galleryshot.h"
#include "imageresources.h"
#include "popclosewidget.h"
#include "popselectwidget.h"
#include "poptextwidget.h"
#include "tovarin.h"
#include "ui_tovarin.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QPainter>
#include <QScreen>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
QDir g_outDir;
bool g_onScreen = false;
int g_written = 0;
QString g_station;
const QColor kDesk(0xC9, 0xCE, 0xD6);

const char *const kToolKeys[] = {
    "IPCProductCheck", "BPC",         "IPCamSuite",      "IPCTestMulti", "MACSetting",   "WifiModuleTest",
    "XVRProductCheck", "PPCFocus",    "PPCAirTight",     "CompareLabel", "PrintSNLabel", "BoxWeightCheck",
    "PPCPackage",      "WeightCheck", "WifiConnectTool", "JBM"};

QString idOf(const char *key) {
    for (int i = 0; i < 16; ++i) {
        if (qstrcmp(kToolKeys[i], key) == 0)
            return QString::number(101 + i);
    }
    return QString();
}

bool writeStationFile(const QString &name, const QByteArray &text) {
    QFile file(QDir(g_station).filePath(name));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

// A loopback port that nothing listens on: every request fails at once.
quint16 closedLoopbackPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 9;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

bool prepareStation() {
    QByteArray config = "[MainConfig]\nbEmpWorkCheck=false\n\n";
    for (const char *key : kToolKeys) {
        // The wireless helper is not configured at this station: its tile shows it as not open.
        const QByteArray id = qstrcmp(key, "WifiConnectTool") == 0 ? QByteArray() : idOf(key).toLatin1();
        config += QByteArray("[") + key + "]\nID=" + id + "\nPath=./" + key + "/\nExe=" + key + "\n\n";
    }
    // Mains configurations for the file selector's list.
    QDir(g_station).mkpath(QStringLiteral("IPCProductCheck/conf"));
    for (const char *name : {"DemoBulletCamera.ini", "DemoDomeCamera.ini", "DemoTurretCamera.ini"}) {
        if (!writeStationFile(QStringLiteral("IPCProductCheck/conf/") + QLatin1String(name),
                              "[PPCSet]\nCustomBrand=NORVEXA\n"))
            return false;
    }
    const QByteArray base = "http://127.0.0.1:" + QByteArray::number(closedLoopbackPort()) + "/";
    return writeStationFile(QStringLiteral("CONFIGSET.ini"), config) &&
           writeStationFile(QStringLiteral("serverConfig.ini"),
                            "[ServerDomainName]\nDomainName=" + base +
                                "\n\n[ServerManagerName]\nDomainName=" + base +
                                "\n\n[ServerPPCName]\nDomainName=" + base + "\n");
}

// Lets the start-up chain and the tool update check (which fail fast) run to their end.
void settle(int ms = 800) {
    QTest::qWait(ms);
}

std::unique_ptr<Tovarin> openWindow(const QByteArray &mainSet) {
    writeStationFile(QStringLiteral("MAINSET.ini"), mainSet);
    std::unique_ptr<Tovarin> w(new Tovarin);
    w->m_szAccount = QStringLiteral("zhang.wei");
    w->move(40, 40);
    w->show();
    if (!QTest::qWaitForWindowExposed(w.get()))
        std::fprintf(stderr, "the window was not shown\n");
    settle();
    return w;
}

// The window with its visible pop-ups drawn over it where they stand.
void saveWindow(Tovarin &w, const QString &name) {
    if (g_onScreen) {
        settle(400);
        QScreen *screen = QGuiApplication::primaryScreen();
        const QString path = g_outDir.filePath(QStringLiteral("screen_") + name + QStringLiteral(".png"));
        if (screen && screen->grabWindow(0).save(path))
            ++g_written;
        else
            std::fprintf(stderr, "cannot grab the screen into %s\n", qPrintable(path));
        return;
    }
    const QPixmap window = w.grab();
    QImage image(window.size(), QImage::Format_ARGB32);
    image.fill(kDesk);
    QPainter painter(&image);
    painter.drawPixmap(0, 0, window);
    const QList<QWidget *> popups{w.m_pPopSelectWidget, w.m_pPopCloseWidget, w.m_pPopWidget,
                                  w.m_pPopTextWidget};
    for (QWidget *popup : popups) {
        if (popup->isVisible())
            painter.drawPixmap(popup->pos() - w.pos(), popup->grab());
    }
    // An open selector's list is a window of its own. The headless screen is narrower than the
    // window, which pushes lists on its right to the left: drawn below their combo's left edge.
    for (QComboBox *combo : w.findChildren<QComboBox *>()) {
        QWidget *list = combo->view()->window();
        if (list != &w && list->isVisible())
            painter.drawPixmap(combo->mapTo(&w, QPoint()).x(), w.mapFromGlobal(list->pos()).y(),
                               list->grab());
    }
    painter.end();
    const QString path = g_outDir.filePath(QStringLiteral("window_") + name + QStringLiteral(".png"));
    if (image.save(path))
        ++g_written;
    else
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

QByteArray station(const QList<const char *> &tools) {
    QByteArray text = "[UserInfo]\nUserPosition=A3\nUserLinePosition=L02\nUserWorkPosition=W-15\n"
                      "[SelectedTools]\n";
    int i = 0;
    for (const char *key : tools)
        text += "tool" + QByteArray::number(++i) + "=" + idOf(key).toLatin1() + "\n";
    return text;
}

void setupPages() {
    {
        // A new station: nothing entered, nothing chosen.
        auto w = openWindow(QByteArray());
        saveWindow(*w, QStringLiteral("setup_empty"));
        w->ui->lineEditPosition->setText(QStringLiteral("A3"));
        w->ui->lineEditLine->setText(QStringLiteral("L02"));
        w->slotPopMessage(QObject::tr("请完整填写站位、线位、工位"));
        saveWindow(*w, QStringLiteral("setup_incomplete_toast"));
        w->m_pPopTextWidget->close();
    }
    {
        auto w =
            openWindow(station({"IPCProductCheck", "IPCTestMulti", "PPCFocus", "MACSetting", "IPCamSuite"}));
        w->slotBtnConfigClicked();
        settle(100);
        saveWindow(*w, QStringLiteral("setup_filled"));
    }
}

void toolPage() {
    auto w = openWindow(
        station({"IPCProductCheck", "BPC", "IPCTestMulti", "WifiModuleTest", "XVRProductCheck", "PPCFocus",
                 "PPCAirTight", "PrintSNLabel", "JBM", "IPCamSuite", "WifiConnectTool", "MACSetting"}));
    saveWindow(*w, QStringLiteral("tools"));

    // Tile states as the update check and the installer set them.
    w->slotTbtnChangeStatus(idOf("BPC"), UPGRADE_STATUS_UPGRADABLE);
    w->slotTbtnChangeStatus(idOf("IPCTestMulti"), UPGRADE_STATUS_NEW);
    w->slotTbtnChangeStatus(idOf("WifiModuleTest"), UPGRADE_STATUS_UPGRADING);
    w->slotTbtnChangeStatus(idOf("PPCAirTight"), UPGRADE_STATUS_DOWNLOAD_FAILED);
    w->slotTbtnChangeStatus(idOf("JBM"), UPGRADE_STATUS_UPGRADE_FAILED);
    w->slotTbtnChangeStatus(idOf("MACSetting"), UPGRADE_STATUS_NOT_DOWNLOADED);
    w->ui->btnAllUpgrade->show();
    saveWindow(*w, QStringLiteral("tools_states"));

    w->slotPopMessage(QObject::tr("请选择产品后再开始产测"));
    saveWindow(*w, QStringLiteral("tools_toast"));
    // Three lines: 81 characters and more.
    w->slotPopMessage(QStringLiteral(
        "无线MAC烧录工具:工具未开放下载，请联系管理员在配置平台上架该工具的安装包后再试，"
        "或改用其他工具完成本工位的测试任务。如仍无法下载，请检查本机网络连接与服务器地址配置"));
    saveWindow(*w, QStringLiteral("tools_toast_three_lines"));
    w->m_pPopTextWidget->close();

    w->slotPopWidgetClose();
    saveWindow(*w, QStringLiteral("close_confirmation"));
    w->m_pPopCloseWidget->close();

    // Each selector of the product card with its list open, the current item highlighted.
    const QList<QPair<QComboBox *, QString>> selectors{
        {w->ui->combSelectCon, QStringLiteral("list_source")},
        {w->ui->combSelectType, QStringLiteral("list_type")},
        {w->ui->combSelectCustmer, QStringLiteral("list_customer")}};
    w->ui->combSelectCustmer->clear();
    w->ui->combSelectCustmer->addItems({QStringLiteral("华东经销商"), QStringLiteral("华南经销商"),
                                        QStringLiteral("北方经销商"), QStringLiteral("请选择客户")});
    for (const auto &selector : selectors) {
        selector.first->showPopup();
        saveWindow(*w, selector.second);
        selector.first->hidePopup();
    }
    w->ui->combSelectType->setCurrentIndex(1);
    w->ui->combSelectFile->showPopup();
    saveWindow(*w, QStringLiteral("list_file"));
    w->ui->combSelectFile->hidePopup();

    // The catalogue from the cloud source: every request fails here, so its cards stay empty.
    w->ui->combSelectCon->setCurrentIndex(0);
    w->on_btnSelectProduct_clicked();
    settle(300);
    saveWindow(*w, QStringLiteral("catalogue"));
    w->m_pPopSelectWidget->close();

    w->slotPopWidgetUpgrade(QStringLiteral("1.1.2.0"),
                            QStringList{QStringLiteral("修复产测工具在部分机型上无法识别模组的问题"),
                                        QStringLiteral("新增一键全部更新，升级过程更稳定")},
                            POP_TYPE_UPGRADE);
    saveWindow(*w, QStringLiteral("upgrade_prompt"));
    w->m_pPopWidget->close();
}
} // namespace

int main(int argc, char *argv[]) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    g_onScreen = args.removeAll(QStringLiteral("--screen")) > 0;
    if (!g_onScreen)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The window's developer trace would bury the summary line.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    initImageResources();
    g_outDir.setPath(args.isEmpty() ? QStringLiteral("screenshots") : args.first());
    g_outDir.setPath(QFileInfo(g_outDir.path()).absoluteFilePath());
    if (!g_outDir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(g_outDir.path()));
        return 1;
    }

    QTemporaryDir station;
    if (!station.isValid())
        return 1;
    g_station = station.path();
    ApplicationFolder::setPathForTesting(g_station);
    const QString previousCurrent = QDir::currentPath();
    QDir::setCurrent(g_station);
    if (!prepareStation()) {
        std::fprintf(stderr, "cannot write the station files in %s\n", qPrintable(g_station));
        return 1;
    }

    setupPages();
    toolPage();

    QDir::setCurrent(previousCurrent);
    ApplicationFolder::setPathForTesting(QString());
    std::printf("%d pictures in %s\n", g_written, qPrintable(g_outDir.path()));
    return g_written > 0 ? 0 : 1;
}
