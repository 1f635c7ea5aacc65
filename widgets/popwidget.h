#pragma once

#include "popwidgetbase.h"

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

protected:
    bool handlesType(popType type) const override;

private:
    QString m_szVersion;
    QString m_szMessage;
};
