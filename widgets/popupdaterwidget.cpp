#include "popupdaterwidget.h"
#include "ui_popwidget.h"

popUpdaterWidget::popUpdaterWidget(QWidget *parent) : popWidgetBase(tr("3天内不再提醒"), parent) {
    // The base built the form before this class's slots existed; bind the buttons now.
    QMetaObject::connectSlotsByName(this);
}

bool popUpdaterWidget::handlesType(popType type) const {
    return type == POP_TYPE_UPGRADE || type == POP_TYPE_INSTALLING;
}

void popUpdaterWidget::slotSetPopUI(QString version, QString message, popType type) {
    showPopState(version, message, type);
}

void popUpdaterWidget::slotSetPopUI(QString version, QStringList messages, popType type) {
    showPopState(version, joinMessages(messages), type);
}

void popUpdaterWidget::on_btnCancel_clicked() {
    close();
}
