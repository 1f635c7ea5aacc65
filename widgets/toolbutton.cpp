#include "toolbutton.h"
#include "ui_toolbutton.h"

#include "plaintext.h"

#include <QPixmap>
#include <QProgressBar>
#include <QResizeEvent>

void registerToolButtonMetaTypes() {
    qRegisterMetaType<toolButtonInfo>("toolButtonInfo");
    qRegisterMetaType<UPGRADESTATUS_E>("UPGRADESTATUS_E");
    qRegisterMetaType<ELECTRICTYPE_E>("ELECTRICTYPE_E");
    qRegisterMetaType<PLACETYPE_E>("PLACETYPE_E");
}

namespace {
const char *const kSelectedBorder = "border: 2px solid #447AF0;";

// Check tiles sit on a white card: a deselected one gets a quiet edge and answers the pointer,
// so the operator sees where to press. The rules are the tile's own and reach the body only
// where the body's style sets no border of its own, so the selected border keeps its look.
const char *const kCheckTileEdge = "QPushButton#btnMain { border: 1px solid #DCE1EA; }";
const char *const kCheckTileHover = "QPushButton#btnMain:hover { border: 1px solid #94B4F6; }";

struct StatusLook {
    const char *text;       // badge text, null for no badge
    const char *background; // appended to the badge's base style
    bool update;
    bool download;
};

// Indexed by UPGRADESTATUS_E.
const StatusLook kStatusLooks[] = {
    {nullptr, nullptr, false, false},
    {QT_TRANSLATE_NOOP("toolButton", "可升级"), "background-color: #FFBE2A;", true, false},
    {nullptr, nullptr, false, true},
    {QT_TRANSLATE_NOOP("toolButton", "下载失败"), "background-color: #FF0000;", false, true},
    {QT_TRANSLATE_NOOP("toolButton", "升级失败"), "background-color: #FF0000;", true, false},
    {QT_TRANSLATE_NOOP("toolButton", "升级中"), "background-color: #447AF0;", false, false},
    {QT_TRANSLATE_NOOP("toolButton", "NEW"), "background-color: #5AD8A6;", false, false},
    {nullptr, nullptr, false, false},
};
} // namespace

toolButton::toolButton(QWidget *parent) : QWidget(parent), ui(new Ui::toolButton) {
    registerToolButtonMetaTypes();
    ui->setupUi(this);
    PlainText::keepPlain({ui->labeName});
    // Captured before any drawing, so state styles always extend the designer's base style.
    m_szStatusStyle = ui->labStatus->styleSheet();
    m_szMainStyle = ui->btnMain->styleSheet();
    ui->labePic->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui->labeName->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui->labStatus->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui->labStatus->hide();
    ui->btnUpdate->hide();
    ui->btnDownload->hide();

    // On the body, under the name, so presses still reach the body around it.
    m_pProgress = new QProgressBar(ui->btnMain);
    m_pProgress->setObjectName(QStringLiteral("progressInstall"));
    m_pProgress->setRange(0, 100);
    m_pProgress->setTextVisible(false);
    m_pProgress->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_pProgress->setStyleSheet(QStringLiteral("QProgressBar { border: none; border-radius: 1px; "
                                              "background-color: #E4EBFD; }"
                                              "QProgressBar::chunk { border-radius: 1px; "
                                              "background-color: #447AF0; }"));
    m_pProgress->hide();
}

toolButton::~toolButton() {
    delete ui;
}

void toolButton::setBtnInfo(toolButtonInfo info) {
    m_btnInfo = info;
    setToolBtnui(m_btnInfo);
}

void toolButton::setBtnInfo(QString name, QString key, QString path, bool selectMode,
                            ELECTRICTYPE_E electricType, UPGRADESTATUS_E upgradeStatus, bool selected,
                            PLACETYPE_E placeType) {
    m_btnInfo.m_szToolName = name;
    m_btnInfo.m_szToolKey = key;
    m_btnInfo.m_szToolPath = path;
    m_btnInfo.m_bSelectMode = selectMode;
    m_btnInfo.m_eElectricType = electricType;
    m_btnInfo.m_eUpgradeStatus = upgradeStatus;
    m_btnInfo.m_bSelected = selected;
    m_btnInfo.m_ePlaceType = placeType;
    setToolBtnui(m_btnInfo);
}

void toolButton::changeStatusLabel(UPGRADESTATUS_E status) {
    m_btnInfo.m_eUpgradeStatus = status;
    setToolBtnui(m_btnInfo);
}

void toolButton::setProgress(int percent) {
    if (percent < 0) {
        m_pProgress->hide();
        return;
    }
    m_pProgress->setValue(qMin(percent, 100));
    if (m_pProgress->isHidden()) {
        placeProgress();
        m_pProgress->show();
    }
}

int toolButton::progress() const {
    return m_pProgress->isHidden() ? -1 : m_pProgress->value();
}

void toolButton::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    placeProgress();
}

void toolButton::placeProgress() {
    // Inset from the card's rounded corners, close to its foot.
    const QRect body = ui->btnMain->rect();
    m_pProgress->setGeometry(12, body.height() - 8, qMax(0, body.width() - 24), 3);
}

void toolButton::bindPress(const char *slot) {
    disconnect(ui->btnMain, SIGNAL(pressed()), this, SLOT(slotOnBtnMainClicked()));
    disconnect(ui->btnMain, SIGNAL(pressed()), this, SLOT(slotOnBtnOpenEXE()));
    disconnect(ui->btnMain, SIGNAL(pressed()), this, SLOT(slotToolNotOpen()));
    connect(ui->btnMain, SIGNAL(pressed()), this, slot, Qt::UniqueConnection);
}

void toolButton::setToolBtnui(toolButtonInfo info) {
    // An id of one character or less means the tool is not configured at this station.
    int status = info.m_eUpgradeStatus;
    if (info.m_szToolId.length() <= 1)
        status = UPGRADE_STATUS_NOT_OPEN;

    QString edges;
    if (info.m_bSelectMode) {
        bindPress(SLOT(slotOnBtnMainClicked()));
        if (info.m_bSelected)
            ui->btnMain->setStyleSheet(m_szMainStyle + QLatin1String(kSelectedBorder));
        // A tool that is not open takes no selection: no invitation to press it.
        edges = QLatin1String(kCheckTileEdge);
        if (status != UPGRADE_STATUS_NOT_OPEN)
            edges += QLatin1Char(' ') + QLatin1String(kCheckTileHover);
    } else {
        bindPress(SLOT(slotOnBtnOpenEXE()));
    }
    if (styleSheet() != edges)
        setStyleSheet(edges);

    if (status >= UPGRADE_STATUS_NORMAL && status <= UPGRADE_STATUS_NOT_OPEN) {
        const StatusLook &look = kStatusLooks[status];
        if (look.text) {
            ui->labStatus->setText(tr(look.text));
            ui->labStatus->setStyleSheet(m_szStatusStyle + QLatin1String(look.background));
        }
        ui->labStatus->setVisible(look.text != nullptr);
        ui->btnUpdate->setVisible(look.update);
        ui->btnDownload->setVisible(look.download);
        if (status == UPGRADE_STATUS_NOT_OPEN)
            bindPress(SLOT(slotToolNotOpen()));
    }

    // A key without a picture leaves the icon area empty; the tile still works.
    const QPixmap pic(QStringLiteral(":/toolicon/resource/image/pic%1.png").arg(info.m_szToolKey));
    ui->labePic->setPixmap(pic.isNull() ? QPixmap()
                                        : pic.scaled(30, 30, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    ui->labeName->setText(info.m_szToolName);
    // Long names may be cut on narrow tiles; the full name stays at hand.
    ui->btnMain->setToolTip(PlainText::toolTip(info.m_szToolName));
}

void toolButton::slotOnBtnMainClicked() {
    m_btnInfo.m_bSelected = !m_btnInfo.m_bSelected;
    // Deselected, the body falls back to its base style and so to the check tile's quiet edge.
    ui->btnMain->setStyleSheet(m_btnInfo.m_bSelected ? m_szMainStyle + QLatin1String(kSelectedBorder)
                                                     : m_szMainStyle);
}

void toolButton::slotOnBtnOpenEXE() {
    emit signalToolButtonClicked(m_btnInfo);
}

void toolButton::slotToolNotOpen() {
    emit signalToolNotOpen(m_btnInfo.m_szToolName);
}

void toolButton::on_btnDownload_clicked() {
    emit signalBtnDownloadClicked(m_btnInfo);
}

void toolButton::on_btnUpdate_clicked() {
    emit signalBtnDownloadClicked(m_btnInfo);
}
