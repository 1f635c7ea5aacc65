// The launcher's own update check and hand-off to the updater. The server query arrives with
// its own change; until then the check finds nothing and the launcher goes on to its pages.
#include "tovarin.h"

#include "popclosewidget.h"

#include <QDebug>

bool Tovarin::mainAppUpdataQuery(bool &bNeedUpgrade, bool &bForceUpgrade) {
    Q_UNUSED(bNeedUpgrade)
    Q_UNUSED(bForceUpgrade)
    return false;
}

void Tovarin::slotMainAppUpdataQuery() {
    bool bNeedUpgrade = false;
    bool bForceUpgrade = false;
    const bool result = mainAppUpdataQuery(bNeedUpgrade, bForceUpgrade);
    if (!result)
        qDebug() << "获取主程序升级信息失败";
    qDebug() << "result:" << result << ",needUpdata:" << bNeedUpgrade << ",force:" << bForceUpgrade;
    qDebug() << "-----------进入子工具查询升级-----------";
    initConfigurationPageSwitch();
    mTimerToolUpCheck.start(200);
}

void Tovarin::slotMainAppDowloadUpgrade(bool bUpgrade) {
    Q_UNUSED(bUpgrade)
    initConfigurationPageSwitch();
    mTimerToolUpCheck.start(200);
}

bool Tovarin::doUpgradeMainToolWorks() {
    return false;
}

void slotMainAppDowloadUpgradeFun_(void *pWindow, void *pPopWidget) {
    Q_UNUSED(pWindow)
    Q_UNUSED(pPopWidget)
}

void Tovarin::slotPopWidgetUpgrade(QString szVersion, QString szRemark, popType type) {
    refreshPopupLook();
    m_pPopWidget->slotSetPopUI(szVersion, szRemark, type);
    m_pPopWidget->setGeometry(0, 0, width(), height());
    m_pPopWidget->show();
    m_pPopWidget->move(pos());
}

void Tovarin::slotPopWidgetUpgrade(QString szVersion, QStringList listRemark, popType type) {
    refreshPopupLook();
    m_pPopWidget->slotSetPopUI(szVersion, listRemark, type);
    m_pPopWidget->setGeometry(0, 0, width(), height());
    m_pPopWidget->show();
    m_pPopWidget->move(pos());
}

void Tovarin::slotPopWidgetUpgradeClose() {
    m_pPopWidget->close();
}

void Tovarin::slotRecordCurrentTime() {}
