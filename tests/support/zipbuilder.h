#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Builds zip archives entry by entry, including the kinds a careful installer must refuse
// (links, damaged entries, names leaving the target folder).
struct ZipEntry {
    enum Kind { File, Folder, Link };
    QString name;
    QByteArray content; // file content, or the link's target path
    Kind kind = File;
    quint32 mode = 0; // Unix permission bits of a file; 0: 0644
};

namespace ZipBuilder {

// Writes the entries in order, stored without compression so content bytes appear verbatim in
// the archive. Names are stored in nameCodec without the UTF-8 flag (by default UTF-8, as
// archivers on Linux write them), or flagged as UTF-8 when nameCodec is "flagged". Returns false
// when the archive could not be written.
bool write(const QString &zipPath, const QList<ZipEntry> &entries, const QByteArray &nameCodec = "UTF-8");

// Flips one byte of the first occurrence of marker inside the archive file, which breaks the
// CRC of the stored entry holding it. False when the marker is not found exactly once.
bool corrupt(const QString &zipPath, const QByteArray &marker);

// Makes the headers of one entry announce extra bytes more than the entry holds, as a damaged
// download whose data ends early reads. False when the entry's two headers are not found.
bool declareLonger(const QString &zipPath, const QString &entryName, quint32 extra);

} // namespace ZipBuilder
