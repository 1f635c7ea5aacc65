#pragma once

#include "productshowinfo.h"

#include <QWidget>

// Product catalogue dialog: the operator picks one catalogue product for the station.
// Minimal stand-in until the full dialog lands: it holds the preselection and the card's size.
class popSelectWidget : public QWidget {
    Q_OBJECT

public:
    explicit popSelectWidget(QWidget *parent = nullptr);

    void setProductSelected(PRODUCTSHOWINFO_S info);

signals:
    void signalSelectedProduct(PRODUCTSHOWINFO_S productSelected);

public slots:
    void slotSetMainWidgetSize(int width, int heigh);

private:
    QWidget *m_pMainWidget = nullptr;
    PRODUCTSHOWINFO_S m_selectedProduct;
    PRODUCTSHOWINFO_S m_confirmedProduct;
};
