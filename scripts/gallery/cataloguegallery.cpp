// Renders the product catalogue and its cards as the operator sees them, against the stand-in
// server's demo catalogue. Not a test: run it through scripts/screenshots.sh.
//   cataloguegallery <output folder>
#include "applicationfolder.h"
#include "galleryshot.h"
#include "globals.h"
#include "imageresources.h"
#include "picturefetcher.h"
#include "popselectwidget.h"
#include "productshowwidget.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <functional>

namespace {
QDir g_outDir;
int g_written = 0;

void save(QWidget *widget, const QString &name) {
    g_written += saveShot(widget, g_outDir.filePath(name + QStringLiteral(".png")));
}

bool waitFor(const std::function<bool()> &done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    return true;
}

// The stand-in server with its demo data, for as long as the gallery runs.
class DemoServer {
public:
    bool start(const QString &folder) {
        const QString ready = folder + QStringLiteral("/ready.json");
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("python3"),
                        {QStringLiteral(TOVARIN_SOURCE_DIR "/devserver/devserver.py"),
                         QStringLiteral("--no-https"), QStringLiteral("--watch-stdin"),
                         QStringLiteral("--ready-file"), ready, QStringLiteral("--files"),
                         folder + QStringLiteral("/files")});
        if (!waitFor([&] { return QFileInfo::exists(ready); }, 20000))
            return false;
        QFile file(ready);
        file.open(QIODevice::ReadOnly);
        m_iPort = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("http")).toInt();
        return m_iPort > 0;
    }
    ~DemoServer() {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_iPort); }

private:
    QProcess m_process;
    int m_iPort = 0;
};

bool writeServerConfig(const QString &folder, const QString &base) {
    QFile f(folder + QStringLiteral("/serverConfig.ini"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(QStringLiteral("[ServerDomainName]\nDomainName=%1\n[ServerManagerName]\nDomainName=%1\n"
                                  "[ServerPPCName]\nDomainName=%1\n")
                       .arg(base)
                       .toUtf8()) > 0;
}

void catalogue(const QString &base, const QString &stationRoot) {
    // A fresh station: no pictures fetched yet.
    const QString station = stationRoot + QStringLiteral("/station");
    QDir().mkpath(station);
    writeServerConfig(station, base);
    ApplicationFolder::setPathForTesting(station);
    m_szLoginToken = QStringLiteral("tok-operator-0001");

    popSelectWidget dialog;
    auto *next = dialog.findChild<QPushButton *>(QStringLiteral("btnNext"));
    auto *search = dialog.findChild<QPushButton *>(QStringLiteral("btnSearch"));
    auto *text = dialog.findChild<QLineEdit *>(QStringLiteral("lineEditSearch"));
    auto *filter = dialog.findChild<QComboBox *>(QStringLiteral("combRelease"));
    auto pictures = [&] {
        return waitFor([&] { return dialog.pictureFetcher()->pendingCount() == 0; }, 15000);
    };
    auto card = [&](int i) { return dialog.findChildren<productShowWidget *>().at(i); };

    // The main window's sizes: below 1200 pixels wide, and from 1200 on.
    dialog.resize(1100, 800);
    dialog.slotSetMainWidgetSize(800, 720);
    dialog.show();
    // Taken before any event runs: the answer is in, the pictures are on their way.
    QTest::mouseClick(search, Qt::LeftButton);
    save(&dialog, QStringLiteral("catalogue_pictures_loading"));
    pictures();
    save(&dialog, QStringLiteral("catalogue_released"));
    QTest::mouseClick(next, Qt::LeftButton);
    pictures();
    save(&dialog, QStringLiteral("catalogue_released_page2"));
    QTest::mouseClick(next, Qt::LeftButton);
    pictures();
    save(&dialog, QStringLiteral("catalogue_released_page3"));

    filter->setCurrentIndex(1);
    pictures();
    save(&dialog, QStringLiteral("catalogue_prerelease"));
    filter->setCurrentIndex(0);
    pictures();
    QTest::mouseClick(card(1), Qt::LeftButton, {}, QPoint(40, 40));
    save(&dialog, QStringLiteral("catalogue_ticked"));

    dialog.resize(1440, 960);
    dialog.slotSetMainWidgetSize(960, 840);
    save(&dialog, QStringLiteral("catalogue_large"));

    text->setText(QStringLiteral("没有这个产品"));
    QTest::mouseClick(search, Qt::LeftButton);
    save(&dialog, QStringLiteral("catalogue_empty"));
    ApplicationFolder::setPathForTesting(QString());
}

PRODUCTSHOWINFO_S product(const QString &name, const QString &pid, RELEASETYPE_E type) {
    PRODUCTSHOWINFO_S info;
    info.m_szProductName = name;
    info.m_szPID = pid;
    info.m_szModel = QStringLiteral("CM-P2");
    info.m_szVersion = QStringLiteral("1.0.3");
    info.m_szCreatTime = QStringLiteral("2024-01-01");
    info.m_eReleaseType = type;
    return info;
}

void cards() {
    QWidget sheet;
    // Painted by palette: a style sheet on the sheet would take over the cards' own rules.
    QPalette page = sheet.palette();
    page.setColor(QPalette::Window, QColor(0xF8, 0xF9, 0xFA));
    sheet.setPalette(page);
    sheet.setAutoFillBackground(true);
    auto *grid = new QGridLayout(&sheet);
    grid->setContentsMargins(16, 16, 16, 16);
    grid->setSpacing(16);
    const struct {
        PRODUCTSHOWINFO_S info;
        bool ticked;
    } states[] = {
        {product(QStringLiteral("室内云台摄像机 P2"), QStringLiteral("D24010001"), RELEASE_TYPE_RELEASED),
         false},
        {product(QStringLiteral("室内云台摄像机 P2"), QStringLiteral("D24010001"), RELEASE_TYPE_RELEASED),
         true},
        {product(QStringLiteral("门铃摄像机 V2.EU 预发布"), QStringLiteral("D24010017"),
                 RELEASE_TYPE_PRE_RELEASE),
         false},
        {product(QStringLiteral("门铃摄像机 V2.EU 预发布"), QStringLiteral("D24010017"),
                 RELEASE_TYPE_PRE_RELEASE),
         true},
        {product(QStringLiteral("双光警戒枪机 W9 超长名称的定制版本 室外高清"), QStringLiteral("D24010015"),
                 RELEASE_TYPE_RELEASED),
         false},
        {product(QString(), QStringLiteral("D24010099"), RELEASE_TYPE_RELEASED), false},
    };
    int i = 0;
    for (const auto &state : states) {
        auto *card = new productShowWidget(&sheet);
        card->slotSetProductInfo(state.info);
        if (state.ticked)
            card->setCheckStatus();
        grid->addWidget(card, i / 2, i % 2);
        ++i;
    }
    sheet.adjustSize();
    save(&sheet, QStringLiteral("productcard_states"));
}
} // namespace

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initImageResources();
    if (!openGalleryFolder(g_outDir, argc, argv))
        return 1;
    cards();
    QTemporaryDir work;
    DemoServer server;
    if (!work.isValid() || !server.start(work.path())) {
        std::fprintf(stderr, "the stand-in server did not start\n");
        return 1;
    }
    catalogue(server.base(), work.path());
    std::printf("%d pictures in %s\n", g_written, qPrintable(QFileInfo(g_outDir.path()).absoluteFilePath()));
    return g_written > 0 ? 0 : 1;
}
