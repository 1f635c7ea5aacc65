// INI files as the private-profile writer edits them and QSettings reads them back.
// Input: section, key and value on the first three lines, the file's text after them.
#include "fuzzsupport.h"
#include "platform.h"
#include "platform_p.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTextCodec>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const QString path = Fuzz::scratchFolder() + QStringLiteral("/profile.ini");
    const QByteArray input = Fuzz::bytesOf(data, size);
    QList<QByteArray> parts = input.split('\n');
    while (parts.size() < 4)
        parts.append(QByteArray());
    const QString section = QString::fromUtf8(parts.at(0));
    const QString key = QString::fromUtf8(parts.at(1));
    const QString value = QString::fromUtf8(parts.at(2)).replace(QLatin1String("\\n"), QLatin1String("\n"));
    const int textStart =
        qMin(input.size(), parts.at(0).size() + parts.at(1).size() + parts.at(2).size() + 3);
    const QByteArray text = input.mid(textStart);

    const QByteArray encoded = Platform::iniEncodeValue(value);
    if (!Platform::validProfileNames(section, key))
        return 0;
    const QByteArray edited = Platform::applyProfileWrite(text, section, key, encoded);

    Fuzz::writeFile(path, text);
    Platform::writeProfileString(QFile::encodeName(path), section, key, value);
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
        settings.value(Platform::findProfileKey(settings, section, key));
        settings.allKeys();
    }

    // A key written into a new file reads back as the very value written. Names are kept to
    // the plain ones the programs use: QSettings gives '/', '%' and "General" meanings of its own.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_]+$"));
    if (!plain.match(section).hasMatch() || !plain.match(key).hasMatch() ||
        section.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0)
        return 0;
    // A new name each time: QSettings caches a file by name, size and modification time, so a
    // file of the same size rewritten within the same millisecond would read as the last one.
    static int serial = 0;
    const QString fresh = Fuzz::scratchFolder() + QStringLiteral("/fresh%1.ini").arg(++serial);
    if (Platform::writeProfileString(QFile::encodeName(fresh), section, key, value)) {
        QSettings settings(fresh, QSettings::IniFormat);
        settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
        const QVariant read = settings.value(Platform::findProfileKey(settings, section, key));
        if (read.toString() != value && !(value.isEmpty() && read.toString().isEmpty())) {
            fprintf(stderr, "value did not read back: [%s] %s = %s, read %s\n", qPrintable(section),
                    qPrintable(key), value.toUtf8().toHex().constData(),
                    read.toString().toUtf8().toHex().constData());
            abort();
        }
    }
    QFile::remove(fresh);
    Q_UNUSED(edited)
    return 0;
}
