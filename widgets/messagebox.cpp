#include "messagebox.h"
#include "messagelabel.h"
#include "ui_messagebox.h"

#include <QFocusEvent>
#include <QPainter>
#include <QStyleOption>
#include <QVBoxLayout>

messageBox::messageBox(QWidget *parent) : QWidget(parent), ui(new Ui::messageBox) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setWindowFlags(windowFlags() | Qt::Popup);
    // The panel itself holds the focus while open; its controls must not take it away, or
    // a click inside would count as leaving the panel.
    setFocusPolicy(Qt::StrongFocus);

    // The list area is made once; each show fills it with the current entries.
    m_pListArea = ui->scrollAreaWidgetContents;
    m_pListArea->setStyleSheet(QStringLiteral("background-color:#FFFFFF;border-radius:10px;"));
    m_pListLayout = new QVBoxLayout(m_pListArea);
    m_pListLayout->setSpacing(0);
    m_pListLayout->setContentsMargins(0, 0, 0, 0);
}

messageBox::~messageBox() {
    delete ui;
}

void messageBox::layoutMessages() {
    while (QLayoutItem *item = m_pListLayout->takeAt(0)) {
        // Entries dropped from the list stay alive (their owner decides) but are not shown.
        if (QWidget *entry = item->widget())
            entry->hide();
        delete item;
    }
    for (messageLabel *entry : qAsConst(m_listMessages)) {
        if (!entry)
            continue;
        m_pListLayout->addWidget(entry);
        entry->show();
    }
    m_pListLayout->addStretch();
}

void messageBox::showEvent(QShowEvent *event) {
    layoutMessages();
    QWidget::showEvent(event);
}

void messageBox::focusOutEvent(QFocusEvent *event) {
    QWidget::focusOutEvent(event);
    // Hidden by its owner already: nothing to report, or the owner's toggle would reopen it.
    if (isHidden())
        return;
    hide();
    emit signalWidgetHide();
}

void messageBox::paintEvent(QPaintEvent *) {
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
