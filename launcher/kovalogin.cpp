#include "kovalogin.h"
#include "ui_kovalogin.h"

#include "applicationfolder.h"
#include "globals.h"
#include "platform.h"
#include "tovarin.h"

#include <QApplication>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QMap>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSettings>
#include <QTimer>
#include <QUrl>

namespace {

// Resolved when the configured address names no host; only looked up, never contacted.
const char kPublicCheckHost[] = "www.baidu.com";

const char kLoginPath[] = "ToolClientConfigManageApi/toolLogin";

QPixmap drawFieldIcon(bool lock) {
    const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    QPixmap pix(QSize(18, 18) * ratio);
    pix.setDevicePixelRatio(ratio);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(0x99, 0x99, 0x99), 1.6);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    if (lock) {
        p.drawRoundedRect(QRectF(3.5, 8, 11, 8.5), 1.5, 1.5);
        QPainterPath shackle;
        shackle.moveTo(6, 8);
        shackle.lineTo(6, 5.5);
        shackle.arcTo(QRectF(6, 2, 6, 7), 180, -180);
        shackle.lineTo(12, 8);
        p.drawPath(shackle);
        p.drawLine(QPointF(9, 11), QPointF(9, 13.5));
    } else {
        p.drawEllipse(QRectF(5.5, 1.8, 7, 7));
        QPainterPath body;
        body.moveTo(2.5, 16.5);
        body.cubicTo(2.5, 11, 15.5, 11, 15.5, 16.5);
        p.drawPath(body);
    }
    return pix;
}

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

    if (!account.isEmpty())
        ui->lineAccount->setText(account);
    if (!password.isEmpty() && remember) {
        ui->linePassword->setText(QString::fromUtf8(QByteArray::fromBase64(password.toLatin1())));
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
    ui->labAcc->setPixmap(drawFieldIcon(false));
    ui->labPwd->setPixmap(drawFieldIcon(true));

    // Error and network lines keep their room when hidden, so the form does not jump.
    for (QWidget *w :
         {static_cast<QWidget *>(ui->labAccountError), static_cast<QWidget *>(ui->labPasswordError),
          static_cast<QWidget *>(ui->labNetword), static_cast<QWidget *>(ui->labexclamationMake)}) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }
}

QString KovaLogin::networkCheckHost(const QString &domainName) {
    const QString trimmed = domainName.trimmed();
    QString host;
    if (!trimmed.isEmpty()) {
        host = QUrl(trimmed).host();
        // An address written without its scheme still names the server's host.
        if (host.isEmpty())
            host = QUrl::fromUserInput(trimmed).host();
    }
    return host.isEmpty() ? QString::fromLatin1(kPublicCheckHost) : host;
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
    const QString host = networkCheckHost(m_common.getDomainName());
    if (!QHostAddress(host).isNull()) {
        // A numeric address needs no name service; Qt would only try a reverse lookup, which
        // on a factory network without name service can stall for seconds.
        qDebug() << "检测网络结束";
        setNetworkState(true);
        return true;
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
    if (m_bLookupPending) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        m_pLookupLoop = &loop;
        limit.start(kLookupTimeoutMs);
        loop.exec();
        m_pLookupLoop = nullptr;
        if (m_bLookupPending) {
            m_bLookupPending = false;
            setNetworkState(false);
        }
    }
    return m_bNetConnected;
}

void KovaLogin::lookedUp(const QHostInfo &host) {
    setNetworkState(host.error() == QHostInfo::NoError);
    if (m_pLookupLoop)
        m_pLookupLoop->quit();
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
        qDebug() << "resultHttp:" << result;
        if (result.isEmpty()) {
            qDebug() << "http请求超时";
            return;
        }

        const QJsonObject answer = QJsonDocument::fromJson(result.toUtf8()).object();
        const QString ack = answer.value(QStringLiteral("ack")).toString();
        if (ack == QLatin1String("200")) {
            const QJsonObject data = answer.value(QStringLiteral("data")).toObject();
            m_szLoginToken = data.value(QStringLiteral("loginToken")).toString();
            qDebug() << "m_szLoginToken:" << m_szLoginToken;
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
