#include "productshowwidget.h"
#include "ui_productshowwidget.h"

#include "plaintext.h"

#include <QImageReader>
#include <QMouseEvent>
#include <QPixmap>

namespace {
struct BadgeLook {
    const char *text;
    const char *background;
};

// Indexed by RELEASETYPE_E.
const BadgeLook kBadgeLooks[] = {
    {"已发布", "background-color: qlineargradient(spread:pad, x1:0, y1:0, x2:1, y2:0, stop:0 "
               "rgba(107,243,189,1), stop:1 rgba(5,205,125,1));"},
    {"预发布", "background-color: qlineargradient(spread:pad, x1:0, y1:0, x2:1, y2:0, stop:0 "
               "rgba(120,161,255,1), stop:1 rgba(36,98,235,1));"},
};

constexpr int kPictureSide = 88;
// A picture file is small; one that claims more pixels than this is refused before decoding,
// so a hostile or broken file cannot stall the catalogue.
constexpr qint64 kMaxPicturePixels = 4096LL * 4096LL;

QPixmap loadPicture(const QString &path) {
    QImageReader reader(path);
    const QSize size = reader.size();
    if (!size.isValid() || qint64(size.width()) * size.height() > kMaxPicturePixels)
        return QPixmap();
    const QImage image = reader.read();
    if (image.isNull())
        return QPixmap();
    return QPixmap::fromImage(
        image.scaled(kPictureSide, kPictureSide, Qt::IgnoreAspectRatio, Qt::FastTransformation));
}
} // namespace

productShowWidget::productShowWidget(QWidget *parent) : QWidget(parent), ui(new Ui::productShowWidget) {
    qRegisterMetaType<PRODUCTSHOWINFO_S>("PRODUCTSHOWINFO_S");
    ui->setupUi(this);
    PlainText::keepPlain(
        {ui->labProNameInput, ui->labPidInput, ui->labModInput, ui->labVerInput, ui->labTimeInput});
    m_szReleaseStyle = ui->labelRelease->styleSheet();
    m_szCardStyle = ui->widget->styleSheet();
    // Presses anywhere on the card reach mousePressEvent, except on the tick box itself.
    for (QWidget *w : {static_cast<QWidget *>(ui->labPicture), static_cast<QWidget *>(ui->labelRelease)})
        w->setAttribute(Qt::WA_TransparentForMouseEvents);
    slotSetProductShowUI(m_product);
}

productShowWidget::~productShowWidget() {
    delete ui;
}

QString productShowWidget::shownName(const QString &productName) {
    const int dot = productName.indexOf(QLatin1Char('.'));
    return dot < 0 ? productName : productName.left(dot);
}

bool productShowWidget::isTickable(const PRODUCTSHOWINFO_S &info) {
    return !info.m_szPID.isEmpty() && !info.m_szProductName.isEmpty();
}

void productShowWidget::slotSetProductInfo(PRODUCTSHOWINFO_S info) {
    m_product = info;
    slotSetProductShowUI(m_product);
}

void productShowWidget::slotSetProductShowUI(PRODUCTSHOWINFO_S info) {
    ui->labProNameInput->setText(shownName(info.m_szProductName));
    ui->labPidInput->setText(info.m_szPID);
    ui->labModInput->setText(info.m_szModel);
    ui->labVerInput->setText(info.m_szVersion);
    ui->labTimeInput->setText(info.m_szCreatTime);
    // Names and ids longer than the card are cut; the whole text stays reachable.
    ui->labProNameInput->setToolTip(PlainText::toolTip(info.m_szProductName));
    ui->labPidInput->setToolTip(PlainText::toolTip(info.m_szPID));

    // A missing, broken or oversized file shows the default camera rather than a blank square.
    QPixmap picture = loadPicture(info.m_szPicPath);
    if (picture.isNull())
        picture = loadPicture(defaultPicture());
    ui->labPicture->setPixmap(picture);

    if (info.m_eReleaseType == RELEASE_TYPE_RELEASED || info.m_eReleaseType == RELEASE_TYPE_PRE_RELEASE) {
        const BadgeLook &look = kBadgeLooks[info.m_eReleaseType];
        ui->labelRelease->setStyleSheet(m_szReleaseStyle + QLatin1String(look.background));
        ui->labelRelease->setText(QString::fromUtf8(look.text));
    }
}

void productShowWidget::setCheckStatus() {
    on_checkBox_clicked(true);
    ui->checkBox->setChecked(m_bChecked);
}

void productShowWidget::setUnCheckStatus() {
    on_checkBox_clicked(false);
    ui->checkBox->setChecked(false);
}

void productShowWidget::on_checkBox_clicked(bool checked) {
    if (checked && !isTickable(m_product)) {
        ui->checkBox->setChecked(false);
        return;
    }
    m_bChecked = checked;
    if (checked) {
        QString style = m_szCardStyle;
        style.remove(QLatin1Char('}'));
        ui->widget->setStyleSheet(style + QStringLiteral("border: 2px solid #447AF0;}"));
        emit signalProductSelected(m_product);
    } else {
        ui->widget->setStyleSheet(m_szCardStyle);
        emit signalProductClearSelected(m_product);
    }
}

void productShowWidget::mousePressEvent(QMouseEvent *event) {
    const bool checked = !m_bChecked;
    ui->checkBox->setChecked(checked);
    on_checkBox_clicked(checked);
    event->accept();
}
