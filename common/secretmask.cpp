#include "secretmask.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {

constexpr int kShownCharacters = 4;
constexpr int kShortestShown = 9;

QJsonValue masked(const QJsonValue &value);

QJsonObject masked(const QJsonObject &object) {
    QJsonObject result;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (SecretMask::isSecretName(it.key()) && it.value().isString())
            result.insert(it.key(), SecretMask::maskValue(it.value().toString()));
        else
            result.insert(it.key(), masked(it.value()));
    }
    return result;
}

QJsonValue masked(const QJsonValue &value) {
    if (value.isObject())
        return masked(value.toObject());
    if (value.isArray()) {
        QJsonArray result;
        for (const QJsonValue &entry : value.toArray())
            result.append(masked(entry));
        return result;
    }
    return value;
}

} // namespace

namespace SecretMask {

bool isSecretName(const QString &name) {
    return name.contains(QLatin1String("token"), Qt::CaseInsensitive) ||
           name.contains(QLatin1String("password"), Qt::CaseInsensitive);
}

QString maskValue(const QString &value) {
    if (value.size() < kShortestShown)
        return QStringLiteral("***");
    return value.left(kShownCharacters) + QStringLiteral("***");
}

QString fieldForTrace(const QString &name, const QString &value) {
    return isSecretName(name) ? maskValue(value) : value;
}

QString maskAnswer(const QString &text) {
    // "name" : "value", both with JSON escapes; a name is judged with its escapes undone.
    static const QRegularExpression member(
        QStringLiteral(R"re("((?:[^"\\]|\\.)*)"(\s*:\s*)"((?:[^"\\]|\\.)*)")re"));
    QString result;
    int done = 0;
    QRegularExpressionMatchIterator it = member.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const QJsonDocument name = QJsonDocument::fromJson("[\"" + match.captured(1).toUtf8() + "\"]");
        if (!isSecretName(name.isArray() ? name.array().at(0).toString() : match.captured(1)))
            continue;
        result += text.midRef(done, match.capturedStart(3) - done);
        result += maskValue(match.captured(3));
        done = match.capturedEnd(3);
    }
    result += text.midRef(done);
    return result;
}

QString maskAnswer(const QJsonObject &object) {
    return QString::fromUtf8(QJsonDocument(masked(object)).toJson(QJsonDocument::Compact));
}

} // namespace SecretMask
