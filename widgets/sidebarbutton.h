#pragma once

#include "ui_sidebarbutton.h"

#include <QString>
#include <QWidget>

// One entry of the side bar: highlighted and inert once pressed, until it is reset.
class SideBarButton : public QWidget {
    Q_OBJECT
public:
    explicit SideBarButton(QWidget *parent = nullptr);
    ~SideBarButton() override;

    // Public so the main window can press the entry programmatically; event may be null.
    void mousePressEvent(QMouseEvent *event) override;

    Ui::SideBarButton *ui;

signals:
    void signalClicked();

public slots:
    void slotChangeToClickable();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_bUnClickable = false;
    QString m_szTextStyle;
};
