// Product and customer selection on the tool page, and the restore of the last choice.
#include "tovarin.h"
#include "ui_tovarin.h"

#include "popselectwidget.h"

#include <QCompleter>
#include <QFileInfo>
#include <QPixmap>
#include <QSettings>
#include <QStringListModel>

namespace {

const QString kDefaultPicture = QStringLiteral(":/product/resource/image/cameraModel.png");

// A picture that cannot be loaded (deleted, unreadable) shows as the default camera.
QPixmap pictureOrDefault(const QString &path) {
    QPixmap picture(path);
    if (picture.isNull())
        picture.load(kDefaultPicture);
    return picture;
}

int dealerIndexById(const QVector<DEALERINFO_S> &dealers, int id) {
    for (int i = 0; i < dealers.size(); ++i) {
        if (dealers.at(i).m_iDealerId == id)
            return i;
    }
    return -1;
}

int dealerIndexByName(const QVector<DEALERINFO_S> &dealers, const QString &name) {
    for (int i = 0; i < dealers.size(); ++i) {
        if (dealers.at(i).m_szDealerName == name)
            return i;
    }
    return -1;
}

} // namespace

QCompleter *Tovarin::confCompleter() {
    if (!m_pConfCompleter) {
        m_pConfCompleter = new QCompleter(this);
        m_pConfCompleter->setModel(new QStringListModel(m_pConfCompleter));
        m_pConfCompleter->setFilterMode(Qt::MatchContains);
    }
    return m_pConfCompleter;
}

void Tovarin::clearImportantInfo() {
    m_szDealerCode.clear();
    m_productInfo = PRODUCTSHOWINFO_S();
    m_iOwnerId = 0;
    m_szOwnerName.clear();
    slotShowProductInfo(m_productInfo);
    setCustomerCombText(tr("请选择客户"), -1, false);
    ui->combSelectFile->setCurrentIndex(ui->combSelectFile->count() - 1);
}

void Tovarin::setCustomerCombText(QString text, int id, bool lock) {
    QComboBox *combo = ui->combSelectCustmer;
    combo->setCurrentIndex(-1);
    // What the combo shows is what a tool starts with: a prompt means no customer.
    m_iOwnerId = id;
    m_szOwnerName = id > 0 ? text : QString();
    if (lock) {
        combo->setEnabled(false);
    } else {
        m_bDealerFromConf = false;
        combo->setEnabled(true);
    }
    if (combo->count() > 0) {
        combo->setItemText(combo->count() - 1, text);
        combo->setCurrentIndex(combo->count() - 1);
    }
}

void Tovarin::suggestStoredOwner() {
    if (m_bOwnerLoaded)
        return;
    m_bOwnerLoaded = true;
    if (!m_pMainSettings)
        return;
    m_pMainSettings->sync();
    bool ok = false;
    const int id = m_pMainSettings->value(QStringLiteral("Owner/ID")).toString().toInt(&ok);
    const int index = ok && id > 0 ? dealerIndexById(m_vecDealerInfo, id) : -1;
    if (index < 0)
        return;
    m_iOwnerId = id;
    m_szOwnerName = m_vecDealerInfo.at(index).m_szDealerName;
    ui->combSelectCustmer->setCurrentIndex(index);
    ui->combSelectCustmer->setEnabled(true);
}

void Tovarin::on_combSelectCon_currentIndexChanged(int iIndex) {
    clearImportantInfo();
    if (iIndex == 0) {
        ui->btnSelectProduct->show();
        ui->combSelectFile->hide();
        ui->combSelectType->hide();
    } else if (iIndex == 1) {
        ui->btnSelectProduct->hide();
        ui->combSelectFile->show();
        ui->combSelectCustmer->show();
        ui->combSelectType->show();
        ui->combSelectFile->setCurrentIndex(ui->combSelectFile->count() - 1);
        ui->combSelectType->setCurrentIndex(ui->combSelectType->count() - 1);
    }
}

void Tovarin::on_combSelectType_currentIndexChanged(int index) {
    clearImportantInfo();
    QStringList list;
    if (index == 0) {
        m_productInfo.m_eProductType = ELECTRIC_TYPE_LOW_POWER;
        // Low-power configurations are entries without an extension.
        const QStringList entries = m_dirBpcConf.exists() ? m_dirBpcConf.entryList() : QStringList();
        for (const QString &entry : entries) {
            if (!entry.contains(QLatin1Char('.')))
                list.append(entry);
        }
    } else if (index == 1) {
        m_productInfo.m_eProductType = ELECTRIC_TYPE_MAINS;
        if (m_dirProductCheckConf.exists())
            list = m_dirProductCheckConf.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    } else {
        clearImportantInfo();
    }

    m_listConfFiles = list;
    QCompleter *completer = confCompleter();
    static_cast<QStringListModel *>(completer->model())->setStringList(list);

    QComboBox *combo = ui->combSelectFile;
    combo->clear();
    combo->addItems(list);
    combo->addItem(tr("请选择产品"));
    setItemFlagText(combo, combo->count() - 1, tr("请选择产品"));
    combo->setCurrentIndex(combo->count() - 1);
    const QString style = combo->styleSheet();
    combo->setEditable(true);
    combo->setStyleSheet(style);
    // Each call connects the completer's activated() once more: set again, one pick would be
    // handled (and its file read) as often as the type was switched.
    if (combo->completer() != completer)
        combo->setCompleter(completer);
}

void Tovarin::on_combSelectFile_textActivated(const QString &text) {
    // Nothing may stay chosen that the combo does not show: a typed text that names no listed
    // entry, or a restored configuration that is gone, leaves no product.
    if (text.isEmpty() || !m_listConfFiles.contains(text)) {
        clearImportantInfo();
        return;
    }

    const int type = ui->combSelectType->currentIndex();
    const QDir &folder = type == 0 ? m_dirBpcConf : m_dirProductCheckConf;
    const QString path = folder.path() + QLatin1Char('/') + text;
    // Another file is another product: it takes its customer anew.
    if (m_productInfo.m_szLocalPath != path)
        clearImportantInfo();
    ui->combSelectFile->setCurrentIndex(m_listConfFiles.indexOf(text));
    ui->combSelectFile->setFocus();
    if (type == 0)
        m_productInfo.m_eProductType = ELECTRIC_TYPE_LOW_POWER;
    else if (type == 1)
        m_productInfo.m_eProductType = ELECTRIC_TYPE_MAINS;

    m_productInfo.m_szProductName = text;
    m_productInfo.m_szLocalPath = path;
    if (type == 1)
        readConfFile(path);
    m_productInfo.m_szPicPath = kDefaultPicture;
    slotShowProductInfo(m_productInfo);
}

void Tovarin::on_combSelectFile_highlighted(int index) {
    Q_UNUSED(index)
    clearImportantInfo();
}

void Tovarin::on_combSelectFile_currentTextChanged(const QString &text) {
    Q_UNUSED(text)
}

void Tovarin::on_combSelectCustmer_textActivated(const QString &text) {
    if (text.length() < 2 || text == tr("请选择客户") || text == tr("请重新选择配置文件")) {
        setCustomerCombText(tr("请选择客户"), -1, false);
        return;
    }

    QComboBox *combo = ui->combSelectCustmer;
    int found = -1;
    if (m_szDealerCode.isEmpty()) {
        // Of two dealers with one name, the item the operator picked is the one meant.
        const int current = combo->currentIndex();
        if (current >= 0 && current < m_vecDealerInfo.size() &&
            m_vecDealerInfo.at(current).m_szDealerName == text)
            found = current;
        else
            found = dealerIndexByName(m_vecDealerInfo, text);
        // A dealer without a valid id could never start a tool: do not show it as chosen.
        if (found < 0 || m_vecDealerInfo.at(found).m_iDealerId < 1) {
            setCustomerCombText(tr("请选择客户"), -1, false);
            return;
        }
    } else {
        bool ok = false;
        const int code = m_szDealerCode.toInt(&ok);
        // Dealers the service sent without a numeric id read as 0; no code may match them.
        if (ok && code > 0)
            found = dealerIndexById(m_vecDealerInfo, code);
        if (found < 0) {
            slotPopMessage(tr("产品配置中,配置的经销商 %1 (代码:%2),不在当前账号的经销商列表中")
                               .arg(text, m_szDealerCode));
            setCustomerCombText(tr("请重新选择配置文件"), -1, true);
            return;
        }
    }

    m_iOwnerId = m_vecDealerInfo.at(found).m_iDealerId;
    m_szOwnerName = m_vecDealerInfo.at(found).m_szDealerName;
    combo->setCurrentIndex(found);
    combo->setEnabled(!m_bDealerFromConf);
}

void Tovarin::on_combSelectCustmer_highlighted(int index) {
    Q_UNUSED(index)
    QComboBox *combo = ui->combSelectCustmer;
    setItemFlagText(combo, combo->count() - 1, QString());
    if (m_szOwnerName.isEmpty() || m_szOwnerName == tr("请选择客户"))
        return;
    int chosen = dealerIndexById(m_vecDealerInfo, m_iOwnerId);
    if (chosen < 0 || m_vecDealerInfo.at(chosen).m_szDealerName != m_szOwnerName)
        chosen = combo->findText(m_szOwnerName);
    if (chosen >= 0)
        combo->setCurrentIndex(chosen);
}

void Tovarin::on_btnSelectProduct_clicked() {
    if (!m_pPopSelectWidget)
        return;
    m_pPopSelectWidget->setProductSelected(m_productInfo);
    m_pPopSelectWidget->setGeometry(0, 0, width(), height());
    // The large card only where it fits: the window's own 1200 x 800 would cut its foot off.
    if (width() < 1200 || height() < 840)
        m_pPopSelectWidget->slotSetMainWidgetSize(800, 720);
    else
        m_pPopSelectWidget->slotSetMainWidgetSize(960, 840);
    refreshPopupLook();
    m_pPopSelectWidget->show();
    m_pPopSelectWidget->move(pos());
    // The customer stays until another product is confirmed (slotProductChange).
}

void Tovarin::slotProductChange(PRODUCTSHOWINFO_S pInfo) {
    // Cancelling hands back the product that was current: its customer stays.
    const bool otherProduct =
        pInfo.m_szPID != m_productInfo.m_szPID || pInfo.m_szLocalPath != m_productInfo.m_szLocalPath;
    slotShowProductInfo(pInfo);
    if (otherProduct)
        setCustomerCombText(tr("请选择客户"), -1, false);
}

void Tovarin::slotShowProductInfo(PRODUCTSHOWINFO_S pInfo) {
    if (pInfo.m_szLocalPath.isEmpty()) {
        ui->labPicture->setPixmap(pictureOrDefault(pInfo.m_szPicPath)
                                      .scaled(96, 96, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        ui->labProNameInput->setText(pInfo.m_szProductName);
        ui->labPidInput->setText(pInfo.m_szPID);
        ui->labModInput->setText(pInfo.m_szModel);
        ui->labVerInput->setText(pInfo.m_szVersion);
        ui->labTimeInput->setText(pInfo.m_szCreatTime);
    }
    setLabToolVerText(pInfo.m_szCustomIDFlag);
    m_productInfo = pInfo;
}

void Tovarin::slotShowProductInfo(QString szProductName, QString szPicPath, QString szPID, QString szModel,
                                  QString szVersion, QString szCreatTime, ELECTRICTYPE_E productType,
                                  QString ToolVer, QString szCustomIDFlag) {
    ui->labPicture->setPixmap(pictureOrDefault(szPicPath));
    ui->labProNameInput->setText(szProductName);
    ui->labPidInput->setText(szPID);
    ui->labModInput->setText(szModel);
    ui->labVerInput->setText(szVersion);
    ui->labTimeInput->setText(szCreatTime);
    setLabToolVerText(szCustomIDFlag);

    m_productInfo.m_szProductName = szProductName;
    m_productInfo.m_szPicPath = szPicPath;
    m_productInfo.m_szPID = szPID;
    m_productInfo.m_szModel = szModel;
    m_productInfo.m_szVersion = szVersion;
    m_productInfo.m_szCreatTime = szCreatTime;
    m_productInfo.m_eProductType = productType;
    m_productInfo.m_szCustomBrand = ToolVer;
    m_productInfo.m_szCustomIDFlag = szCustomIDFlag;
}

void Tovarin::slotIsShowProductInfo(bool bShow) {
    for (QWidget *widget :
         {static_cast<QWidget *>(ui->labPicture), static_cast<QWidget *>(ui->labProNameInput),
          static_cast<QWidget *>(ui->labPidInput), static_cast<QWidget *>(ui->labModInput),
          static_cast<QWidget *>(ui->labVerInput), static_cast<QWidget *>(ui->labTimeInput),
          static_cast<QWidget *>(ui->labPidHint), static_cast<QWidget *>(ui->labModHint),
          static_cast<QWidget *>(ui->labVerHint), static_cast<QWidget *>(ui->labTimeHint)})
        widget->setVisible(bShow);
}

void Tovarin::slotToCheckDealer() {
    auto stored = [this](const char *key) {
        return m_pMainSettings
                   ? m_pMainSettings->value(QLatin1String("FAST_CONF/") + QLatin1String(key)).toString()
                   : QString();
    };
    if (m_pMainSettings)
        m_pMainSettings->sync();

    const QString pid = stored("lastOnlinePID");
    // "0" is what a tool start writes for a catalogue product; a missing key is no catalogue
    // product.
    if (stored("ConfOLType") == QLatin1String("0") && !pid.isEmpty()) {
        if (ui->combSelectCon->currentIndex() == 0)
            on_combSelectCon_currentIndexChanged(0);
        else
            ui->combSelectCon->setCurrentIndex(0);
        PRODUCTSHOWINFO_S info;
        info.m_szProductName = stored("lastConf");
        info.m_szPID = pid;
        info.m_szCreatTime = stored("lastOnlineCreateDate");
        info.m_szModel = stored("lastOnlineMod");
        info.m_szVersion = stored("lastOnlineVersion");
        info.m_szCustomBrand = stored("lastCustomBrand");
        info.m_szCustomIDFlag = stored("lastCustomIDFlag");
        const QString picture = stored("lastOnlinePicPath");
        if (!picture.isEmpty() && QFileInfo(picture).isReadable())
            info.m_szPicPath = picture;
        slotShowProductInfo(info);
        suggestStoredOwner();
        return;
    }

    if (ui->combSelectCon->currentIndex() != 1)
        ui->combSelectCon->setCurrentIndex(1);
    const int type = stored("ConfType").toInt();
    const int typeIndex = type == 0 || type == 1 ? type : -1;
    if (ui->combSelectType->currentIndex() == typeIndex)
        on_combSelectType_currentIndexChanged(typeIndex);
    else
        ui->combSelectType->setCurrentIndex(typeIndex);
    on_combSelectFile_textActivated(stored("lastConf"));
    // Low-power configurations name no dealer: the last customer is offered for them too.
    if (!m_productInfo.m_szLocalPath.isEmpty() && m_szDealerCode.isEmpty())
        suggestStoredOwner();
}
