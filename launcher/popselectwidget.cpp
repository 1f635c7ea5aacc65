#include "popselectwidget.h"

popSelectWidget::popSelectWidget(QWidget *parent) : QWidget(parent) {
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowModality(Qt::ApplicationModal);
    m_pMainWidget = new QWidget(this);
    m_pMainWidget->setObjectName(QStringLiteral("widget"));
    hide();
}

void popSelectWidget::setProductSelected(PRODUCTSHOWINFO_S info) {
    m_selectedProduct = info;
    m_confirmedProduct = info;
}

void popSelectWidget::slotSetMainWidgetSize(int width, int heigh) {
    m_pMainWidget->setFixedSize(width, heigh);
}
