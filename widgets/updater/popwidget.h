#pragma once

#include "popwidgetbase.h"

class QLabel;
class QProgressBar;

// The updater's copy of the upgrade pop-up: no signals and no memory of what it showed; it
// knows the question and the installing notice only, and its cancel button just closes it.
// While installing it shows the installation's progress and, when it fails, why.
class popWidget : public popWidgetBase {
    Q_OBJECT
public:
    explicit popWidget(QWidget *parent = nullptr);

    // The updater's window is nothing but this pop-up: no dimming layer, no see-through corner.
    void setCoveringLook();

public slots:
    void slotSetPopUI(QString version, QString message, popType type);
    void slotSetPopUI(QString version, QStringList messages, popType type);
    void on_btnCancel_clicked();
    // Percent done (0 to 100) of the installation, on a slim bar under the notes.
    void slotSetProgress(int iPercent);
    // One line under the notes (a failure's reason); empty hides it.
    void slotSetStatus(QString szText);

protected:
    bool handlesType(popType type) const override;

private:
    QProgressBar *m_pProgressBar = nullptr;
    QLabel *m_pLabStatus = nullptr;
};
