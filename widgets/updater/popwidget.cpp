#include "popwidget.h"

popWidget::popWidget(QWidget *parent) : popWidgetBase(tr("3天内不再提醒"), parent) {
    // The base built the form before this class's slots existed; bind the buttons now.
    QMetaObject::connectSlotsByName(this);
}

bool popWidget::handlesType(popType type) const {
    return type == POP_TYPE_UPGRADE || type == POP_TYPE_INSTALLING;
}

void popWidget::slotSetPopUI(QString version, QString message, popType type) {
    showPopState(version, message, type);
}

void popWidget::slotSetPopUI(QString version, QStringList messages, popType type) {
    showPopState(version, joinMessages(messages), type);
}

void popWidget::on_btnCancel_clicked() {
    close();
}
