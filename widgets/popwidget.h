#pragma once

#include "popwidgetbase.h"

class QProgressBar;

// The launcher's upgrade pop-up: asks whether to upgrade, then stays open as the
// downloading or installing notice.
class popWidget : public popWidgetBase {
    Q_OBJECT
public:
    explicit popWidget(QWidget *parent = nullptr);

signals:
    void signalRecordCurrentTime();
    void signalContinueUpgrade(bool bUpgrade);
    void signalClosePop();

public slots:
    void slotSetPopUI(QString szVersion, QString szMessage, popType type);
    void slotSetPopUI(QString szVersion, QStringList messages, popType type);
    void on_btnConfirm_clicked();
    void on_btnCancel_clicked();
    void slotPopClose();
    // Progress of the download shown in the "下载中..." state; a total below 1 (size not
    // announced) shows a moving bar.
    void slotSetDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);

protected:
    bool handlesType(popType type) const override;

private:
    QProgressBar *m_pProgressDownload = nullptr;
    QString m_szVersion;
    QString m_szMessage;
};
