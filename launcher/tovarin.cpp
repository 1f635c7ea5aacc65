#include "tovarin.h"
#include "ui_tovarin.h"

#include "applicationfolder.h"
#include "frametop.h"
#include "globals.h"
#include "messagebox.h"
#include "platform.h"
#include "popclosewidget.h"
#include "popselectwidget.h"
#include "poptextwidget.h"
#include "sidebarbutton.h"

#include <QCheckBox>
#include <QDebug>
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QProcess>
#include <QPixmap>
#include <QPushButton>
#include <QRegExpValidator>
#include <QSettings>

Tovarin::Tovarin(QWidget *parent) : QMainWindow(parent), ui(new Ui::Tovarin) {
    qRegisterMetaType<UPGRADEPACKAGEINFO_S>("UPGRADEPACKAGEINFO_S");
    qRegisterMetaType<PRODUCTSHOWINFO_S>("PRODUCTSHOWINFO_S");
    registerToolButtonMetaTypes();

    ui->setupUi(this);
    // The title bar's own style sheet addresses it by its class's object name.
    ui->widgetTop->setObjectName(QStringLiteral("frameTop"));
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(tr("NORVEXA 产测工具"));

    m_pMessageBox = new messageBox();
    m_pPopWidget = new popWidget(this);
    m_pPopSelectWidget = new popSelectWidget(this);
    m_pPopCloseWidget = new popCloseWidget(this);
    m_pPopTextWidget = new popTextWidget(this);

    ui->btnProduct->ui->labelPic->setPixmap(
        QPixmap(":/product/resource/image/btnTool.png")
            .scaled(15, 13, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    ui->btnProduct->ui->labelText->setText(tr("工具"));
    ui->btnConfig->ui->labelPic->setPixmap(
        QPixmap(":/product/resource/image/btnConfig.png")
            .scaled(15, 13, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    ui->btnConfig->ui->labelText->setText(tr("配置"));

    // Writers work even before the file exists: the private-profile writer creates it.
    m_szMainSetPath = QFile::encodeName(resolveInAppFolder(QStringLiteral("MAINSET.ini")));

    if (QStringLiteral(TOVARIN_CLIENT) == QLatin1String("ORLEM"))
        setWindowIcon(QIcon(":/product/resource/image/LogoRed.png"));
    else if (QStringLiteral(TOVARIN_CLIENT) == QLatin1String("CLIENT"))
        setWindowIcon(QIcon(":/product/resource/image/LOGO.png"));

    m_validator =
        new QRegExpValidator(QRegExp(QStringLiteral("[A-Za-z0-9-_:,\"<>.]+"), Qt::CaseSensitive), this);
    ui->lineEditLine->setValidator(m_validator);
    ui->lineEditWork->setValidator(m_validator);
    ui->lineEditPosition->setValidator(m_validator);
    ui->lineEditEmployee->setValidator(m_validator);

    uiSetConfigPage();
    uiSetToolPage();
    iniConfigOpenRead();
    // The employee number is asked for only when the station check verifies it.
    ui->labEmployeeHint->setVisible(m_bEmpWorkCheck);
    ui->lineEditEmployee->setVisible(m_bEmpWorkCheck);

    m_pointWinPos = pos();

    frameTop *top = ui->widgetTop;
    connect(top, &frameTop::signalMoveEvent, this, &Tovarin::slotTopMoveEvent);
    connect(top, &frameTop::signalReleaseEvent, this, &Tovarin::slotTopReleaseEvent);
    connect(top->ui->btnClose, &QPushButton::pressed, this, &Tovarin::slotCloseWin);
    connect(top->ui->btnMinimize, &QPushButton::pressed, this, &Tovarin::slotWindowMinimizi);
    connect(ui->btnProduct, &SideBarButton::signalClicked, this, &Tovarin::slotBtnProductClicked);
    connect(ui->btnConfig, &SideBarButton::signalClicked, this, &Tovarin::slotBtnConfigClicked);
    connect(top->ui->btnMessageBox, &QPushButton::pressed, this, &Tovarin::slotBtnMessageBoxClicked);
    connect(m_pMessageBox, &messageBox::signalWidgetHide, this, &Tovarin::slotBtnMessageBoxClicked);
    connect(m_pPopWidget, &popWidget::signalRecordCurrentTime, this, &Tovarin::slotRecordCurrentTime);
    connect(m_pPopSelectWidget, &popSelectWidget::signalSelectedProduct, this, &Tovarin::slotProductChange);
    connect(m_pPopCloseWidget->ui->checkBox, &QCheckBox::clicked, this, &Tovarin::slotRecordCloseWidgetBan);
    connect(m_pPopCloseWidget->ui->btnConfirm, &QPushButton::pressed, this,
            &Tovarin::slotBtnCloseWidgetPopClose);
    connect(m_pPopWidget, &popWidget::signalClosePop, this, &Tovarin::slotPopWidgetUpgradeClose);
    connect(m_pPopWidget, &popWidget::signalContinueUpgrade, this, &Tovarin::slotMainAppDowloadUpgrade,
            Qt::QueuedConnection);
    connect(this, &Tovarin::signalShowEventFinished, this, &Tovarin::slotMainAppUpdataQuery);
    connect(this, &Tovarin::signalMainUpdataFinished, this, &Tovarin::slotToolAppUpdataLoopRequest,
            Qt::QueuedConnection);
    connect(&mTimerToolUpCheck, &QTimer::timeout, this, &Tovarin::slotmTimerToolUpCheck);
    connect(this, &Tovarin::signalToolForceOrFirstUpgrade, this, &Tovarin::slotToolForceOrFirstUpgrade);
    connect(&m_timerCheckDealer, &QTimer::timeout, this, &Tovarin::slotToCheckDealer);
    connect(&m_timerToolStart, &QTimer::timeout, this, &Tovarin::slotToolStartPoll);
}

Tovarin::~Tovarin() {
    // Start scripts still running are ended with the window: what they report must not reach
    // members that are gone by then.
    for (QProcess *script : findChildren<QProcess *>(QString(), Qt::FindDirectChildrenOnly))
        disconnect(script, nullptr, this, nullptr);
    delete m_pMessageBox;
    delete m_pMainSettings;
    delete ui;
}

QString Tovarin::resolveInAppFolder(const QString &relativePath) {
    return QDir::cleanPath(ApplicationFolder::path() + QLatin1Char('/') + relativePath);
}

bool Tovarin::writeMainSet(const QString &section, const QString &key, const QString &value) {
    return Platform::writeProfileString(m_szMainSetPath, section, key, value);
}

void Tovarin::refreshPopupLook() {
    const bool translucent = Platform::windowSystemBlendsTranslucency(QGuiApplication::platformName());
    m_pPopWidget->setTranslucentLook(translucent);
    m_pPopCloseWidget->setTranslucentLook(translucent);
    m_pPopTextWidget->setTranslucentLook(translucent);
    if (m_pPopSelectWidget)
        m_pPopSelectWidget->setTranslucentLook(translucent);
}

void Tovarin::slotLogRecord(QString message) {
    m_common.slotLogRecord(message);
}

void Tovarin::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);

    if (openMainConfig())
        readMainConfig();

    ui->widgetTop->ui->labelAccountInfo->setText(m_szAccount);

    // Set before the first wait: a minimise and restore during the dealer list must not run the
    // block again (dealers twice, a second update check). m_bFirstShow stays true until the
    // block ends, as the quiet start-up messages rely on it.
    if (m_bFirstShow && !m_bFirstShowStarted) {
        m_bFirstShowStarted = true;
        getDeviceOwnerList();
        for (const DEALERINFO_S &dealer : qAsConst(m_vecDealerInfo))
            ui->combSelectCustmer->addItem(dealer.m_szDealerName);
        ui->combSelectCustmer->addItem(QString());
        m_timerCheckDealer.setSingleShot(true);
        ui->combSelectCustmer->setCurrentIndex(-1);
        emit signalShowEventFinished();
        m_bFirstShow = false;
    }
}
