// Tool page: the grid of 24 launcher tiles in three groups, and the product selectors' texts.
#include "tovarin.h"
#include "ui_tovarin.h"

#include "plaintext.h"

#include <QAbstractItemView>
#include <QSettings>
#include <QStandardItemModel>
#include <QStyledItemDelegate>

// Item-flag data of a combo item (role 255 of the standard item model). A text reads as no
// flags, which leaves the item visible but unselectable.
void Tovarin::setItemFlagText(QComboBox *combo, int row, const QString &text) {
    auto *model = qobject_cast<QStandardItemModel *>(combo->model());
    if (model && row >= 0 && row < combo->count())
        model->setData(model->index(row, 0), text, Qt::UserRole - 1);
}

QVector<toolButtonInfo> *Tovarin::toolListOfPlace(PLACETYPE_E place) {
    switch (place) {
    case PLACE_TYPE_PRODUCTION:
        return &m_vecProductionTools;
    case PLACE_TYPE_AUXILIARY:
        return &m_vecAuxiliaryTools;
    case PLACE_TYPE_NVR_DVR:
        return &m_vecNvrDvrTools;
    }
    // The page has no place for other groups: such tools are not placed.
    return nullptr;
}

int Tovarin::findSameTool(const toolButtonInfo &info, const QVector<toolButtonInfo> &list) {
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).m_szToolKey == info.m_szToolKey && list.at(i).m_szToolId == info.m_szToolId)
            return i;
    }
    return -1;
}

QVector<toolButton *> Tovarin::toolPageTiles(PLACETYPE_E place) const {
    switch (place) {
    case PLACE_TYPE_PRODUCTION:
        return {ui->tbtnLine1_1, ui->tbtnLine1_2, ui->tbtnLine1_3, ui->tbtnLine1_4,
                ui->tbtnLine2_1, ui->tbtnLine2_2, ui->tbtnLine2_3, ui->tbtnLine2_4,
                ui->tbtnLine3_1, ui->tbtnLine3_2, ui->tbtnLine3_3, ui->tbtnLine3_4,
                ui->tbtnLine4_1, ui->tbtnLine4_2, ui->tbtnLine4_3, ui->tbtnLine4_4};
    case PLACE_TYPE_AUXILIARY:
        return {ui->tbtnAuxLine1_1, ui->tbtnAuxLine1_2, ui->tbtnAuxLine1_3, ui->tbtnAuxLine1_4};
    case PLACE_TYPE_NVR_DVR:
        return {ui->tbtnNDVRLine1_1, ui->tbtnNDVRLine1_2, ui->tbtnNDVRLine1_3, ui->tbtnNDVRLine1_4};
    }
    return {};
}

void Tovarin::uiSetToolPage() {
    ui->labToolHint->setText(tr("产品工具"));
    ui->labSupToolHint->setText(tr("辅助工具"));
    ui->labN_DVRHint->setText(tr("NVR/DVR工具"));
    ui->btnAllUpgrade->setText(tr("全部更新"));
    // The group's heading keeps its height whether the button shows or not: tiles stay put.
    QSizePolicy allUpgradePolicy = ui->btnAllUpgrade->sizePolicy();
    allUpgradePolicy.setRetainSizeWhenHidden(true);
    ui->btnAllUpgrade->setSizePolicy(allUpgradePolicy);
    ui->btnAllUpgrade->hide();
    ui->labSelectHint->setText(tr("选择测试产品"));
    ui->btnSelectProduct->setText(tr("选择"));
    ui->labPidHint->setText(tr("PID:"));
    ui->labModHint->setText(tr("使用模组:"));
    ui->labVerHint->setText(tr("模型版本:"));
    ui->labTimeHint->setText(tr("创建时间:"));
    ui->labEmployeeHint->setText(tr("员工号:"));
    // The chosen product as the catalogue or the station's last start gave it.
    PlainText::keepPlain(
        {ui->labProNameInput, ui->labPidInput, ui->labModInput, ui->labVerInput, ui->labTimeInput});

    // The form's rules for the lists' items (height, padding, the prompt's grey) are drawn by a
    // styled delegate only; the combo's own one knows the selection colours alone.
    for (QComboBox *combo :
         {ui->combSelectCon, ui->combSelectType, ui->combSelectFile, ui->combSelectCustmer})
        combo->setItemDelegate(new QStyledItemDelegate(combo));

    ui->combSelectCon->addItem(tr("云端产品配置"));
    ui->combSelectCon->addItem(tr("本地产品配置"));
    ui->combSelectCon->setCurrentIndex(ui->combSelectCon->count() - 1);

    ui->combSelectType->addItem(tr("低功耗产测"));
    ui->combSelectType->addItem(tr("常电产测"));
    ui->combSelectType->addItem(tr("选择类型"));
    setItemFlagText(ui->combSelectType, ui->combSelectType->count() - 1, tr("选择类型"));
    ui->combSelectType->setPlaceholderText(tr("选择类型"));
    ui->combSelectType->setCurrentIndex(ui->combSelectType->count() - 1);

    ui->combSelectFile->clear();
    // An empty combo draws no placeholder under a style sheet: start on the prompt item.
    ui->combSelectFile->addItem(tr("请选择产品"));
    setItemFlagText(ui->combSelectFile, 0, tr("请选择产品"));
    ui->combSelectFile->setCurrentIndex(0);
    ui->combSelectFile->setMaxVisibleItems(26);
    ui->combSelectFile->setInsertPolicy(QComboBox::NoInsert);
    ui->combSelectCustmer->setMaxVisibleItems(21);
    // What an empty selector says until a product or customer is chosen.
    ui->combSelectFile->setPlaceholderText(tr("请选择产品"));
    ui->combSelectCustmer->setPlaceholderText(tr("请选择客户"));

    for (PLACETYPE_E place : {PLACE_TYPE_PRODUCTION, PLACE_TYPE_AUXILIARY, PLACE_TYPE_NVR_DVR}) {
        for (toolButton *tile : toolPageTiles(place)) {
            connect(tile, &toolButton::signalToolButtonClicked, this, &Tovarin::slotProcessOpen);
            connect(tile, &toolButton::signalBtnDownloadClicked, this, &Tovarin::slotToolAppDowloadUpgrade);
            connect(tile, &toolButton::signalToolNotOpen, this, &Tovarin::slotPopNotOpenMsg);
        }
    }
    resetToolPageUI();
}

void Tovarin::resetToolPageUI() {
    for (PLACETYPE_E place : {PLACE_TYPE_PRODUCTION, PLACE_TYPE_AUXILIARY, PLACE_TYPE_NVR_DVR}) {
        for (toolButton *tile : toolPageTiles(place))
            tile->hide();
    }
    m_vecToolButtons.clear();
}

void Tovarin::slotSetProductionTools() {
    for (toolButton *button : qAsConst(m_vecConfigButtons)) {
        toolButtonInfo copy = button->m_btnInfo;
        QVector<toolButtonInfo> *list = toolListOfPlace(copy.m_ePlaceType);
        if (!list)
            continue;
        const int found = findSameTool(copy, *list);
        if (found >= 0 && !copy.m_bSelected) {
            list->remove(found);
        } else if (found < 0 && copy.m_bSelected) {
            copy.m_bSelectMode = false;
            list->append(copy);
        }
    }

    resetToolPageUI();

    if (m_pMainSettings) {
        m_pMainSettings->sync();
        m_listMainGroups = m_pMainSettings->childGroups();
    }

    for (PLACETYPE_E place : {PLACE_TYPE_PRODUCTION, PLACE_TYPE_AUXILIARY, PLACE_TYPE_NVR_DVR}) {
        const QVector<toolButtonInfo> &list = *toolListOfPlace(place);
        const QVector<toolButton *> tiles = toolPageTiles(place);
        // Tools beyond the group's tiles stay in the list without a tile.
        for (int i = 0; i < list.size() && i < tiles.size(); ++i) {
            tiles.at(i)->show();
            tiles.at(i)->setBtnInfo(list.at(i));
            m_vecToolButtons.append(tiles.at(i));
        }
    }
}

void Tovarin::slotTbtnChangeStatus(QString toolID, UPGRADESTATUS_E afterStatus) {
    for (toolButton *tile : qAsConst(m_vecToolButtons)) {
        if (tile->m_btnInfo.m_szToolId == toolID)
            tile->changeStatusLabel(afterStatus);
    }
}

int Tovarin::findToolIsSelected(QString toolID, QVector<toolButtonInfo> list) {
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).m_szToolId == toolID)
            return i;
    }
    return -1;
}

void Tovarin::setLabToolVerText(QString flag) {
    if (flag == QLatin1String("Orlem"))
        ui->labToolVer->setText(tr("中性"));
    else if (flag == QLatin1String("OrlemBrand"))
        ui->labToolVer->setText(tr("品牌"));
    else if (flag == QLatin1String("Single"))
        ui->labToolVer->setText(tr("单独运行"));
    else
        ui->labToolVer->clear();
}
