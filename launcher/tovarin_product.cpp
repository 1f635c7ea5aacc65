// Product and customer selection. The selectors arrive with their own change; until then no
// product can be chosen, so only tools usable with any product start.
#include "tovarin.h"
#include "ui_tovarin.h"

void Tovarin::clearImportantInfo() {}

void Tovarin::setCustomerCombText(QString text, int id, bool lock) {
    Q_UNUSED(text)
    Q_UNUSED(id)
    Q_UNUSED(lock)
}

void Tovarin::on_combSelectCon_currentIndexChanged(int iIndex) {
    Q_UNUSED(iIndex)
}

void Tovarin::on_combSelectType_currentIndexChanged(int index) {
    Q_UNUSED(index)
}

void Tovarin::on_combSelectFile_textActivated(const QString &text) {
    Q_UNUSED(text)
}

void Tovarin::on_combSelectFile_highlighted(int index) {
    Q_UNUSED(index)
}

void Tovarin::on_combSelectFile_currentTextChanged(const QString &text) {
    Q_UNUSED(text)
}

void Tovarin::on_combSelectCustmer_textActivated(const QString &text) {
    Q_UNUSED(text)
}

void Tovarin::on_combSelectCustmer_highlighted(int index) {
    Q_UNUSED(index)
}

void Tovarin::on_btnSelectProduct_clicked() {}

void Tovarin::slotProductChange(PRODUCTSHOWINFO_S pInfo) {
    slotShowProductInfo(pInfo);
}

void Tovarin::slotShowProductInfo(PRODUCTSHOWINFO_S pInfo) {
    Q_UNUSED(pInfo)
}

void Tovarin::slotShowProductInfo(QString szProductName, QString szPicPath, QString szPID, QString szModel,
                                  QString szVersion, QString szCreatTime, ELECTRICTYPE_E productType,
                                  QString ToolVer, QString szCustomIDFlag) {
    Q_UNUSED(szProductName)
    Q_UNUSED(szPicPath)
    Q_UNUSED(szPID)
    Q_UNUSED(szModel)
    Q_UNUSED(szVersion)
    Q_UNUSED(szCreatTime)
    Q_UNUSED(productType)
    Q_UNUSED(ToolVer)
    Q_UNUSED(szCustomIDFlag)
}

void Tovarin::slotIsShowProductInfo(bool bShow) {
    Q_UNUSED(bShow)
}

void Tovarin::slotToCheckDealer() {}
