#include "platform.h"
#include "platform_p.h"
#include "toolversion.h"

#include <QFile>
#include <QFileInfo>
#include <QVector>

#include <cstring>

// One reader for every platform, so that a tool's version reads the same on the station and on
// a build machine. Every access goes through Bytes, which checks it against the file's size
// before touching memory: damaged, truncated or hostile files give "0.0.0.0".

namespace Platform {

namespace {

const QString kNoVersion = QStringLiteral("0.0.0.0");

// Bounds-checked access to the file's bytes, either in memory or read from the open file on
// demand. The file is read rather than mapped: a file cut short while mapped kills the reader
// with SIGBUS, a short read only ends in "0.0.0.0".
class Bytes {
public:
    Bytes(const uchar *data, quint64 size) : m_data(data), m_size(size) {}
    Bytes(QFile *file, quint64 size) : m_file(file), m_size(size) {}

    bool has(quint64 offset, quint64 length) const { return offset <= m_size && length <= m_size - offset; }
    bool u8(quint64 offset, quint32 &value) const {
        uchar p[1];
        if (!read(offset, p, 1))
            return false;
        value = p[0];
        return true;
    }
    bool u16(quint64 offset, quint32 &value) const {
        uchar p[2];
        if (!read(offset, p, 2))
            return false;
        value = m_bigEndian ? quint32(p[0]) << 8 | p[1] : quint32(p[1]) << 8 | p[0];
        return true;
    }
    bool u32(quint64 offset, quint32 &value) const {
        uchar p[4];
        if (!read(offset, p, 4))
            return false;
        value = m_bigEndian ? quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3]
                            : quint32(p[3]) << 24 | quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0];
        return true;
    }
    bool u64(quint64 offset, quint64 &value) const {
        quint32 a = 0;
        quint32 b = 0;
        if (!u32(offset, a) || !u32(offset + 4, b))
            return false;
        value = m_bigEndian ? quint64(a) << 32 | b : quint64(b) << 32 | a;
        return true;
    }
    bool equals(quint64 offset, const char *text, quint64 length) const {
        uchar buffer[64];
        return length <= sizeof buffer && read(offset, buffer, length) && memcmp(buffer, text, length) == 0;
    }
    void setBigEndian(bool bigEndian) { m_bigEndian = bigEndian; }
    quint64 size() const { return m_size; }

private:
    bool read(quint64 offset, uchar *out, quint64 length) const {
        if (!has(offset, length))
            return false;
        if (m_data) {
            memcpy(out, m_data + offset, length);
            return true;
        }
        return m_file && m_file->seek(qint64(offset)) &&
               m_file->read(reinterpret_cast<char *>(out), qint64(length)) == qint64(length);
    }

    const uchar *m_data = nullptr;
    QFile *m_file = nullptr;
    quint64 m_size;
    bool m_bigEndian = false;
};

QString formatVersion(quint32 a, quint32 b, quint32 c, quint32 d) {
    return QStringLiteral("%1.%2.%3.%4").arg(a).arg(b).arg(c).arg(d);
}

// --- PE --------------------------------------------------------------------------------------

const quint32 kResourceTypeVersion = 16; // RT_VERSION
const quint32 kFixedInfoSignature = 0xFEEF04BD;
// Work limits, far above what real files need (a handful of entries), so that a crafted file
// with thousands of sections and looping directories answers at once instead of after minutes.
const int kMaxVisits = 256;        // resource directories and data entries followed
const quint32 kMaxEntries = 65536; // resource directory entries looked at
const quint32 kMaxRva = 0xFFFFFFFFu;

struct Section {
    quint32 virtualAddress;
    quint32 rawSize;
    quint32 rawPointer;
};

struct PeImage {
    const Bytes &bytes;
    QVector<Section> sections;
    mutable int visitsLeft = kMaxVisits;
    mutable quint32 entriesLeft = kMaxEntries;

    // File offset of [rva, rva + length), which must lie within one section's file data;
    // available gets the bytes of that section's file data from there on.
    bool offsetOf(quint64 rva, quint64 length, quint64 &offset, quint64 *available = nullptr) const {
        if (rva > kMaxRva)
            return false;
        for (const Section &section : sections) {
            if (rva < section.virtualAddress)
                continue;
            const quint64 within = rva - section.virtualAddress;
            if (within >= section.rawSize || length > section.rawSize - within)
                continue;
            offset = quint64(section.rawPointer) + within;
            if (available)
                *available =
                    qMin<quint64>(section.rawSize - within, bytes.size() - qMin(bytes.size(), offset));
            return bytes.has(offset, length);
        }
        return false;
    }
};

// The fixed file information of a VS_VERSIONINFO block.
QString versionFromBlock(const Bytes &bytes, quint64 block, quint32 blockSize) {
    static const char key[] = "V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0"; // UTF-16LE
    quint32 length = 0, valueLength = 0;
    if (!bytes.u16(block, length) || !bytes.u16(block + 2, valueLength))
        return QString();
    const quint64 limit = qMin<quint64>(length, blockSize);
    const quint64 keySize = sizeof(key); // the literal's own zero completes the terminator
    if (6 + keySize > limit || !bytes.equals(block + 6, key, keySize))
        return QString();
    const quint64 value = (6 + keySize + 3) & ~quint64(3);
    if (valueLength < 52 || value + 52 > limit)
        return QString();
    quint32 signature = 0, fileMs = 0, fileLs = 0;
    if (!bytes.u32(block + value, signature) || signature != kFixedInfoSignature ||
        !bytes.u32(block + value + 8, fileMs) || !bytes.u32(block + value + 12, fileLs))
        return QString();
    return formatVersion(fileMs >> 16, fileMs & 0xFFFF, fileLs >> 16, fileLs & 0xFFFF);
}

QString versionFromResourceData(const PeImage &pe, quint32 resourceRva, quint32 entryOffset) {
    if (pe.visitsLeft-- <= 0)
        return QString();
    quint64 entry = 0;
    quint32 dataRva = 0, dataSize = 0;
    if (!pe.offsetOf(quint64(resourceRva) + entryOffset, 16, entry) || !pe.bytes.u32(entry, dataRva) ||
        !pe.bytes.u32(entry + 4, dataSize))
        return QString();
    quint64 block = 0;
    if (dataSize < 6 || !pe.offsetOf(dataRva, dataSize, block))
        return QString();
    return versionFromBlock(pe.bytes, block, dataSize);
}

// Walks a directory level: for each entry (all, or only those with wantedId) calls visit with
// the entry's OffsetToData until visit answers a version. The entries follow the directory's
// header in the same section; a count reaching past the section is cut to what is there.
template <typename Visit>
QString walkDirectory(const PeImage &pe, quint32 resourceRva, quint32 directoryOffset, qint64 wantedId,
                      Visit visit) {
    if (pe.visitsLeft-- <= 0)
        return QString();
    quint64 directory = 0, available = 0;
    quint32 named = 0, ids = 0;
    if (!pe.offsetOf(quint64(resourceRva) + directoryOffset, 16, directory, &available) ||
        !pe.bytes.u16(directory + 12, named) || !pe.bytes.u16(directory + 14, ids))
        return QString();
    const quint64 total = qMin<quint64>(quint64(named) + ids, (available - 16) / 8);
    for (quint64 i = 0; i < total; ++i) {
        if (pe.entriesLeft == 0)
            return QString();
        --pe.entriesLeft;
        const quint64 entry = directory + 16 + i * 8;
        quint32 name = 0, target = 0;
        if (!pe.bytes.u32(entry, name) || !pe.bytes.u32(entry + 4, target))
            return QString();
        if (wantedId >= 0 && ((name & 0x80000000u) || name != quint32(wantedId)))
            continue;
        const QString version = visit(target);
        if (!version.isEmpty())
            return version;
    }
    return QString();
}

QString peFileVersion(const Bytes &bytes) {
    quint32 peOffset = 0, signature = 0;
    if (!bytes.equals(0, "MZ", 2) || !bytes.u32(0x3C, peOffset) || !bytes.u32(peOffset, signature) ||
        signature != 0x00004550)
        return QString();
    const quint64 coff = quint64(peOffset) + 4;
    quint32 sectionCount = 0, optionalSize = 0, magic = 0;
    if (!bytes.u16(coff + 2, sectionCount) || !bytes.u16(coff + 16, optionalSize))
        return QString();
    const quint64 optional = coff + 20;
    if (!bytes.u16(optional, magic))
        return QString();
    quint64 rvaCountAt = 0, directoriesAt = 0;
    if (magic == 0x10b) {
        rvaCountAt = 92;
        directoriesAt = 96;
    } else if (magic == 0x20b) {
        rvaCountAt = 108;
        directoriesAt = 112;
    } else {
        return QString();
    }
    quint32 rvaCount = 0, resourceRva = 0;
    if (optionalSize < directoriesAt + 3 * 8 || !bytes.u32(optional + rvaCountAt, rvaCount) || rvaCount < 3 ||
        !bytes.u32(optional + directoriesAt + 2 * 8, resourceRva) || resourceRva == 0)
        return QString();

    PeImage pe{bytes, {}};
    const quint64 sectionTable = optional + optionalSize;
    if (!bytes.has(sectionTable, quint64(sectionCount) * 40))
        return QString();
    pe.sections.reserve(int(sectionCount));
    for (quint32 i = 0; i < sectionCount; ++i) {
        const quint64 header = sectionTable + quint64(i) * 40;
        Section section{};
        if (!bytes.u32(header + 12, section.virtualAddress) || !bytes.u32(header + 16, section.rawSize) ||
            !bytes.u32(header + 20, section.rawPointer))
            return QString();
        if (section.rawSize > 0)
            pe.sections.append(section);
    }

    const auto isDirectory = [](quint32 target) { return (target & 0x80000000u) != 0; };
    return walkDirectory(pe, resourceRva, 0, kResourceTypeVersion, [&](quint32 typeTarget) {
        if (!isDirectory(typeTarget))
            return QString();
        return walkDirectory(pe, resourceRva, typeTarget & 0x7FFFFFFF, -1, [&](quint32 nameTarget) {
            if (!isDirectory(nameTarget))
                return QString();
            return walkDirectory(pe, resourceRva, nameTarget & 0x7FFFFFFF, -1, [&](quint32 languageTarget) {
                if (isDirectory(languageTarget))
                    return QString();
                return versionFromResourceData(pe, resourceRva, languageTarget);
            });
        });
    });
}

// --- ELF -------------------------------------------------------------------------------------

const quint32 kNoteSection = 7; // SHT_NOTE
const quint32 kNoteSegment = 4; // PT_NOTE
const quint32 kMaxHeaders = 4096;
const quint32 kMaxNotes = 65536; // notes looked at in all, however many tables name the same bytes

QString versionFromNotes(const Bytes &bytes, quint64 offset, quint64 size, quint64 align,
                         quint32 &notesLeft) {
    if (!bytes.has(offset, size))
        return QString();
    const quint64 step = align == 8 ? 8 : 4;
    const auto padded = [step](quint64 n) { return (n + step - 1) & ~(step - 1); };
    const quint64 end = offset + size;
    quint64 at = offset;
    while (at + 12 <= end) {
        if (notesLeft == 0)
            return QString();
        --notesLeft;
        quint32 nameSize = 0, descSize = 0, type = 0;
        bytes.u32(at, nameSize);
        bytes.u32(at + 4, descSize);
        bytes.u32(at + 8, type);
        const quint64 name = at + 12;
        const quint64 desc = name + padded(nameSize);
        const quint64 next = desc + padded(descSize);
        if (next > end || next <= at)
            return QString();
        if (nameSize == sizeof(TOVARIN_TOOL_VERSION_NOTE_NAME) && type == TOVARIN_TOOL_VERSION_NOTE_TYPE &&
            descSize == 16 &&
            bytes.equals(name, TOVARIN_TOOL_VERSION_NOTE_NAME, sizeof(TOVARIN_TOOL_VERSION_NOTE_NAME))) {
            quint32 v[4];
            for (int i = 0; i < 4; ++i)
                bytes.u32(desc + 4 * i, v[i]);
            return formatVersion(v[0], v[1], v[2], v[3]);
        }
        at = next;
    }
    return QString();
}

QString elfFileVersion(Bytes &bytes) {
    quint32 elfClass = 0, encoding = 0;
    if (!bytes.equals(0,
                      "\x7f"
                      "ELF",
                      4) ||
        !bytes.u8(4, elfClass) || !bytes.u8(5, encoding) || (elfClass != 1 && elfClass != 2) ||
        (encoding != 1 && encoding != 2))
        return QString();
    bytes.setBigEndian(encoding == 2);
    const bool is64 = elfClass == 2;
    quint32 notesLeft = kMaxNotes;

    const auto word = [&](quint64 at, quint64 &value) {
        if (is64)
            return bytes.u64(at, value);
        quint32 v = 0;
        const bool ok = bytes.u32(at, v);
        value = v;
        return ok;
    };

    // Section headers first: each SHT_NOTE section.
    quint64 shOffset = 0;
    quint32 shEntry = 0, shCount = 0;
    if (word(is64 ? 0x28 : 0x20, shOffset) && bytes.u16(is64 ? 0x3A : 0x2E, shEntry) &&
        bytes.u16(is64 ? 0x3C : 0x30, shCount) && shOffset != 0 && shEntry >= (is64 ? 64u : 40u)) {
        if (shCount == 0) { // more than 0xff00 sections: the count is in section 0's size
            quint64 extended = 0;
            if (word(shOffset + (is64 ? 32 : 20), extended))
                shCount = quint32(qMin<quint64>(extended, kMaxHeaders));
        }
        for (quint32 i = 0; i < qMin(shCount, kMaxHeaders); ++i) {
            const quint64 header = shOffset + quint64(i) * shEntry;
            if (!bytes.has(header, shEntry))
                break;
            quint32 type = 0;
            quint64 offset = 0, size = 0, align = 0;
            bytes.u32(header + 4, type);
            if (type != kNoteSection)
                continue;
            word(header + (is64 ? 24 : 16), offset);
            word(header + (is64 ? 32 : 20), size);
            word(header + (is64 ? 48 : 32), align);
            const QString version = versionFromNotes(bytes, offset, size, align, notesLeft);
            if (!version.isEmpty())
                return version;
        }
    }

    // Stripped of section headers: the PT_NOTE segments.
    quint64 phOffset = 0;
    quint32 phEntry = 0, phCount = 0;
    if (word(is64 ? 0x20 : 0x1C, phOffset) && bytes.u16(is64 ? 0x36 : 0x2A, phEntry) &&
        bytes.u16(is64 ? 0x38 : 0x2C, phCount) && phOffset != 0 && phEntry >= (is64 ? 56u : 32u)) {
        for (quint32 i = 0; i < qMin(phCount, kMaxHeaders); ++i) {
            const quint64 header = phOffset + quint64(i) * phEntry;
            if (!bytes.has(header, phEntry))
                break;
            quint32 type = 0;
            quint64 offset = 0, size = 0, align = 0;
            bytes.u32(header, type);
            if (type != kNoteSegment)
                continue;
            word(header + (is64 ? 8 : 4), offset);
            word(header + (is64 ? 32 : 16), size);
            word(header + (is64 ? 48 : 28), align);
            const QString version = versionFromNotes(bytes, offset, size, align, notesLeft);
            if (!version.isEmpty())
                return version;
        }
    }
    return QString();
}

QString versionOf(Bytes &bytes) {
    QString version = peFileVersion(bytes);
    if (version.isEmpty())
        version = elfFileVersion(bytes);
    return version.isEmpty() ? kNoVersion : version;
}

} // namespace

QString fileVersionOfData(const char *data, qint64 size) {
    if (!data || size <= 0)
        return kNoVersion;
    Bytes bytes(reinterpret_cast<const uchar *>(data), quint64(size));
    return versionOf(bytes);
}

QString portableFileVersionOf(const QString &path) {
    // Regular files only: a FIFO or device would block or never end.
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile())
        return kNoVersion;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() <= 0)
        return kNoVersion;
    Bytes bytes(&file, quint64(file.size()));
    return versionOf(bytes);
}

} // namespace Platform
