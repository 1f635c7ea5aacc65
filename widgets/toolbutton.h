#pragma once

#include "toolbuttoninfo.h"

#include <QString>
#include <QWidget>

namespace Ui {
class toolButton;
}
class QProgressBar;
class QResizeEvent;

// The tile of one test tool: a check tile on the station setup page or a launcher on the tool
// page. It draws itself from its record and reports presses; it never acts on them itself.
class toolButton : public QWidget {
    Q_OBJECT
public:
    explicit toolButton(QWidget *parent = nullptr);
    ~toolButton() override;

    // Replaces the whole record and redraws.
    void setBtnInfo(toolButtonInfo info);
    // Sets name, key, path, mode, power type, status, selection and group; executable, id and
    // keep-list stay as they are. Redraws.
    void setBtnInfo(QString name, QString key, QString path, bool selectMode, ELECTRICTYPE_E electricType,
                    UPGRADESTATUS_E upgradeStatus, bool selected, PLACETYPE_E placeType);
    // Sets the status and redraws.
    void changeStatusLabel(UPGRADESTATUS_E status);
    // How far the tool's download or installation has got, in percent, as a slim bar along the
    // tile's foot; a negative value hides the bar. The badge is left as it is.
    void setProgress(int percent);
    // The bar's value, or -1 while it is hidden.
    int progress() const;

    // The main window reads selection, id and status straight from here.
    toolButtonInfo m_btnInfo;

signals:
    void signalToolButtonClicked(toolButtonInfo info);
    void signalBtnDownloadClicked(toolButtonInfo info);
    void signalToolNotOpen(QString szToolName);

public slots:
    // Draws the given record without storing it.
    void setToolBtnui(toolButtonInfo info);

private slots:
    void slotOnBtnMainClicked();
    void slotOnBtnOpenEXE();
    void slotToolNotOpen();
    void on_btnDownload_clicked();
    void on_btnUpdate_clicked();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void bindPress(const char *slot);
    void placeProgress();

    Ui::toolButton *ui;
    QString m_szStatusStyle;
    QString m_szMainStyle;
    QProgressBar *m_pProgress = nullptr;
};
