#include "frametop.h"

#include "plaintext.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyleOption>

frameTop::frameTop(QWidget *parent) : QWidget(parent), ui(new Ui::frameTop), m_pointPress(0, 0) {
    ui->setupUi(this);
    // The station's values and the account as they were typed or answered.
    PlainText::keepPlain(
        {ui->labelPositionInfo, ui->labelLinePosInfo, ui->labelWorkPosInfo, ui->labelAccountInfo});
    ui->btnMessageBox->hide();
}

frameTop::~frameTop() {
    delete ui;
}

void frameTop::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        m_pointPress = event->screenPos().toPoint();
        // The window takes this as the moment to remember where it stands.
        emit signalReleaseEvent();
    }
    QWidget::mousePressEvent(event);
}

void frameTop::mouseMoveEvent(QMouseEvent *event) {
    // Only a pure left-button drag moves the window; adding another button stops it.
    if (event->buttons() == Qt::LeftButton)
        emit signalMoveEvent(event->screenPos().toPoint() - m_pointPress);
    QWidget::mouseMoveEvent(event);
}

void frameTop::mouseReleaseEvent(QMouseEvent *event) {
    emit signalReleaseEvent();
    QWidget::mouseReleaseEvent(event);
}

void frameTop::paintEvent(QPaintEvent *) {
    // Lets the style sheet paint the bar's own background.
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
