// Dealer ownership check: the account's dealers from the device-ownership service.
#include "tovarin.h"

#include "secretmask.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

namespace {

// The identifier this launcher is known by at the ownership service.
const QString kToolImei = QStringLiteral("Tq7hXn2vLp9sRb4kWc6yJm1dFz8gNa3e");

QJsonObject answerObject(const QString &answer) {
    return QJsonDocument::fromJson(answer.toUtf8()).object();
}

bool answerOk(const QJsonObject &answer) {
    const QJsonValue ack = answer.value(QStringLiteral("ack"));
    return ack.isString() && ack.toString() == QLatin1String("200");
}

} // namespace

QString Tovarin::ownershipPost(const QString &path, const QMap<QString, QString> &params) {
    const QString url = m_common.getManagerName() + path;
    // The ownership service is chosen by "https" anywhere in its address, not by the scheme.
    if (url.contains(QLatin1String("https")))
        return m_common.httpsPostRequest(url, params);
    return m_common.httpPostRequest(url, params);
}

bool Tovarin::postGetToken(QString &token) {
    QMap<QString, QString> params;
    params.insert(QStringLiteral("account"), m_szAccount);
    params.insert(QStringLiteral("password"), m_common.stringMod5EncryptionOrg(m_szPassword));
    params.insert(QStringLiteral("toolImei"), kToolImei);
    params.insert(QStringLiteral("sign"), m_common.pairChainSign(params));

    const QString answer = ownershipPost(QStringLiteral("CollectDeviceOwnership/toolLogin"), params);
    qDebug() << "msg:" << SecretMask::maskAnswer(answer);
    const QJsonObject object = answerObject(answer);
    const QJsonObject data = object.value(QStringLiteral("data")).toObject();
    if (!answerOk(object) || data.isEmpty())
        return false;
    // Without a token the list request can only be refused: count it as a failed login.
    const QString received = data.value(QStringLiteral("loginToken")).toString();
    if (received.isEmpty())
        return false;
    token = received;
    return true;
}

QString Tovarin::getDeviceOwnerList() {
    QString token;
    if (!postGetToken(token))
        return tr("获取后台Token失败");

    QMap<QString, QString> params;
    params.insert(QStringLiteral("loginToken"), token);
    params.insert(QStringLiteral("toolImei"), kToolImei);
    params.insert(QStringLiteral("sign"), m_common.pairChainSign(params));

    const QJsonObject object =
        answerObject(ownershipPost(QStringLiteral("CollectDeviceOwnership/getDeviceOwnerList"), params));
    if (!answerOk(object))
        return object.value(QStringLiteral("msg")).toString();
    const QJsonArray data = object.value(QStringLiteral("data")).toArray();
    if (data.isEmpty())
        return tr("所属经销商列表为空");

    for (const QJsonValue &value : data) {
        const QJsonObject owner = value.toObject();
        DEALERINFO_S dealer;
        // Only a JSON number is an id; "12" as a string is not.
        const QJsonValue id = owner.value(QStringLiteral("ownerId"));
        dealer.m_iDealerId = id.isDouble() ? id.toInt() : 0;
        dealer.m_szDealerName = owner.value(QStringLiteral("ownerName")).toString();
        m_vecDealerInfo.append(dealer);
    }
    return QStringLiteral("ok");
}
