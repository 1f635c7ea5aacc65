#include "popwidget.h"
#include "ui_popwidget.h"

#include <QDebug>

popWidget::popWidget(QWidget *parent) : popWidgetBase(tr("3天内不再提示"), parent) {
    // The base built the form before this class's slots existed; bind the buttons now.
    QMetaObject::connectSlotsByName(this);
}

bool popWidget::handlesType(popType type) const {
    return type == POP_TYPE_UPGRADE || type == POP_TYPE_INSTALLING || type == POP_TYPE_DOWNLOADING;
}

void popWidget::slotSetPopUI(QString szVersion, QString szMessage, popType type) {
    // Kept even for an unknown state, so a later confirm shows the latest texts.
    m_szVersion = szVersion;
    m_szMessage = szMessage;
    showPopState(m_szVersion, m_szMessage, type);
}

void popWidget::slotSetPopUI(QString szVersion, QStringList messages, popType type) {
    slotSetPopUI(szVersion, joinMessages(messages), type);
}

void popWidget::on_btnConfirm_clicked() {
    if (ui->radioButton->isChecked())
        emit signalRecordCurrentTime();
    emit signalContinueUpgrade(true);
    slotSetPopUI(m_szVersion, m_szMessage, POP_TYPE_DOWNLOADING);
}

void popWidget::on_btnCancel_clicked() {
    if (ui->radioButton->isChecked())
        emit signalRecordCurrentTime();
    emit signalContinueUpgrade(false);
    qDebug() << "21212";
    close();
}

void popWidget::slotPopClose() {
    emit signalClosePop();
}
