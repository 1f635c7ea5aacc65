#include "popselectwidget.h"
#include "popuplook.h"
#include "ui_popselectwidget.h"

#include "applicationfolder.h"
#include "globals.h"
#include "picturefetcher.h"
#include "productshowwidget.h"
#include "secretmask.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLineEdit>

namespace {
const char kListPath[] = "ToolClientConfigManageApi/getProductConfigList";
const char kDetailPath[] = "ToolClientConfigManageApi/getProductConfigDetail";
constexpr int kCardsPerPage = 6;
constexpr qint64 kFirstMillisecondTime = 100000000000LL;

QJsonObject parseAnswer(const QString &answer) {
    return QJsonDocument::fromJson(answer.toUtf8()).object();
}

bool isSuccess(const QJsonObject &answer) {
    const QJsonValue ack = answer.value(QStringLiteral("ack"));
    return ack.isString() && ack.toString() == QLatin1String("200");
}

QString textOf(const QJsonObject &object, const char *key) {
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString() : value.toVariant().toString();
}
} // namespace

popSelectWidget::popSelectWidget(QWidget *parent) : QWidget(parent), ui(new Ui::popSelectWidget) {
    qRegisterMetaType<PRODUCTSHOWINFO_S>("PRODUCTSHOWINFO_S");
    ui->setupUi(this);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowModality(Qt::ApplicationModal);

    m_szCombPointStyle = ui->labCombPoint->styleSheet();
    m_szConfirmStyle = ui->btnConfrim->styleSheet();
    m_szDimmingStyle = ui->widgetBackground->styleSheet();
    ui->labCombPoint->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui->labCombPic->setAttribute(Qt::WA_TransparentForMouseEvents);
    // The dot shows the filter from the start, not only after the first change.
    ui->labCombPoint->setStyleSheet(m_szCombPointStyle + QStringLiteral("background-color: #6BF3BD;"));

    m_vecProductCards = {ui->pswLine1_1, ui->pswLine1_2, ui->pswLine2_1,
                         ui->pswLine2_2, ui->pswLine3_1, ui->pswLine3_2};
    for (productShowWidget *card : m_vecProductCards) {
        connect(card, &productShowWidget::signalProductSelected, this, &popSelectWidget::slotProductSelected);
        connect(card, &productShowWidget::signalProductClearSelected, this,
                &popSelectWidget::slotProductClearSelected);
        // A short page keeps its cards where a full page has them.
        QSizePolicy policy = card->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        card->setSizePolicy(policy);
        card->hide();
    }
    ui->labNoProduct->hide();
    connect(ui->lineEditSearch, &QLineEdit::returnPressed, this, &popSelectWidget::on_btnSearch_clicked);

    m_szPicDir = ApplicationFolder::path() + QStringLiteral("/productPic");
    QDir().mkpath(m_szPicDir);
    m_pPictureFetcher = new PictureFetcher(m_szPicDir, this);
    connect(m_pPictureFetcher, &PictureFetcher::sigPictureFetched, this,
            &popSelectWidget::slotPictureFetched);

    m_timerAutoSearch.setSingleShot(true);
    m_timerAutoSearch.setInterval(200);
    connect(&m_timerAutoSearch, &QTimer::timeout, this, &popSelectWidget::slotAutoSearch);
    updateConfirmButton();
}

popSelectWidget::~popSelectWidget() {
    endOpening();
    delete ui;
}

void popSelectWidget::setProductSelected(PRODUCTSHOWINFO_S info) {
    m_selectedProduct = info;
    m_confirmedProduct = info;
    markSelection();
    updateConfirmButton();
}

void popSelectWidget::setTranslucentLook(bool bTranslucent) {
    PopupLook::applyDimming(ui->widgetBackground, m_szDimmingStyle, bTranslucent);
}

void popSelectWidget::slotSetMainWidgetSize(int width, int heigh) {
    ui->widget->setFixedSize(width, heigh);
}

bool popSelectWidget::isProductIdSearch(const QString &text) {
    return text.contains(QLatin1Char('D')) && text.size() == 9;
}

QString popSelectWidget::creationDate(const QJsonValue &createTime) {
    qint64 time = 0;
    if (createTime.isDouble()) {
        // A number beyond 64 bits has no date (and converting it would be undefined): it reads
        // like unreadable text, as 0.
        const double value = createTime.toDouble();
        if (value > -9.2e18 && value < 9.2e18)
            time = qint64(value);
    } else if (createTime.isString())
        time = createTime.toString().trimmed().toLongLong();
    if (time >= kFirstMillisecondTime || time <= -kFirstMillisecondTime)
        time /= 1000;
    return QDateTime::fromSecsSinceEpoch(time).toString(QStringLiteral("yyyy-MM-dd"));
}

PRODUCTSHOWINFO_S popSelectWidget::recordFromProduct(const QJsonObject &product,
                                                     RELEASETYPE_E releaseType) const {
    PRODUCTSHOWINFO_S info;
    info.m_szProductName = textOf(product, "productName");
    info.m_szPID = textOf(product, "productUniqId");
    info.m_szModel = textOf(product, "moduleName");
    info.m_szVersion = textOf(product, "moduleVersion");
    info.m_szCreatTime = creationDate(product.value(QStringLiteral("createTime")));
    info.m_eReleaseType = releaseType;
    const QString picture = m_pPictureFetcher->pathFor(info.m_szPID);
    if (!picture.isEmpty() && QFileInfo(picture).isFile())
        info.m_szPicPath = picture;
    return info;
}

QString popSelectWidget::post(const QString &path, QMap<QString, QString> params) {
    params.insert(QStringLiteral("sign"), m_common.valueChainSign(params));
    const QString url = m_common.getDomainName() + path;
    return url.contains(QLatin1String("https")) ? m_common.httpsPostRequest(url, params)
                                                : m_common.httpPostRequest(url, params);
}

void popSelectWidget::slotAutoSearch() {
    on_btnSearch_clicked();
}

void popSelectWidget::on_btnSearch_clicked() {
    const int ticket = ++m_iSearchTicket;
    m_timerAutoSearch.stop();
    const bool preRelease = ui->combRelease->currentIndex() == 1;
    const RELEASETYPE_E releaseType = preRelease ? RELEASE_TYPE_PRE_RELEASE : RELEASE_TYPE_RELEASED;
    const QString text = ui->lineEditSearch->text();
    const bool byId = isProductIdSearch(text);

    QMap<QString, QString> params;
    params.insert(QStringLiteral("count"), QStringLiteral("100"));
    params.insert(QStringLiteral("loginToken"), m_szLoginToken);
    params.insert(QStringLiteral("productId"), byId ? text : QString());
    params.insert(QStringLiteral("productName"), byId ? QString() : text);
    params.insert(QStringLiteral("releaseStatus"), preRelease ? QStringLiteral("1") : QStringLiteral("2"));
    params.insert(QStringLiteral("startId"), QStringLiteral("0"));

    // Paging the old answer while the new one is on its way would show results of a filter
    // that is no longer chosen: the pager waits for the answer.
    m_bSearchWaiting = true;
    updatePager();
    const QJsonObject answer = parseAnswer(post(QLatin1String(kListPath), params));
    if (ticket != m_iSearchTicket)
        return; // a newer search, or closing the dialog, took over
    m_bSearchWaiting = false;
    updatePager();

    // A failed search leaves cards, cache and pager as they were.
    if (!isSuccess(answer))
        return;
    const QJsonArray products = answer.value(QStringLiteral("data")).toArray();
    m_vecResultCache.clear();
    for (const QJsonValue &product : products)
        m_vecResultCache.append(product.toObject());
    m_eCacheReleaseType = releaseType;
    m_iPageCount = (m_vecResultCache.size() + kCardsPerPage - 1) / kCardsPerPage;
    ui->labAllPage->setText(QString::number(m_iPageCount));
    ui->labNoProduct->setVisible(m_vecResultCache.isEmpty());
    if (m_vecResultCache.isEmpty()) {
        ui->labCurPage->setText(QStringLiteral("0"));
        m_pPictureFetcher->cancelAll();
        slotSetCurPageUI({});
        updatePager();
        return;
    }
    ui->labCurPage->setText(QStringLiteral("1"));
    productPageChange(1);
}

int popSelectWidget::currentPage() const {
    return ui->labCurPage->text().toInt();
}

void popSelectWidget::productPageChange(int page) {
    const int from = kCardsPerPage * (page - 1);
    if (page < 1 || from >= m_vecResultCache.size())
        return;
    const int to = qMin(from + kCardsPerPage, m_vecResultCache.size());
    QVector<PRODUCTSHOWINFO_S> records;
    for (int i = from; i < to; ++i)
        records.append(recordFromProduct(m_vecResultCache.at(i), m_eCacheReleaseType));

    // Pictures still on their way belong to the page that is going.
    m_pPictureFetcher->cancelAll();
    slotSetCurPageUI(records);
    for (int i = from; i < to; ++i) {
        const QString url = m_vecResultCache.at(i).value(QStringLiteral("frontImgUrl")).toString();
        m_pPictureFetcher->fetch(records.at(i - from).m_szPID, url);
    }
    updatePager();
}

void popSelectWidget::slotSetCurPageUI(QVector<PRODUCTSHOWINFO_S> PageList) {
    for (productShowWidget *card : m_vecProductCards)
        card->hide();
    m_vecCurPage = PageList.mid(0, kCardsPerPage);
    for (int i = 0; i < m_vecCurPage.size(); ++i) {
        m_vecProductCards.at(i)->slotSetProductInfo(m_vecCurPage.at(i));
        m_vecProductCards.at(i)->show();
    }
    markSelection();
}

void popSelectWidget::slotPictureFetched(QString id, QString path) {
    for (int i = 0; i < m_vecCurPage.size(); ++i) {
        if (m_vecCurPage.at(i).m_szPID != id)
            continue;
        m_vecCurPage[i].m_szPicPath = path;
        m_vecProductCards.at(i)->slotSetProductInfo(m_vecCurPage.at(i));
    }
    if (m_selectedProduct.m_szPID == id && m_selectedProduct.m_szLocalPath.isEmpty())
        m_selectedProduct.m_szPicPath = path;
}

void popSelectWidget::on_btnNext_clicked() {
    ui->btnNext->setEnabled(false);
    const int page = currentPage();
    if (!m_bSearchWaiting && page < m_iPageCount) {
        ui->labCurPage->setText(QString::number(page + 1));
        productPageChange(page + 1);
    }
    updatePager();
}

void popSelectWidget::on_btnPrev_clicked() {
    ui->btnPrev->setEnabled(false);
    const int page = currentPage();
    if (!m_bSearchWaiting && page > 1 && page - 1 <= m_iPageCount) {
        ui->labCurPage->setText(QString::number(page - 1));
        productPageChange(page - 1);
    }
    updatePager();
}

void popSelectWidget::updatePager() {
    ui->btnPrev->setEnabled(!m_bSearchWaiting);
    ui->btnNext->setEnabled(!m_bSearchWaiting);
}

void popSelectWidget::on_combRelease_currentIndexChanged(int iIndex) {
    const QString dot = iIndex == 1 ? QStringLiteral("background-color: #447AF0;")
                                    : QStringLiteral("background-color: #6BF3BD;");
    ui->labCombPoint->setStyleSheet(m_szCombPointStyle + dot);
    on_btnSearch_clicked();
}

void popSelectWidget::slotProductSelected(PRODUCTSHOWINFO_S selectedInfo) {
    if (m_bMarking || !productShowWidget::isTickable(selectedInfo))
        return;
    m_selectedProduct = selectedInfo;
    markSelection();
    updateConfirmButton();
}

void popSelectWidget::slotProductClearSelected(PRODUCTSHOWINFO_S selectedInfo) {
    if (m_bMarking || selectedInfo.m_szPID.isEmpty() || selectedInfo.m_szPID != m_selectedProduct.m_szPID)
        return;
    // An unticked product is no longer the choice: it must not come back ticked on the next
    // page fill, nor be confirmed.
    m_selectedProduct = PRODUCTSHOWINFO_S();
    markSelection();
    updateConfirmButton();
}

void popSelectWidget::markSelection() {
    const QString pid = m_selectedProduct.m_szPID;
    m_bMarking = true;
    for (int i = 0; i < m_vecProductCards.size(); ++i) {
        productShowWidget *card = m_vecProductCards.at(i);
        const bool shown = i < m_vecCurPage.size();
        const bool ticked = shown && !pid.isEmpty() && card->product().m_szPID == pid;
        if (ticked && !card->isChecked())
            card->setCheckStatus();
        else if (!ticked && card->isChecked())
            card->setUnCheckStatus();
    }
    m_bMarking = false;
}

void popSelectWidget::updateConfirmButton() {
    const bool usable = !m_bConfirmWaiting && productShowWidget::isTickable(m_selectedProduct);
    ui->btnConfrim->setEnabled(usable);
    ui->btnConfrim->setStyleSheet(usable ? m_szConfirmStyle
                                         : m_szConfirmStyle +
                                               QStringLiteral("background-color:rgb(152, 152, 152);"));
}

void popSelectWidget::on_btnConfrim_clicked() {
    if (m_bConfirmWaiting || !productShowWidget::isTickable(m_selectedProduct))
        return;
    // What is handed over is the product ticked now, whatever is ticked while the answer waits.
    PRODUCTSHOWINFO_S chosen = m_selectedProduct;
    const int opening = m_iOpening;
    m_bConfirmWaiting = true;
    updateConfirmButton();

    QMap<QString, QString> params;
    params.insert(QStringLiteral("loginToken"), m_szLoginToken);
    params.insert(QStringLiteral("productUniqId"), chosen.m_szPID);
    const QJsonObject answer = parseAnswer(post(QLatin1String(kDetailPath), params));
    if (opening != m_iOpening)
        return; // cancelled or closed meanwhile: the operator has already been answered
    m_bConfirmWaiting = false;
    updateConfirmButton();
    qDebug().noquote() << "geng =" << SecretMask::maskAnswer(answer);
    if (!isSuccess(answer))
        return;

    const QJsonArray functions =
        answer.value(QStringLiteral("data")).toObject().value(QStringLiteral("funList")).toArray();
    for (const QJsonValue &entry : functions) {
        const QJsonObject function = entry.toObject();
        const QString flag = function.value(QStringLiteral("funFlag")).toString();
        if (flag == QLatin1String("PPC.CustomBrand"))
            chosen.m_szCustomBrand = function.value(QStringLiteral("defaultValue")).toString();
        else if (flag == QLatin1String("PPC.CustomIDFlag"))
            chosen.m_szCustomIDFlag = function.value(QStringLiteral("defaultValue")).toString();
    }
    // A picture that arrived during the wait is on disk now: it goes with the product.
    if (m_selectedProduct.m_szPID == chosen.m_szPID)
        chosen.m_szPicPath = m_selectedProduct.m_szPicPath;
    for (const PRODUCTSHOWINFO_S &shown : qAsConst(m_vecCurPage)) {
        if (shown.m_szPID == chosen.m_szPID && shown.m_szPicPath != productShowWidget::defaultPicture())
            chosen.m_szPicPath = shown.m_szPicPath;
    }
    m_selectedProduct = chosen;
    m_confirmedProduct = chosen;
    emit signalSelectedProduct(chosen);
    closeDialog();
}

void popSelectWidget::restoreAndEmit() {
    m_selectedProduct = m_confirmedProduct;
    markSelection();
    updateConfirmButton();
    emit signalSelectedProduct(m_selectedProduct);
}

void popSelectWidget::on_btnCancel_clicked() {
    restoreAndEmit();
    closeDialog();
}

void popSelectWidget::on_btnClose_clicked() {
    restoreAndEmit();
    closeDialog();
}

void popSelectWidget::endOpening() {
    ++m_iOpening;
    ++m_iSearchTicket;
    m_bSearchWaiting = false;
    m_bConfirmWaiting = false;
    m_timerAutoSearch.stop();
    if (m_pPictureFetcher)
        m_pPictureFetcher->cancelAll();
    updatePager();
    updateConfirmButton();
}

void popSelectWidget::closeDialog() {
    endOpening();
    m_bClosing = true;
    close();
    m_bClosing = false;
}

void popSelectWidget::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    // An opening ends with the dialog's own close (endOpening); a show while open (a restore
    // after Win+D) keeps a confirm that waits for its answer.
    m_timerAutoSearch.start();
    markSelection();
    updateConfirmButton();
}

void popSelectWidget::closeEvent(QCloseEvent *event) {
    // The window system's close button acts as cancel.
    if (!m_bClosing && isVisible()) {
        restoreAndEmit();
        endOpening();
    }
    QWidget::closeEvent(event);
}

void popSelectWidget::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Escape) {
        on_btnCancel_clicked();
        return;
    }
    QWidget::keyPressEvent(event);
}
