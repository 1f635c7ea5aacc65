#pragma once

#include "ui_popclosewidget.h"

#include <QWidget>

// Confirmation shown when the operator closes the launcher. The form is public: the main
// window wires checkBox and btnConfirm itself.
class popCloseWidget : public QWidget {
    Q_OBJECT
public:
    explicit popCloseWidget(QWidget *parent = nullptr);
    ~popCloseWidget() override;

    // false where the window system cannot blend windows: a light, opaque dimming layer.
    void setTranslucentLook(bool bTranslucent);

    Ui::popCloseWidget *ui;

signals:
    void closeWidgetBan();

public slots:
    void on_btnClose_clicked();
    void on_btnCancel_clicked();

private:
    QString m_szDimmingStyle;
};
