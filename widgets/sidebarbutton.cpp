#include "sidebarbutton.h"

#include <QPainter>
#include <QStyleOption>

SideBarButton::SideBarButton(QWidget *parent) : QWidget(parent), ui(new Ui::SideBarButton) {
    ui->setupUi(this);
    m_szTextStyle = ui->labelText->styleSheet();
    ui->labelPic->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui->labelText->setAttribute(Qt::WA_TransparentForMouseEvents);
}

SideBarButton::~SideBarButton() {
    delete ui;
}

void SideBarButton::mousePressEvent(QMouseEvent *) {
    if (m_bUnClickable)
        return;
    m_bUnClickable = true;
    ui->widget->setStyleSheet(QStringLiteral("#widget{background-color:rgba(68,122,240,0.1);}"));
    ui->labelText->setStyleSheet(m_szTextStyle + QStringLiteral("color: #447AF0;"));
    emit signalClicked();
}

void SideBarButton::slotChangeToClickable() {
    m_bUnClickable = false;
    ui->widget->setStyleSheet(QStringLiteral("#widget{background-color:rgb(255,255,255);}"));
    ui->labelText->setStyleSheet(m_szTextStyle + QStringLiteral("color: #666666;"));
}

void SideBarButton::paintEvent(QPaintEvent *) {
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
