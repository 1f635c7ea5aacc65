#include "poptextwidget.h"
#include "ui_poptextwidget.h"

#include "plaintext.h"
#include "popuplook.h"

#include <QEvent>
#include <QRegion>

popTextWidget::popTextWidget(QWidget *parent) : QWidget(parent), ui(new Ui::popTextWidget) {
    ui->setupUi(this);
    // Messages carry server answers.
    PlainText::keepPlain({ui->labText});
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    connect(&m_timerClose, SIGNAL(timeout()), this, SLOT(slotCloseEvent()));
    m_szStripStyle = ui->labText->styleSheet();
    ui->labText->installEventFilter(this);
}

popTextWidget::~popTextWidget() {
    delete ui;
}

void popTextWidget::setLabelText(QString text) {
    ui->labText->setText(text);
    // Showing an already visible toast brings no show event; a new message still gets its
    // full time.
    if (isVisible())
        restartCloseTimer();
}

void popTextWidget::setShowTimes(int milliseconds) {
    m_iShowTimes = milliseconds;
    if (isVisible())
        restartCloseTimer();
}

QString popTextWidget::breakLines(const QString &message, int lineLength, int *lines) {
    QString text = message;
    const int count = qMax(1, (message.length() + lineLength - 1) / lineLength);
    for (int at = (count - 1) * lineLength; at > 0; at -= lineLength)
        text.insert(at, QStringLiteral("\r\n"));
    if (lines)
        *lines = count;
    return text;
}

void popTextWidget::setTranslucentLook(bool bTranslucent) {
    if (bTranslucent == m_bTranslucentLook)
        return;
    m_bTranslucentLook = bTranslucent;
    ui->labText->setStyleSheet(PopupLook::toastStripStyle(m_szStripStyle, bTranslucent));
    updateMask();
}

bool popTextWidget::eventFilter(QObject *watched, QEvent *event) {
    if (watched == ui->labText && (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        updateMask();
    return QWidget::eventFilter(watched, event);
}

void popTextWidget::updateMask() {
    if (m_bTranslucentLook) {
        clearMask();
        return;
    }
    // The strip is narrower than the toast; the see-through rest must not be drawn at all.
    setMask(QRegion(ui->labText->geometry()));
}

void popTextWidget::slotCloseEvent() {
    m_timerClose.stop();
    close();
}

void popTextWidget::showEvent(QShowEvent *event) {
    restartCloseTimer();
    QWidget::showEvent(event);
}

void popTextWidget::restartCloseTimer() {
    m_timerClose.stop();
    m_timerClose.start(m_iShowTimes);
}
