#include "logrecorder.h"

#include "clock.h"
#include "secretmask.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

namespace {

// Windows appends by seeking to the end and then writing, so two threads appending at once
// overwrite each other's lines; the launcher logs from its staging worker and its window.
QMutex &appendMutex() {
    static QMutex mutex;
    return mutex;
}

// Messages carry server answers: a line break (or a character that some viewers take for one)
// in them would start what looks like another record, so every control character is written
// as an escape and one call stays one line.
QString oneLine(const QString &message) {
    QString line;
    line.reserve(message.size());
    for (const QChar c : message) {
        const ushort code = c.unicode();
        if (code == '\n')
            line += QLatin1String("\\n");
        else if (code == '\r')
            line += QLatin1String("\\r");
        else if (code == '\t')
            line += QLatin1String("\\t");
        else if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
            line += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else if (code == 0x2028 || code == 0x2029)
            line += QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
        else
            line += c;
    }
    return line;
}

void appendLine(const QString &filePath, const QDateTime &stamp, const QString &message) {
    const QMutexLocker locker(&appendMutex());
    QFile file(filePath);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append))
        return;
    // One write per line, so concurrent writers never interleave inside a record.
    QByteArray line = stamp.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toUtf8();
    line += "    ";
    line += oneLine(SecretMask::maskAnswer(message)).toUtf8();
    line += "\r\n";
    file.write(line);
    file.close();
}

QString fileNameFor(const QDateTime &stamp) {
    return stamp.date().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".txt");
}

} // namespace

namespace LogRecorder {

void recordInLogFolder(const QString &message) {
    const QString logFolder = QDir::currentPath() + QStringLiteral("/log");
    QDir dir(logFolder);
    // Judged by existence after the attempt: another thread may have created it meanwhile.
    if (!dir.exists())
        dir.mkdir(logFolder);
    const bool folderExists = dir.exists();

    // Date and stamp from the same instant, so a line never lands in the wrong day's file.
    const QDateTime stamp = Clock::now();
    const QString filePath =
        folderExists ? dir.absolutePath() + QLatin1Char('/') + fileNameFor(stamp) : fileNameFor(stamp);
    appendLine(filePath, stamp, message);
}

void recordInWorkingFolder(const QString &message) {
    const QDateTime stamp = Clock::now();
    appendLine(fileNameFor(stamp), stamp, message);
}

} // namespace LogRecorder
