#include "popwidget.h"
#include "ui_popwidget.h"

#include <QDebug>
#include <QProgressBar>
#include <QScrollBar>
#include <QTextEdit>

popWidget::popWidget(QWidget *parent) : popWidgetBase(tr("3天内不再提示"), parent) {
    // The base built the form before this class's slots existed; bind the buttons now.
    QMetaObject::connectSlotsByName(this);

    // A slim bar under the notes, shown only while downloading.
    m_pProgressDownload = new QProgressBar(ui->widgetMain);
    m_pProgressDownload->setObjectName(QStringLiteral("progressDownload"));
    m_pProgressDownload->setTextVisible(false);
    m_pProgressDownload->setFixedHeight(6);
    m_pProgressDownload->setRange(0, 1000);
    m_pProgressDownload->setValue(0);
    m_pProgressDownload->setStyleSheet(QStringLiteral("QProgressBar\n{\n\tbackground-color: #E3EBFC;\n"
                                                      "\tborder: none;\n\tborder-radius: 3px;\n}\n"
                                                      "QProgressBar::chunk\n{\n\tbackground-color: #447AF0;\n"
                                                      "\tborder-radius: 3px;\n}"));
    m_pProgressDownload->hide();
    ui->layoutCard->insertWidget(ui->layoutCard->indexOf(ui->txtboxMessage) + 1, m_pProgressDownload);

    // The rounded scroll bar leaves its corners to what lies beneath, which is nothing in a
    // see-through window: paint them in the notes' own grey.
    QScrollBar *bar = ui->txtboxMessage->verticalScrollBar();
    QPalette palette = bar->palette();
    palette.setColor(QPalette::Window, QColor(0xF8, 0xF9, 0xFA));
    bar->setPalette(palette);
    bar->setAutoFillBackground(true);
}

bool popWidget::handlesType(popType type) const {
    return type == POP_TYPE_UPGRADE || type == POP_TYPE_INSTALLING || type == POP_TYPE_DOWNLOADING;
}

void popWidget::slotSetPopUI(QString szVersion, QString szMessage, popType type) {
    // Kept even for an unknown state, so a later confirm shows the latest texts.
    m_szVersion = szVersion;
    m_szMessage = szMessage;
    if (!showPopState(m_szVersion, m_szMessage, type))
        return;
    const bool downloading = type == POP_TYPE_DOWNLOADING;
    // A new download starts from an empty bar; a repeated show keeps what arrived.
    if (downloading && m_pProgressDownload->isHidden())
        slotSetDownloadProgress(0, 1);
    m_pProgressDownload->setVisible(downloading);
    // Without buttons their row gives its height to the notes.
    ui->spacerButtons->changeSize(0, type == POP_TYPE_UPGRADE ? 20 : 0, QSizePolicy::Expanding,
                                  QSizePolicy::Minimum);
    ui->layoutButtons->invalidate();
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

void popWidget::slotSetDownloadProgress(qint64 bytesReceived, qint64 bytesTotal) {
    if (bytesTotal < 1) {
        m_pProgressDownload->setRange(0, 0);
        return;
    }
    m_pProgressDownload->setRange(0, 1000);
    const qint64 received = qBound<qint64>(0, bytesReceived, bytesTotal);
    m_pProgressDownload->setValue(static_cast<int>(received * 1000 / bytesTotal));
}
