// Station setup page: the four station values, the station's tools, and the page switch.
#include "tovarin.h"
#include "ui_tovarin.h"

#include "frametop.h"
#include "sidebarbutton.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {

// The tools the launcher knows: key, display name, power type and tool-page group.
struct KnownTool {
    const char *key;
    const char *name;
    ELECTRICTYPE_E electricType;
    PLACETYPE_E placeType;
};

const KnownTool kKnownTools[] = {
    {"IPCProductCheck", QT_TRANSLATE_NOOP("Tovarin", "常电成品测试"), ELECTRIC_TYPE_MAINS,
     PLACE_TYPE_PRODUCTION},
    {"BPC", QT_TRANSLATE_NOOP("Tovarin", "低功耗成品测试"), ELECTRIC_TYPE_LOW_POWER, PLACE_TYPE_PRODUCTION},
    {"IPCamSuite", QT_TRANSLATE_NOOP("Tovarin", "搜索工具"), ELECTRIC_TYPE_ANY, PLACE_TYPE_AUXILIARY},
    {"IPCTestMulti", QT_TRANSLATE_NOOP("Tovarin", "模组产测"), ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"MACSetting", QT_TRANSLATE_NOOP("Tovarin", "无线MAC烧录工具"), ELECTRIC_TYPE_ANY, PLACE_TYPE_NVR_DVR},
    {"WifiModuleTest", QT_TRANSLATE_NOOP("Tovarin", "wifi吞吐量测试"), ELECTRIC_TYPE_MAINS,
     PLACE_TYPE_PRODUCTION},
    {"XVRProductCheck", QT_TRANSLATE_NOOP("Tovarin", "打彩盒标贴标"), ELECTRIC_TYPE_MAINS,
     PLACE_TYPE_PRODUCTION},
    {"PPCFocus", QT_TRANSLATE_NOOP("Tovarin", "调焦"), ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"PPCAirTight", QT_TRANSLATE_NOOP("Tovarin", "气密性测试"), ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"CompareLabel", QT_TRANSLATE_NOOP("Tovarin", "机身/彩盒标对比"), ELECTRIC_TYPE_MAINS,
     PLACE_TYPE_PRODUCTION},
    {"PrintSNLabel", QT_TRANSLATE_NOOP("Tovarin", "打印SN标签"), ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"BoxWeightCheck", QT_TRANSLATE_NOOP("Tovarin", "外箱称重"), ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"PPCPackage", QT_TRANSLATE_NOOP("Tovarin", "装箱入库"), ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"WeightCheck", QT_TRANSLATE_NOOP("Tovarin", "彩盒称重"), ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
    {"WifiConnectTool", QT_TRANSLATE_NOOP("Tovarin", "无线小工具助手"), ELECTRIC_TYPE_ANY,
     PLACE_TYPE_AUXILIARY},
    {"JBM", QT_TRANSLATE_NOOP("Tovarin", "整箱出库"), ELECTRIC_TYPE_MAINS, PLACE_TYPE_PRODUCTION},
};

} // namespace

void Tovarin::uiSetConfigPage() {
    ui->labPositionHint->setText(tr("站位:"));
    ui->labLineHint->setText(tr("线位:"));
    ui->labWorkHint->setText(tr("工位:"));
    ui->labMessage->setText(tr("本站位测试类型："));
    ui->btnConfrim->setText(tr("确定"));
    ui->btnCancel->setText(tr("取消"));
    for (QLineEdit *edit : {ui->lineEditPosition, ui->lineEditLine, ui->lineEditWork, ui->lineEditEmployee}) {
        edit->setPlaceholderText(tr("请输入"));
        edit->setContextMenuPolicy(Qt::NoContextMenu);
    }

    for (const KnownTool &tool : kKnownTools) {
        const QString key = QString::fromLatin1(tool.key);
        toolButton *button = ui->qwidgetConfig->findChild<toolButton *>(QStringLiteral("tbtn") + key);
        Q_ASSERT(button);
        button->setBtnInfo(tr(tool.name), key, QString(), true, tool.electricType, UPGRADE_STATUS_NORMAL,
                           false, tool.placeType);
        m_vecConfigButtons.append(button);
        connect(button, &toolButton::signalToolNotOpen, this, &Tovarin::slotPopNotOpenMsg);
    }
}

void Tovarin::popStationMessage(const QString &message, bool quiet) {
    // The automatic page choice at start-up runs inside the first show and stays silent.
    if (quiet && m_bFirstShow)
        return;
    slotPopMessage(message);
}

bool Tovarin::pageSwitchLimit() {
    if (!m_bEmpWorkCheck) {
        ui->labEmployeeHint->hide();
        ui->lineEditEmployee->hide();
        if (m_szUserPosition.isEmpty() || m_szUserLinePosition.isEmpty() || m_szUserWorkPosition.isEmpty()) {
            popStationMessage(tr("请完整填写站位、线位、工位"), true);
            return false;
        }
    } else {
        if (m_szUserPosition.isEmpty() || m_szUserLinePosition.isEmpty() || m_szUserWorkPosition.isEmpty() ||
            m_szEmployeeNumber.isEmpty()) {
            popStationMessage(tr("请完整填写站位、线位、工位、员工号"), true);
            return false;
        }
        const QString url = m_common.getPPCDomain() + QStringLiteral("ProductionApi/login");
        QMap<QString, QString> params;
        params.insert(QStringLiteral("position_id"), m_szUserWorkPosition);
        params.insert(QStringLiteral("user_id"), m_szEmployeeNumber);
        const QString answer = url.contains(QLatin1String("https")) ? m_common.httpsGetRequest(url, params)
                                                                    : m_common.httpGetRequest(url, params);
        const QJsonDocument document = QJsonDocument::fromJson(answer.toUtf8());
        if (document.isNull()) {
            popStationMessage(tr("工位、员工号校验失败，错误信息:") + answer, false);
            return false;
        }
        const QJsonValue ack = document.object().value(QStringLiteral("ack"));
        const QString ackText = ack.isDouble() ? QString::number(ack.toDouble()) : ack.toString();
        if (!ack.isString() || ackText != QLatin1String("200")) {
            popStationMessage(tr("请校验工位、员工号是否正确。错误码:") + ackText, true);
            return false;
        }
    }

    slotSetProductionTools();
    if (m_vecProductionTools.isEmpty() && m_vecAuxiliaryTools.isEmpty() && m_vecNvrDvrTools.isEmpty()) {
        popStationMessage(tr("请选择此站位的测试类型"), true);
        return false;
    }
    writeMainSet(QStringLiteral("UserInfo"), QStringLiteral("EmployeeNumber"), m_szEmployeeNumber);
    return true;
}

void Tovarin::openToolPage() {
    ui->btnProduct->mousePressEvent(nullptr);
    ui->btnConfig->slotChangeToClickable();
    ui->widgetMain->setCurrentWidget(ui->qwidgetTool);
    mTimerToolUpCheck.start(200);
}

void Tovarin::slotBtnProductClicked() {
    resumeSelectedTools();
    if (pageSwitchLimit())
        openToolPage();
    else
        slotBtnConfigClicked();
}

void Tovarin::slotBtnConfigClicked() {
    ui->btnConfig->mousePressEvent(nullptr);
    ui->btnProduct->slotChangeToClickable();
    ui->widgetMain->setCurrentWidget(ui->qwidgetConfig);
    for (toolButton *button : qAsConst(m_vecConfigButtons))
        button->setToolBtnui(button->m_btnInfo);
    ui->lineEditLine->setText(m_szUserLinePosition);
    ui->lineEditPosition->setText(m_szUserPosition);
    ui->lineEditWork->setText(m_szUserWorkPosition);
    ui->lineEditEmployee->setText(m_szEmployeeNumber);
}

void Tovarin::on_btnConfrim_clicked() {
    m_szUserPosition = ui->lineEditPosition->text();
    m_szUserLinePosition = ui->lineEditLine->text();
    m_szUserWorkPosition = ui->lineEditWork->text();
    m_szEmployeeNumber = ui->lineEditEmployee->text();

    writeMainSet(QStringLiteral("UserInfo"), QStringLiteral("UserPosition"), m_szUserPosition);
    writeMainSet(QStringLiteral("UserInfo"), QStringLiteral("UserLinePosition"), m_szUserLinePosition);
    writeMainSet(QStringLiteral("UserInfo"), QStringLiteral("UserWorkPosition"), m_szUserWorkPosition);

    Ui::frameTop *top = ui->widgetTop->ui;
    top->labelPositionInfo->setText(m_szUserPosition);
    top->labelWorkPosInfo->setText(m_szUserWorkPosition);
    top->labelLinePosInfo->setText(m_szUserLinePosition);
    if (!m_szUserLinePosition.isEmpty())
        top->labelLinePos->setText(top->labelLinePos->text().remove(QLatin1Char('-')));
    if (!m_szUserPosition.isEmpty())
        top->labelPosition->setText(top->labelPosition->text().remove(QLatin1Char('-')));
    if (!m_szUserWorkPosition.isEmpty())
        top->labelWorkPos->setText(top->labelWorkPos->text().remove(QLatin1Char('-')));

    slotSetProductionTools();
    if (!pageSwitchLimit())
        return;

    slotBtnProductClicked();
    mTimerToolUpCheck.start(200);

    for (int i = 1; i <= 24; ++i)
        writeMainSet(QStringLiteral("SelectedTools"), QStringLiteral("tool%1").arg(i), QString());
    for (int i = 1; i <= m_vecToolButtons.size(); ++i)
        writeMainSet(QStringLiteral("SelectedTools"), QStringLiteral("tool%1").arg(i),
                     m_vecToolButtons.at(i - 1)->m_btnInfo.m_szToolId);
}

void Tovarin::on_btnCancel_clicked() {
    // Cancel is the product button's path: unconfirmed tile changes are dropped, the stored
    // station is checked again.
    slotBtnProductClicked();
}

void Tovarin::resumeSelectedTools() {
    for (toolButton *button : qAsConst(m_vecConfigButtons)) {
        const toolButtonInfo &info = button->m_btnInfo;
        const QVector<toolButtonInfo> *list = toolListOfPlace(info.m_ePlaceType);
        if (!list)
            continue;
        const bool committed = findSameTool(info, *list) >= 0;
        if (committed != info.m_bSelected)
            QMetaObject::invokeMethod(button, "slotOnBtnMainClicked", Qt::DirectConnection);
    }
}

void Tovarin::initConfigurationPageSwitch() {
    if (m_szUserPosition.isEmpty() || m_szUserLinePosition.isEmpty() || m_szUserWorkPosition.isEmpty() ||
        (m_vecProductionTools.isEmpty() && m_vecAuxiliaryTools.isEmpty() && m_vecNvrDvrTools.isEmpty())) {
        slotBtnConfigClicked();
        return;
    }
    resumeSelectedTools();
    if (pageSwitchLimit())
        openToolPage();
    else
        slotBtnConfigClicked();
    m_timerCheckDealer.start(1000);
}
