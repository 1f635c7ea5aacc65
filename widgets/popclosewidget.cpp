#include "popclosewidget.h"

#include "popuplook.h"

popCloseWidget::popCloseWidget(QWidget *parent) : QWidget(parent), ui(new Ui::popCloseWidget) {
    ui->setupUi(this);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowModality(Qt::ApplicationModal);
    m_szDimmingStyle = ui->widgetBackground->styleSheet();
}

void popCloseWidget::setTranslucentLook(bool bTranslucent) {
    PopupLook::applyDimming(ui->widgetBackground, m_szDimmingStyle, bTranslucent);
}

popCloseWidget::~popCloseWidget() {
    delete ui;
}

void popCloseWidget::on_btnClose_clicked() {
    close();
}

void popCloseWidget::on_btnCancel_clicked() {
    close();
}
