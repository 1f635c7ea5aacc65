#pragma once

#include "common.h"
#include "productshowinfo.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QTimer>
#include <QVector>
#include <QWidget>

namespace Ui {
class popSelectWidget;
}
class PictureFetcher;
class productShowWidget;

// The product catalogue: searches the configuration service by name or PID and release state,
// shows the answer six cards a page, lets the operator tick one product and hands it over,
// completed with its brand and id-flag defaults, once "确定" is pressed. Cancel, Escape and
// the window's close button hand back the product the dialog was opened with.
//
// Requests wait in local event loops, so the operator may search again, page, tick or cancel
// while one waits: only the latest search fills the cards, and a confirm hands over the
// product ticked when it was pressed, or nothing once the dialog was cancelled. Pictures load
// in the background; a page shows at once and each card gets its picture when it arrives.
class popSelectWidget : public QWidget {
    Q_OBJECT
public:
    explicit popSelectWidget(QWidget *parent = nullptr);
    ~popSelectWidget() override;

    // The product current in the main window: ticked when listed, handed back on cancel.
    void setProductSelected(PRODUCTSHOWINFO_S info);

    // A card's record from one product of a search answer; the picture is the one already
    // fetched for its id, else the default one.
    PRODUCTSHOWINFO_S recordFromProduct(const QJsonObject &product, RELEASETYPE_E releaseType) const;
    // "createTime" as "yyyy-MM-dd" in local time. Read as a 64-bit number; values from
    // 100 000 000 000 on are taken as milliseconds (as seconds they would lie beyond the year
    // 5000, as milliseconds they lie after March 1973).
    static QString creationDate(const QJsonValue &createTime);
    // Nine characters holding an upper-case "D" are searched as a product id, all else as a name.
    static bool isProductIdSearch(const QString &text);

    // See-through dimming where the window system blends windows, an opaque light one elsewhere.
    void setTranslucentLook(bool bTranslucent);

    PictureFetcher *pictureFetcher() const { return m_pPictureFetcher; }
    QString picDir() const { return m_szPicDir; }

signals:
    void signalSelectedProduct(PRODUCTSHOWINFO_S productSelected);

public slots:
    void slotSetMainWidgetSize(int width, int heigh);
    void slotAutoSearch();
    void slotProductSelected(PRODUCTSHOWINFO_S selectedInfo);
    void slotProductClearSelected(PRODUCTSHOWINFO_S selectedInfo);
    void slotSetCurPageUI(QVector<PRODUCTSHOWINFO_S> PageList);

private slots:
    void on_btnSearch_clicked();
    void on_btnConfrim_clicked();
    void on_btnCancel_clicked();
    void on_btnClose_clicked();
    void on_btnPrev_clicked();
    void on_btnNext_clicked();
    void on_combRelease_currentIndexChanged(int iIndex);
    void slotPictureFetched(QString id, QString path);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QString post(const QString &path, QMap<QString, QString> params);
    void productPageChange(int page);
    int currentPage() const;
    void markSelection();
    void updateConfirmButton();
    void updatePager();
    // Hands back the product the dialog was opened with.
    void restoreAndEmit();
    // Ends every wait of this opening: late answers and pictures find nothing to fill.
    void endOpening();
    void closeDialog();

    Ui::popSelectWidget *ui;
    QString m_szCombPointStyle;
    QString m_szConfirmStyle;
    QString m_szDimmingStyle;
    QVector<productShowWidget *> m_vecProductCards;
    QVector<PRODUCTSHOWINFO_S> m_vecCurPage;
    PRODUCTSHOWINFO_S m_selectedProduct;
    PRODUCTSHOWINFO_S m_confirmedProduct;
    QVector<QJsonObject> m_vecResultCache;
    // Release state of the cached answer: paging keeps tagging it so, whatever the filter
    // shows after a failed search.
    RELEASETYPE_E m_eCacheReleaseType = RELEASE_TYPE_RELEASED;
    int m_iPageCount = 0;
    Common m_common;
    QString m_szPicDir;
    QTimer m_timerAutoSearch;
    PictureFetcher *m_pPictureFetcher = nullptr;

    int m_iSearchTicket = 0; // the latest search; an answer for an older one is dropped
    int m_iOpening = 0;      // changes at every show and close
    bool m_bSearchWaiting = false;
    bool m_bConfirmWaiting = false;
    bool m_bMarking = false; // cards echo the ticks the dialog sets itself
    bool m_bClosing = false;
};
