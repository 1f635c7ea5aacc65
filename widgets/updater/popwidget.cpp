#include "popwidget.h"
#include "ui_popwidget.h"

#include "popuplook.h"

#include <QLabel>
#include <QProgressBar>
#include <QStyle>

popWidget::popWidget(QWidget *parent) : popWidgetBase(tr("3天内不再提醒"), parent) {
    // The base built the form before this class's slots existed; bind the buttons now.
    QMetaObject::connectSlotsByName(this);

    // Under the notes, where the launcher's copy has its buttons (hidden while installing).
    m_pProgressBar = new QProgressBar(ui->widgetMain);
    m_pProgressBar->setObjectName(QStringLiteral("progressInstall"));
    m_pProgressBar->setRange(0, 100);
    m_pProgressBar->setTextVisible(false);
    m_pProgressBar->setFixedHeight(6);
    m_pProgressBar->setStyleSheet(
        QStringLiteral("QProgressBar\n{\n\tbackground-color: #E9ECF2;\n\tborder: none;\n"
                       "\tborder-radius: 3px;\n}\nQProgressBar::chunk\n{\n"
                       "\tbackground-color: #447AF0;\n\tborder-radius: 3px;\n}"));
    m_pProgressBar->hide();
    m_pLabStatus = new QLabel(ui->widgetMain);
    m_pLabStatus->setObjectName(QStringLiteral("labStatus"));
    m_pLabStatus->setWordWrap(true);
    // Failure reasons name files of a downloaded package.
    m_pLabStatus->setTextFormat(Qt::PlainText);
    m_pLabStatus->setStyleSheet(
        QStringLiteral("font-family: SourceHanSansSC;\nfont-size: 14px;\ncolor: #FF0000;"));
    m_pLabStatus->hide();
    const int notesAt = ui->layoutCard->indexOf(ui->txtboxMessage);
    ui->layoutCard->insertWidget(notesAt + 1, m_pProgressBar);
    ui->layoutCard->insertWidget(notesAt + 2, m_pLabStatus);
}

bool popWidget::handlesType(popType type) const {
    return type == POP_TYPE_UPGRADE || type == POP_TYPE_INSTALLING;
}

void popWidget::setCoveringLook() {
    QWidget *layer = ui->widgetBackground;
    layer->setStyleSheet(PopupLook::coveringStyle(layer->styleSheet()));
    // Set before the first show, the new style would lose to the form's rounded one at the
    // first paint; polishing again applies it at once.
    layer->style()->unpolish(layer);
    layer->style()->polish(layer);
}

void popWidget::slotSetPopUI(QString version, QString message, popType type) {
    if (!showPopState(version, message, type))
        return;
    const bool installing = type == POP_TYPE_INSTALLING;
    if (!installing) {
        m_pProgressBar->hide();
        m_pLabStatus->hide();
    }
    // Without the buttons the notes get their room: more lines show before the box scrolls.
    ui->layoutCard->setSpacing(installing ? 10 : 14);
    ui->layoutCard->setContentsMargins(24, installing ? 16 : 20, 24, installing ? 16 : 20);
}

void popWidget::slotSetPopUI(QString version, QStringList messages, popType type) {
    slotSetPopUI(version, joinMessages(messages), type);
}

void popWidget::on_btnCancel_clicked() {
    close();
}

void popWidget::slotSetProgress(int iPercent) {
    m_pProgressBar->setValue(qBound(0, iPercent, 100));
    m_pProgressBar->show();
}

void popWidget::slotSetStatus(QString szText) {
    m_pLabStatus->setText(szText);
    m_pLabStatus->setVisible(!szText.isEmpty());
}
