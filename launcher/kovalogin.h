#pragma once

#include "common.h"

#include <QHostInfo>
#include <QMainWindow>
#include <QPoint>
#include <QString>

class QKeyEvent;
class QMouseEvent;
class QSettings;
class Tovarin;

QT_BEGIN_NAMESPACE
namespace Ui {
class KovaLogin;
}
QT_END_NAMESPACE

// The first window of the launcher: logs the operator in against the configuration service,
// remembers the account in MAINSET.ini and hands over to the main window.
class KovaLogin : public QMainWindow {
    Q_OBJECT

public:
    explicit KovaLogin(QWidget *parent = nullptr);
    ~KovaLogin() override;

    // The main window created hidden by the constructor; it outlives this window.
    Tovarin *mainWindow() const { return m_pMainWindow; }

    // Host resolved by the network check: the configuration service's host, or a public name
    // when the configured address names none.
    static QString networkCheckHost(const QString &domainName);

    // Port the network check connects to when the configured address is numeric: the one it
    // names, else its scheme's (443 for https, 80 otherwise).
    static quint16 networkCheckPort(const QString &domainName);

    // Longest wait for the network check before a login gives up.
    static constexpr int kLookupTimeoutMs = 5000;
    // Longest wait for a numeric address to accept a connection.
    static constexpr int kConnectTimeoutMs = 3000;

    // Holds every host lookup result back by ms, as a slow name service would. Tests only.
    static void setLookupDelayForTesting(int ms);

    // Waits ms milliseconds while the window goes on handling events.
    void Sleep(int ms);

public slots:
    void slotLoginToServer();
    void lookedUp(const QHostInfo &host);
    void slotCloseWin();

private slots:
    void on_checkBoxEye_stateChanged(int state);
    void on_qbtnLoginHide_clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    bool checkNetwork();
    bool addressReachable(const QHostAddress &address, quint16 port);
    void setNetworkState(bool connected);
    void showFieldError(class QLabel *label, const QString &text);
    void decorateForm();

    Tovarin *m_pMainWindow = nullptr;
    Ui::KovaLogin *ui = nullptr;
    Common m_common;
    QPoint m_pointWinStart;
    QPoint m_pointPressStart;
    bool m_bNetConnected = false;
    QString m_szPassword;
    QString m_szAccount;
    QString m_szNickName;
    QString m_szIniPath;
    QSettings *m_pSettings = nullptr;
    bool m_bFirstLogin = true;

    // A login runs nested event loops (network check, request); Return pressed meanwhile must
    // not start a second one.
    bool m_bLoginBusy = false;
    bool m_bLookupPending = false;
    int m_iLookupSerial = 0;
    static int s_iLookupDelayForTesting;
};
