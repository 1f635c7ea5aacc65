#include "kovalogin.h"
#include "ui_kovalogin.h"

#include "applicationfolder.h"
#include "globals.h"
#include "platform.h"
#include "secretmask.h"
#include "tovarin.h"

#include <QApplication>
#include <QDebug>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QMap>
#include <QMouseEvent>
#include <QSettings>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace {

// Resolved when the configured address names no host; only looked up, never contacted.
const char kPublicCheckHost[] = "www.baidu.com";

const char kLoginPath[] = "ToolClientConfigManageApi/toolLogin";

} // namespace

KovaLogin::KovaLogin(QWidget *parent) : QMainWindow(parent), ui(new Ui::KovaLogin) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);

    m_pMainWindow = new Tovarin();

    setWindowTitle(tr("NORVEXA 产测工具"));
    const QString client = QStringLiteral(TOVARIN_CLIENT);
    if (client == QLatin1String("ORLEM"))
        setWindowIcon(QIcon(QStringLiteral(":/product/resource/image/LogoRed.png")));
    else if (client == QLatin1String("CLIENT"))
        setWindowIcon(QIcon(QStringLiteral(":/product/resource/image/LOGO.png")));

    ui->lineAccount->setPlaceholderText(tr("请输入账号"));
    ui->linePassword->setPlaceholderText(tr("请输入密码"));
    ui->labVersion->setText(QStringLiteral("v." TOVARIN_APP_VERSION));

    ui->labNetword->hide();
    ui->labexclamationMake->hide();
    ui->labAccountError->hide();
    ui->labPasswordError->hide();
    ui->linePassword->setEchoMode(ui->checkBoxEye->isChecked() ? QLineEdit::Normal : QLineEdit::Password);
    m_bFirstLogin = true;
    m_bNetConnected = false;
    m_szLoginToken.clear();
    m_szNickName.clear();

    m_szIniPath = ApplicationFolder::path() + QStringLiteral("/MAINSET.ini");
    m_pSettings = new QSettings(m_szIniPath, QSettings::IniFormat, this);
    m_pSettings->setIniCodec("UTF-8");
    const QString account = m_pSettings->value(QStringLiteral("LoginUser/Account"), QString()).toString();
    const QString password = m_pSettings->value(QStringLiteral("LoginUser/Password"), QString()).toString();
    const bool remember = m_pSettings->value(QStringLiteral("LoginUser/bRememberPSW"), false).toBool();
    m_szAccount = account;
    m_szPassword = QString::fromUtf8(QByteArray::fromBase64(password.toLatin1()));

    if (!m_szAccount.isEmpty())
        ui->lineAccount->setText(m_szAccount);
    if (!password.isEmpty() && remember) {
        ui->linePassword->setText(m_szPassword);
        ui->checkBoxPwd->setChecked(true);
    }

    connect(ui->qbtnLoginClose, SIGNAL(clicked()), this, SLOT(slotCloseWin()));
    connect(ui->qbtnLogin, SIGNAL(clicked()), this, SLOT(slotLoginToServer()));
    ui->lineAccount->setContextMenuPolicy(Qt::NoContextMenu);
    ui->linePassword->setContextMenuPolicy(Qt::NoContextMenu);

    decorateForm();
}

int KovaLogin::s_iLookupDelayForTesting = 0;

KovaLogin::~KovaLogin() {
    delete ui;
}

void KovaLogin::decorateForm() {
    // Error and network lines keep their room when hidden, so the form does not jump.
    for (QWidget *w :
         {static_cast<QWidget *>(ui->labAccountError), static_cast<QWidget *>(ui->labPasswordError),
          static_cast<QWidget *>(ui->labNetword), static_cast<QWidget *>(ui->labexclamationMake)}) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }
}

namespace {

// The configured address as a URL; one written without its scheme still names the server.
QUrl configuredUrl(const QString &domainName) {
    const QString trimmed = domainName.trimmed();
    if (trimmed.isEmpty())
        return QUrl();
    const QUrl url(trimmed);
    return url.host().isEmpty() ? QUrl::fromUserInput(trimmed) : url;
}

} // namespace

QString KovaLogin::networkCheckHost(const QString &domainName) {
    const QString host = configuredUrl(domainName).host();
    return host.isEmpty() ? QString::fromLatin1(kPublicCheckHost) : host;
}

quint16 KovaLogin::networkCheckPort(const QString &domainName) {
    const QUrl url = configuredUrl(domainName);
    const int port =
        url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
    return quint16(port);
}

void KovaLogin::showFieldError(QLabel *label, const QString &text) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    label->setPalette(palette);
    label->setText(text);
    label->show();
}

bool KovaLogin::checkNetwork() {
    qDebug() << "检测网络开始";
    const int serial = ++m_iLookupSerial;
    const QString domain = m_common.getDomainName();
    const QString host = networkCheckHost(domain);
    const QHostAddress address(host);
    if (!address.isNull()) {
        // A numeric address needs no name service (Qt would only try a reverse lookup, which on
        // a factory network without one can stall for seconds), so the server itself is asked
        // for a connection: a station cut off from it gets the warning instead of a silent
        // failed request.
        qDebug() << "检测网络结束";
        const bool reachable = addressReachable(address, networkCheckPort(domain));
        setNetworkState(reachable);
        return reachable;
    }
    m_bLookupPending = true;
    QHostInfo::lookupHost(host, this, [this, serial](const QHostInfo &info) {
        auto deliver = [this, serial, info] {
            if (serial != m_iLookupSerial || !m_bLookupPending)
                return; // a lookup given up on earlier
            m_bLookupPending = false;
            lookedUp(info);
        };
        if (s_iLookupDelayForTesting > 0)
            QTimer::singleShot(s_iLookupDelayForTesting, this, deliver);
        else
            deliver();
    });
    qDebug() << "检测网络结束";

    // Decide on this lookup's own result: a fixed short wait let the first press of the button
    // fall through whenever the name service took longer. The wait is bounded and keeps the
    // window painting.
    QElapsedTimer waited;
    waited.start();
    while (m_bLookupPending && waited.elapsed() < kLookupTimeoutMs)
        Sleep(20);
    if (m_bLookupPending) {
        m_bLookupPending = false;
        setNetworkState(false);
    }
    return m_bNetConnected;
}

bool KovaLogin::addressReachable(const QHostAddress &address, quint16 port) {
    QTcpSocket socket;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&socket, &QTcpSocket::connected, &loop, &QEventLoop::quit);
    connect(&socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    limit.start(kConnectTimeoutMs);
    socket.connectToHost(address, port);
    // The window keeps painting meanwhile; the login button stays disabled.
    if (socket.state() != QAbstractSocket::ConnectedState &&
        socket.state() != QAbstractSocket::UnconnectedState)
        loop.exec();
    const bool connected = socket.state() == QAbstractSocket::ConnectedState;
    socket.abort();
    return connected;
}

void KovaLogin::lookedUp(const QHostInfo &host) {
    setNetworkState(host.error() == QHostInfo::NoError);
}

void KovaLogin::Sleep(int ms) {
    // A steady clock, not the time of day: a wait that spans midnight must not end at once.
    const QDeadlineTimer deadline(qMax(0, ms), Qt::PreciseTimer);
    // processEvents() below sleeps until something happens; the timer makes sure something does,
    // at least every 100 ms and at the deadline, without spinning the processor.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        if (!wake.isActive())
            wake.start(int(qMin<qint64>(100, deadline.remainingTime())));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void KovaLogin::setLookupDelayForTesting(int ms) {
    s_iLookupDelayForTesting = ms;
}

void KovaLogin::setNetworkState(bool connected) {
    qDebug() << (connected ? "已经连接网络" : "当前无网！");
    m_bNetConnected = connected;
    ui->labNetword->setVisible(!connected);
    ui->labexclamationMake->setVisible(!connected);
}

void KovaLogin::slotLoginToServer() {
    if (m_bLoginBusy)
        return;
    m_bLoginBusy = true;

    const QString buttonStyle = ui->qbtnLogin->styleSheet();
    ui->qbtnLogin->setStyleSheet(buttonStyle + QStringLiteral("background-color:rgb(152, 152, 152);"));
    ui->qbtnLogin->setEnabled(false);

    [&] {
        if (ui->lineAccount->text().isEmpty()) {
            showFieldError(ui->labAccountError, tr("请输入账号"));
            return;
        }
        ui->labAccountError->hide();
        if (ui->linePassword->text().isEmpty()) {
            showFieldError(ui->labPasswordError, tr("请输入密码"));
            return;
        }
        ui->labPasswordError->hide();

        if (!checkNetwork())
            return;

        m_szAccount = ui->lineAccount->text();
        m_szPassword = ui->linePassword->text();
        QMap<QString, QString> params;
        params.insert(QStringLiteral("account"), m_szAccount);
        params.insert(QStringLiteral("password"), m_common.stringMod5EncryptionOrg(m_szPassword));
        params.insert(QStringLiteral("sign"), m_common.valueChainSign(params));

        const QString domain = m_common.getDomainName();
        const QString url = domain + QLatin1String(kLoginPath);
        QString result;
        if (domain.startsWith(QLatin1String("http://"))) {
            qDebug() << "is http";
            result = m_common.httpPostRequest(url, params);
        } else if (domain.startsWith(QLatin1String("https://"))) {
            qDebug() << "is https";
            result = m_common.httpsPostRequest(url, params);
        } else {
            qDebug() << "没有设置域名";
            return;
        }
        qDebug() << "resultHttp:" << SecretMask::maskAnswer(result);
        if (result.isEmpty()) {
            qDebug() << "http请求超时";
            return;
        }

        const QJsonObject answer = QJsonDocument::fromJson(result.toUtf8()).object();
        const QString ack = answer.value(QStringLiteral("ack")).toString();
        if (ack == QLatin1String("200")) {
            const QJsonObject data = answer.value(QStringLiteral("data")).toObject();
            m_szLoginToken = data.value(QStringLiteral("loginToken")).toString();
            qDebug() << "m_szLoginToken:" << SecretMask::maskValue(m_szLoginToken);
            m_szNickName = data.value(QStringLiteral("nickName")).toString();
            qDebug() << "nickName:" << m_szNickName;

            const QByteArray iniPath = QFile::encodeName(m_szIniPath);
            const QString group = QStringLiteral("LoginUser");
            Platform::writeProfileString(iniPath, group, QStringLiteral("Account"), m_szAccount);
            Platform::writeProfileString(iniPath, group, QStringLiteral("Password"),
                                         QString::fromLatin1(ui->linePassword->text().toUtf8().toBase64()));
            Platform::writeProfileString(iniPath, group, QStringLiteral("bRememberPSW"),
                                         ui->checkBoxPwd->isChecked() ? QStringLiteral("true")
                                                                      : QStringLiteral("false"));

            m_pMainWindow->m_szAccount = ui->lineAccount->text();
            m_pMainWindow->m_szPassword = ui->linePassword->text();
            if (m_bFirstLogin) {
                m_pMainWindow->show();
                m_bFirstLogin = false;
            }
            close();
        } else if (ack == QLatin1String("303")) {
            showFieldError(ui->labPasswordError, tr("帐户或密码不正确"));
            m_common.slotLogRecord(QStringLiteral("帐户或密码不正确"));
        } else {
            qDebug() << "http请求出错";
            m_common.slotLogRecord(QStringLiteral("http请求出错,错误码:") + ack);
        }
    }();

    ui->qbtnLogin->setStyleSheet(buttonStyle);
    ui->qbtnLogin->setEnabled(true);
    m_bLoginBusy = false;
}

void KovaLogin::on_checkBoxEye_stateChanged(int state) {
    ui->linePassword->setEchoMode(state == Qt::Checked ? QLineEdit::Normal : QLineEdit::Password);
}

void KovaLogin::on_qbtnLoginHide_clicked() {
    setWindowState(Qt::WindowMinimized);
}

void KovaLogin::slotCloseWin() {
    close();
}

void KovaLogin::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        m_pointWinStart = pos();
        m_pointPressStart = event->globalPos();
    }
    QMainWindow::mousePressEvent(event);
}

void KovaLogin::mouseMoveEvent(QMouseEvent *event) {
    if (event->buttons() == Qt::LeftButton)
        move(m_pointWinStart + (event->globalPos() - m_pointPressStart));
    QMainWindow::mouseMoveEvent(event);
}

void KovaLogin::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        slotLoginToServer();
    QMainWindow::keyPressEvent(event);
}
