// CONFIGSET.ini, MAINSET.ini and local product configuration files.
#include "tovarin.h"
#include "ui_tovarin.h"

#include "frametop.h"
#include "installservice.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTextCodec>

namespace {

bool readableFile(const QString &path) {
    QFile file(path);
    if (!file.exists())
        return false;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    file.close();
    return true;
}

// Values of one group longer than one character: shorter ones are placeholders, not entries.
QStringList meaningfulValues(QSettings &settings, const QString &group) {
    QStringList values;
    settings.beginGroup(group);
    const QStringList keys = settings.childKeys();
    for (const QString &key : keys) {
        const QString value = settings.value(key).toString();
        if (value.length() > 1)
            values.append(value);
    }
    settings.endGroup();
    return values;
}

// Empty values get a "-" on their title-bar caption, once.
void markEmptyCaption(QLabel *caption, const QString &value) {
    if (value.isEmpty() && !caption->text().endsWith(QLatin1Char('-')))
        caption->setText(caption->text() + QLatin1Char('-'));
}

} // namespace

bool Tovarin::iniConfigOpenRead() {
    const QString path = resolveInAppFolder(QStringLiteral("CONFIGSET.ini"));
    if (!readableFile(path))
        return false;

    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
    m_bEmpWorkCheck = settings.value(QStringLiteral("MainConfig/bEmpWorkCheck"), false).toBool();

    m_listAbandonId.append(meaningfulValues(settings, QStringLiteral("AbandonID")));

    // The check tiles stand in the order of the tool table, one per tool key.
    for (toolButton *keyButton : qAsConst(m_vecConfigButtons)) {
        const QString key = keyButton->m_btnInfo.m_szToolKey;
        const QString id = settings.value(key + QStringLiteral("/ID")).toString();
        const QString toolPath = settings.value(key + QStringLiteral("/Path")).toString();
        const QString exe = settings.value(key + QStringLiteral("/Exe")).toString();
        if (key == QLatin1String("IPCProductCheck"))
            m_dirProductCheckConf.setPath(resolveInAppFolder(toolPath + QStringLiteral("conf/")));
        else if (key == QLatin1String("BPC"))
            m_dirBpcConf.setPath(resolveInAppFolder(toolPath + QStringLiteral("Configs/")));
        // A tool update cut off by a crash or power loss is completed or undone before the tool
        // can be started or read (an executable replacement journals beside the tool's folder).
        if (!toolPath.isEmpty() && QFileInfo(resolveInAppFolder(toolPath)).isDir()) {
            QString problem;
            InstallService::recoverInterrupted(resolveInAppFolder(toolPath), nullptr, &problem);
            if (!problem.isEmpty())
                slotLogRecord(toolPath.split(QLatin1Char('/')).value(1) + QStringLiteral("工具:") + problem);
        }

        for (toolButton *button : qAsConst(m_vecConfigButtons)) {
            toolButtonInfo info = button->m_btnInfo;
            if (info.m_szToolKey != key)
                continue;
            info.m_szToolId = id;
            info.m_szToolPath = toolPath;
            info.m_szExeName = exe;
            info.m_eUpgradeStatus = m_listAbandonId.contains(id, Qt::CaseSensitive) ? UPGRADE_STATUS_NOT_OPEN
                                                                                    : UPGRADE_STATUS_NORMAL;
            button->setBtnInfo(info);
        }
    }

    for (toolButton *button : qAsConst(m_vecConfigButtons)) {
        toolButtonInfo info = button->m_btnInfo;
        info.m_listUnupdate = meaningfulValues(settings, info.m_szToolKey + QStringLiteral("Unupdate"));
        button->setBtnInfo(info);
    }
    return true;
}

bool Tovarin::openMainConfig() {
    const QString path = resolveInAppFolder(QStringLiteral("MAINSET.ini"));
    if (!readableFile(path))
        return false;
    delete m_pMainSettings;
    m_pMainSettings = new QSettings(path, QSettings::IniFormat);
    m_pMainSettings->setIniCodec(QTextCodec::codecForName("UTF-8"));
    m_szMainSetPath = QFile::encodeName(path);
    qDebug() << "ini_path=" << path;
    return true;
}

void Tovarin::readMainConfig() {
    if (!m_pMainSettings)
        return;
    QSettings &settings = *m_pMainSettings;
    settings.sync();

    m_szUserLinePosition = settings.value(QStringLiteral("UserInfo/UserLinePosition")).toString();
    m_szUserPosition = settings.value(QStringLiteral("UserInfo/UserPosition")).toString();
    m_szUserWorkPosition = settings.value(QStringLiteral("UserInfo/UserWorkPosition")).toString();
    m_szEmployeeNumber = settings.value(QStringLiteral("UserInfo/EmployeeNumber")).toString();

    Ui::frameTop *top = ui->widgetTop->ui;
    markEmptyCaption(top->labelLinePos, m_szUserLinePosition);
    markEmptyCaption(top->labelPosition, m_szUserPosition);
    markEmptyCaption(top->labelWorkPos, m_szUserWorkPosition);
    top->labelPositionInfo->setText(m_szUserPosition);
    top->labelWorkPosInfo->setText(m_szUserWorkPosition);
    top->labelLinePosInfo->setText(m_szUserLinePosition);

    m_dateUpgradeLimit =
        QDateTime::fromString(settings.value(QStringLiteral("LimitTime/UpgradeLimit")).toString(),
                              QStringLiteral("yyyy-MM-dd hh:mm:ss"));

    if (!settings.contains(QStringLiteral("UISetting/bClosePop"))) {
        writeMainSet(QStringLiteral("UISetting"), QStringLiteral("bClosePop"), QStringLiteral("true"));
        settings.sync();
    }
    m_bClosePop = settings.value(QStringLiteral("UISetting/bClosePop"), true).toBool();

    m_listMainGroups = settings.childGroups();

    settings.beginGroup(QStringLiteral("SelectedTools"));
    const QStringList keys = settings.childKeys();
    QStringList selectedIds;
    for (const QString &key : keys)
        selectedIds.append(settings.value(key).toString());
    settings.endGroup();

    for (const QString &id : qAsConst(selectedIds)) {
        if (id.length() <= 1)
            continue;
        for (toolButton *button : qAsConst(m_vecConfigButtons)) {
            if (button->m_btnInfo.m_szToolId != id)
                continue;
            button->m_btnInfo.m_bSelected = true;
            // A later show may select a tile the operator has just cleared: let it show so.
            button->setToolBtnui(button->m_btnInfo);
            toolButtonInfo copy = button->m_btnInfo;
            copy.m_bSelectMode = false;
            QVector<toolButtonInfo> *list = toolListOfPlace(copy.m_ePlaceType);
            // Every show re-reads the file (restoring a minimised window shows it again):
            // a tool already in its list must not be added a second time.
            if (list && findSameTool(copy, *list) < 0)
                list->append(copy);
        }
    }
}

bool Tovarin::readConfFile(QString path) {
    if (path.isEmpty()) {
        setCustomerCombText(tr("请选择客户"), -1, false);
        return false;
    }

    QSettings conf(m_productInfo.m_szLocalPath, QSettings::IniFormat);
    conf.setIniCodec(QTextCodec::codecForName("UTF-8"));
    m_productInfo.m_szCustomBrand = conf.value(QStringLiteral("PPCSet/CustomBrand")).toString();
    m_productInfo.m_szCustomIDFlag = conf.value(QStringLiteral("PPCSet/CustomIDFlag")).toString();
    QString dealerName = conf.value(QStringLiteral("IdBelongSet/DealerName")).toString();
    m_szDealerCode = conf.value(QStringLiteral("IdBelongSet/DealerCode")).toString();

    if (m_szDealerCode.isEmpty()) {
        m_bDealerFromConf = false;
        on_combSelectCustmer_textActivated(dealerName);
        // The customer of the last tool start is only a suggestion: it never becomes the
        // configuration's dealer code, which would lock the combo on an id no file names.
        if (m_iOwnerId < 1)
            suggestStoredOwner();
        m_bOwnerLoaded = true;
    } else {
        m_bDealerFromConf = true;
        m_bOwnerLoaded = true;
        on_combSelectCustmer_textActivated(dealerName);
    }
    return true;
}
