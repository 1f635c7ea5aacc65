#pragma once

#include "productshowinfo.h"

#include <QString>
#include <QWidget>

namespace Ui {
class productShowWidget;
}

// One product of the catalogue: picture, name, PID, module, version, date, release badge and a
// tick box. Clicking the card or its box ticks or unticks it and reports the product; the
// catalogue decides which card stays ticked.
class productShowWidget : public QWidget {
    Q_OBJECT
public:
    explicit productShowWidget(QWidget *parent = nullptr);
    ~productShowWidget() override;

    static QString defaultPicture() { return QStringLiteral(":/product/resource/image/cameraModel.png"); }
    // The name as a card shows it: everything before the first ".".
    static QString shownName(const QString &productName);
    // A product without id or name can never be chosen, so its card never shows as ticked.
    static bool isTickable(const PRODUCTSHOWINFO_S &info);

    const PRODUCTSHOWINFO_S &product() const { return m_product; }
    bool isChecked() const { return m_bChecked; }

    // Tick and untick from the catalogue; both report the change like a click does. Ticking a
    // product that cannot be chosen leaves the card unticked and reports nothing.
    void setCheckStatus();
    void setUnCheckStatus();

signals:
    void signalProductSelected(PRODUCTSHOWINFO_S proInfo);
    void signalProductClearSelected(PRODUCTSHOWINFO_S proInfo);

public slots:
    // Stores and draws the product; the tick state stays as it is.
    void slotSetProductInfo(PRODUCTSHOWINFO_S info);
    // Draws the product without storing it.
    void slotSetProductShowUI(PRODUCTSHOWINFO_S info);

private slots:
    void on_checkBox_clicked(bool checked);

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    Ui::productShowWidget *ui;
    bool m_bChecked = false;
    PRODUCTSHOWINFO_S m_product;
    QString m_szReleaseStyle;
    QString m_szCardStyle;
};
