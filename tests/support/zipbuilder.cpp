#include "zipbuilder.h"

#include <QFile>
#include <QTextCodec>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

namespace ZipBuilder {

bool write(const QString &zipPath, const QList<ZipEntry> &entries, const QByteArray &nameCodec) {
    QuaZip zip(zipPath);
    if (nameCodec == "flagged")
        zip.setUtf8Enabled(true);
    else if (QTextCodec *codec = QTextCodec::codecForName(nameCodec))
        zip.setFileNameCodec(codec);
    else
        return false;
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const ZipEntry &entry : entries) {
        QuaZipNewInfo info(entry.kind == ZipEntry::Folder && !entry.name.endsWith('/') ? entry.name + '/'
                                                                                       : entry.name);
        switch (entry.kind) {
        case ZipEntry::File:
            info.externalAttr = (quint32(0100000) | (entry.mode ? entry.mode : 0644)) << 16;
            break;
        case ZipEntry::Folder:
            info.externalAttr = (quint32(0040755) << 16) | 0x10;
            break;
        case ZipEntry::Link:
            info.externalAttr = quint32(0120777) << 16;
            break;
        }
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::WriteOnly, info, nullptr, 0, 0, 0))
            return false;
        if (entry.kind != ZipEntry::Folder && file.write(entry.content) != entry.content.size())
            return false;
        file.close();
        if (file.getZipError() != ZIP_OK)
            return false;
    }
    zip.close();
    return zip.getZipError() == ZIP_OK;
}

bool corrupt(const QString &zipPath, const QByteArray &marker) {
    QFile file(zipPath);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    const int at = bytes.indexOf(marker);
    if (at < 0 || bytes.indexOf(marker, at + 1) >= 0)
        return false;
    bytes[at] = char(bytes[at] ^ 0x20);
    file.seek(0);
    return file.write(bytes) == bytes.size();
}

bool declareLonger(const QString &zipPath, const QString &entryName, quint32 extra) {
    QFile file(zipPath);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    const QByteArray name = entryName.toUtf8();
    // Local header: name at 30, uncompressed size at 22; central header: name at 46, size at 24.
    const struct {
        QByteArray signature;
        int nameAt;
        int sizeAt;
    } headers[] = {{QByteArray("PK\x03\x04", 4), 30, 22}, {QByteArray("PK\x01\x02", 4), 46, 24}};
    for (const auto &header : headers) {
        int found = -1;
        for (int at = bytes.indexOf(header.signature); at >= 0;
             at = bytes.indexOf(header.signature, at + 1)) {
            if (bytes.mid(at + header.nameAt, name.size()) == name) {
                found = at;
                break;
            }
        }
        if (found < 0)
            return false;
        uchar *size = reinterpret_cast<uchar *>(bytes.data()) + found + header.sizeAt;
        const quint32 value =
            (quint32(size[0]) | quint32(size[1]) << 8 | quint32(size[2]) << 16 | quint32(size[3]) << 24) +
            extra;
        for (int i = 0; i < 4; ++i)
            size[i] = uchar(value >> (8 * i));
    }
    file.seek(0);
    return file.write(bytes) == bytes.size();
}

} // namespace ZipBuilder
