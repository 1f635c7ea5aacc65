#pragma once

// Internals shared by the platform files and their tests; not for the layers above.

#include <QByteArray>
#include <QString>

namespace Platform {

// The whole INI text after writing one key (value already encoded): the edit behind
// writeProfileString, kept free of file handling.
QByteArray applyProfileWrite(const QByteArray &text, const QString &section, const QString &key,
                             const QByteArray &encodedValue);

// fileVersionOf on bytes in memory; never reads outside [data, data + size).
QString fileVersionOfData(const char *data, qint64 size);

} // namespace Platform
