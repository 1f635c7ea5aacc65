// Dealer ownership check. The ownership service's requests arrive with their own change; until
// then the account has no dealers and the customer selector offers none.
#include "tovarin.h"

bool Tovarin::postGetToken(QString &token) {
    Q_UNUSED(token)
    return false;
}

QString Tovarin::getDeviceOwnerList() {
    QString token;
    if (!postGetToken(token))
        return tr("获取后台Token失败");
    return tr("所属经销商列表为空");
}
