#include "popwidgetbase.h"
#include "ui_popwidget.h"

#include "popuplook.h"

#include <QCoreApplication>
#include <QPixmap>

namespace {
struct PopLook {
    const char *picture;
    const char *title;
    bool buttons;
};

// Indexed by popType.
const PopLook kPopLooks[] = {
    {":/product/resource/image/picUpgrade.png", QT_TRANSLATE_NOOP("popWidget", "新版本升级"), true},
    {":/product/resource/image/picInstall.png", QT_TRANSLATE_NOOP("popWidget", "安装中..."), false},
    {":/product/resource/image/picInstall.png", QT_TRANSLATE_NOOP("popWidget", "下载中..."), false},
};
} // namespace

popWidgetBase::popWidgetBase(const QString &radioText, QWidget *parent)
    : QWidget(parent), ui(new Ui::popWidget) {
    qRegisterMetaType<popType>("popType");
    ui->setupUi(this);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowModality(Qt::ApplicationModal);
    ui->radioButton->setText(radioText);
    m_szDimmingStyle = ui->widgetBackground->styleSheet();
}

void popWidgetBase::setTranslucentLook(bool bTranslucent) {
    PopupLook::applyDimming(ui->widgetBackground, m_szDimmingStyle, bTranslucent);
}

popWidgetBase::~popWidgetBase() {
    delete ui;
}

QString popWidgetBase::joinMessages(const QStringList &messages) {
    QString text;
    for (int i = 0; i < messages.size(); ++i) {
        if (i > 0)
            text += QStringLiteral("\r\n\n");
        text += QChar(0x00B7) + messages.at(i);
    }
    return text;
}

QString popWidgetBase::composeText(const QString &szVersion, const QString &szMessage) {
    return QStringLiteral("v") + szVersion + QStringLiteral("\r\n\n") + QStringLiteral("版本说明:") +
           QStringLiteral("\r\n\n") + szMessage;
}

bool popWidgetBase::showPopState(const QString &szVersion, const QString &szMessage, popType type) {
    if (type < POP_TYPE_UPGRADE || type > POP_TYPE_DOWNLOADING || !handlesType(type))
        return false;
    const PopLook &look = kPopLooks[type];
    ui->labPic->setPixmap(QPixmap(QLatin1String(look.picture)).scaled(40, 40, Qt::IgnoreAspectRatio));
    // Catalogues list the titles under popWidget, the class both programs show.
    ui->labTitle->setText(QCoreApplication::translate("popWidget", look.title));
    ui->radioButton->setVisible(look.buttons);
    ui->btnConfirm->setVisible(look.buttons);
    ui->btnCancel->setVisible(look.buttons);
    ui->txtboxMessage->setPlainText(composeText(szVersion, szMessage));
    return true;
}
