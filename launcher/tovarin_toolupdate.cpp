// Tool update check. The server query arrives with its own change; until then the check finds
// no package and leaves every tile as it is.
#include "tovarin.h"
#include "ui_tovarin.h"

#include "globals.h"

#include <QDebug>

void Tovarin::slotmTimerToolUpCheck() {
    mTimerToolUpCheck.stop();
    emit signalMainUpdataFinished();
}

void Tovarin::slotToolAppUpdataLoopRequest() {
    qDebug() << "---------子工具查询升级----------";
    m_vecToolPackageInfo.clear();
    totalUpdataNum = 0;
    qDebug() << "totalUpdataNum:111:" << totalUpdataNum;
    ui->btnAllUpgrade->hide();
}

bool Tovarin::toolAppUpdataQuery(toolButtonInfo info) {
    Q_UNUSED(info)
    return false;
}
