#pragma once

#include "popwidgetbase.h"

// The updater's copy of the upgrade pop-up: no signals and no memory of what it showed; it
// knows the question and the installing notice only, and its cancel button just closes it.
class popWidget : public popWidgetBase {
    Q_OBJECT
public:
    explicit popWidget(QWidget *parent = nullptr);

public slots:
    void slotSetPopUI(QString version, QString message, popType type);
    void slotSetPopUI(QString version, QStringList messages, popType type);
    void on_btnCancel_clicked();

protected:
    bool handlesType(popType type) const override;
};
