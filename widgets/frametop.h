#pragma once

#include "ui_frametop.h"

#include <QPoint>
#include <QWidget>

// The main window's title bar. It only reports the drag; the window moves itself. The form is
// public: the main window fills the value labels and wires the three buttons.
class frameTop : public QWidget {
    Q_OBJECT
public:
    explicit frameTop(QWidget *parent = nullptr);
    ~frameTop() override;

    Ui::frameTop *ui;

signals:
    void signalMoveEvent(QPoint pointMove);
    void signalReleaseEvent();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QPoint m_pointPress;
};
