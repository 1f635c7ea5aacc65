// Tool package installation and upgrade record. Installation arrives with its own change;
// until then no package is known, so there is nothing to install.
#include "tovarin.h"
#include "ui_tovarin.h"

#include "globals.h"

bool Tovarin::toolAppDownloadUpgrade(UPGRADEPACKAGEINFO_S info) {
    Q_UNUSED(info)
    return false;
}

void Tovarin::slotToolForceOrFirstUpgrade(UPGRADEPACKAGEINFO_S info) {
    toolAppDownloadUpgrade(info);
}

void Tovarin::slotToolAppDowloadUpgrade(toolButtonInfo info) {
    for (int i = 0; i < m_vecToolPackageInfo.size(); ++i) {
        if (m_vecToolPackageInfo.at(i).m_szProToolId == info.m_szToolId) {
            --totalUpdataNum;
            toolAppDownloadUpgrade(m_vecToolPackageInfo.at(i));
        }
    }
    if (totalUpdataNum == 0)
        ui->btnAllUpgrade->hide();
}

void Tovarin::on_btnAllUpgrade_clicked() {
    ui->btnAllUpgrade->hide();
}

bool Tovarin::recordProToolUpgrade(UPGRADEPACKAGEINFO_S info) {
    Q_UNUSED(info)
    return false;
}

void Tovarin::notCoverFile(QString szLocalFolder, QString szPackageFolder) {
    Q_UNUSED(szLocalFolder)
    Q_UNUSED(szPackageFolder)
}
