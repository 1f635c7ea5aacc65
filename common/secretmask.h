#pragma once

#include <QJsonObject>
#include <QString>

// Trace lines and the daily log can be read by any program of the station's session: the
// password hash and the login tokens never go there whole. A secret shows as its first four
// characters and "***" (only "***" when it has eight or fewer), enough to tell two apart.
namespace SecretMask {

// "password" and any name holding "token", in any case ("loginToken", "Password").
bool isSecretName(const QString &name);

QString maskValue(const QString &value);

// value masked when name is a secret's.
QString fieldForTrace(const QString &name, const QString &value);

// The text with the value of every JSON string member named as a secret masked; everything
// else, malformed parts included, stays as it is.
QString maskAnswer(const QString &text);

// The object as compact JSON, members named as secrets masked at any depth.
QString maskAnswer(const QJsonObject &object);

} // namespace SecretMask
