#include "messagelabel.h"
#include "ui_messagelabel.h"

#include "plaintext.h"

#include <QPainter>
#include <QStyleOption>

namespace {
struct TitleLook {
    const char *point;
    const char *title;
};

// Indexed by TITLECOLOR_E.
const TitleLook kTitleLooks[] = {
    {"background-color:#5AD8A6;", "color:#5AD8A6;"},
    {"background-color:#FF0000;", "color:#FF0000;"},
    {"background-color:#FFBE2A;", "color:#FFBE2A;"},
    {"background-color:#447AF0;", "color:#447AF0;"},
};
} // namespace

messageLabel::messageLabel(QWidget *parent) : QWidget(parent), ui(new Ui::messageLabel) {
    qRegisterMetaType<TITLECOLOR_E>("TITLECOLOR_E");
    qRegisterMetaType<MESSAGEINFO_S>("MESSAGEINFO_S");
    ui->setupUi(this);
    PlainText::keepPlain({ui->labTitle, ui->labDatetime, ui->labContent});
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
}

messageLabel::~messageLabel() {
    delete ui;
}

bool messageLabel::setMessageTitle(QString title, TITLECOLOR_E color) {
    const bool known = color >= TITLE_COLOR_GREEN && color <= TITLE_COLOR_BLUE;
    if (known) {
        ui->labPoint->setStyleSheet(QLatin1String(kTitleLooks[color].point));
        ui->labTitle->setStyleSheet(QLatin1String(kTitleLooks[color].title));
    }
    ui->labTitle->setText(title);
    return known;
}

void messageLabel::setMessageDatetime(QString datetime) {
    ui->labDatetime->setText(datetime);
}

void messageLabel::setMessageContent(QString content) {
    ui->labContent->setText(content);
}

bool messageLabel::setMessageInfo(QString title, TITLECOLOR_E color, QString datetime, QString content) {
    const bool known = setMessageTitle(title, color);
    setMessageDatetime(datetime);
    setMessageContent(content);
    return known;
}

bool messageLabel::setMessageInfo(MESSAGEINFO_S info) {
    return setMessageInfo(info.m_szTitle, info.m_eTitleColor, info.m_szDatetime, info.m_szContent);
}

void messageLabel::paintEvent(QPaintEvent *) {
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
