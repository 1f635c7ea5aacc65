#include "platform.h"
#include "platform_p.h"

#include <QFile>
#include <QSaveFile>
#include <QSettings>

namespace Platform {

namespace {

bool isHexDigit(ushort ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

// One line of the file: where its text ends and where the next line starts.
struct Line {
    int start = 0;
    int end = 0;  // first byte of the line terminator (or the end of the data)
    int next = 0; // first byte of the following line
};

QVector<Line> splitLines(const QByteArray &text) {
    QVector<Line> lines;
    int pos = 0;
    const int size = text.size();
    while (pos < size) {
        Line line;
        line.start = pos;
        int i = pos;
        while (i < size && text.at(i) != '\n' && text.at(i) != '\r')
            ++i;
        line.end = i;
        if (i < size) {
            // "\r\n" is one terminator; a lone "\r" or "\n" is one too.
            if (text.at(i) == '\r' && i + 1 < size && text.at(i + 1) == '\n')
                i += 2;
            else
                ++i;
        }
        line.next = i;
        lines.append(line);
        pos = i;
    }
    return lines;
}

QByteArray trimmedBlanks(const QByteArray &bytes) {
    int from = 0;
    int to = bytes.size();
    while (from < to && (bytes.at(from) == ' ' || bytes.at(from) == '\t'))
        ++from;
    while (to > from && (bytes.at(to - 1) == ' ' || bytes.at(to - 1) == '\t'))
        --to;
    return bytes.mid(from, to - from);
}

bool sameName(const QByteArray &stored, const QString &wanted) {
    return QString::fromUtf8(stored).compare(wanted, Qt::CaseInsensitive) == 0;
}

// A section header's name, or a null array when the line is not a header.
QByteArray sectionNameOf(const QByteArray &lineText) {
    const QByteArray text = trimmedBlanks(lineText);
    if (!text.startsWith('['))
        return QByteArray();
    const int close = text.indexOf(']');
    if (close < 0)
        return QByteArray();
    const QByteArray name = trimmedBlanks(text.mid(1, close - 1));
    return name.isNull() ? QByteArray("") : name;
}

// Position of the '=' of a key line, or -1 for comments, blank and other lines.
int equalsOf(const QByteArray &lineText) {
    const QByteArray text = trimmedBlanks(lineText);
    if (text.isEmpty() || text.startsWith(';') || text.startsWith('#') || text.startsWith('['))
        return -1;
    return lineText.indexOf('=');
}

QByteArray lineEndingOf(const QByteArray &text) {
    const int lf = text.indexOf('\n');
    if (lf > 0 && text.at(lf - 1) == '\r')
        return QByteArrayLiteral("\r\n");
    if (lf >= 0)
        return QByteArrayLiteral("\n");
    if (text.contains('\r'))
        return QByteArrayLiteral("\r");
#ifdef Q_OS_WIN
    return QByteArrayLiteral("\r\n");
#else
    return QByteArrayLiteral("\n");
#endif
}

bool validName(const QString &name, bool isKey) {
    if (name.trimmed().isEmpty() || name.trimmed() != name)
        return false;
    if (name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r')))
        return false;
    if (isKey)
        return !name.contains(QLatin1Char('=')) && !name.startsWith(QLatin1Char(';')) &&
               !name.startsWith(QLatin1Char('#')) && !name.startsWith(QLatin1Char('['));
    return !name.contains(QLatin1Char(']'));
}

} // namespace

// QSettings (INI, UTF-8) reads a value as: blanks skipped at both ends unless quoted, ',' splits
// into a list, ';' starts a comment, '\' starts an escape, '"' toggles quoting, and a leading '@'
// marks a typed value. Only those get escaped or quoted; everything else, Chinese text
// included, is stored as its plain UTF-8 bytes so that tools reading the file raw still can.
QByteArray iniEncodeValue(const QString &value) {
    QByteArray out;
    out.reserve(value.size() * 3 / 2 + 2);
    bool needsQuotes = false;
    bool escapeNextIfHex = false; // "\x" escapes swallow every hex digit that follows

    if (value.startsWith(QLatin1Char('@')))
        out += '@'; // "@@..." reads back as "@..."

    for (int i = 0; i < value.size(); ++i) {
        const ushort ch = value.at(i).unicode();
        if (ch == ';' || ch == ',')
            needsQuotes = true;

        if (escapeNextIfHex && isHexDigit(ch)) {
            out += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfHex = false;

        switch (ch) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        default:
            if (value.at(i).isHighSurrogate() && i + 1 < value.size() && value.at(i + 1).isLowSurrogate()) {
                out += value.mid(i, 2).toUtf8();
                ++i;
            } else if (ch < 0x20 || ch == 0x7f || ch == 0xFEFF || QChar::isSurrogate(ch)) {
                // 0xFEFF: the UTF-8 decoder drops it as a byte-order mark at the start of each
                // piece it decodes; a lone surrogate has no UTF-8 form at all.
                out += "\\x" + QByteArray::number(ch, 16);
                escapeNextIfHex = true;
            } else {
                out += QString(value.at(i)).toUtf8();
            }
        }
    }

    if (!out.isEmpty() && (out.startsWith(' ') || out.endsWith(' ')))
        needsQuotes = true;
    if (needsQuotes) {
        out.prepend('"');
        out.append('"');
    }
    return out;
}

namespace {

// Where a write lands: the sections of that name (any spelling), the key's lines inside them
// and the first section's last key line.
struct ProfileTarget {
    int sectionCount = 0;
    int firstMatchHeader = -1;
    int firstMatchLastKey = -1;
    QVector<int> keyLines;
};

ProfileTarget locateProfileKey(const QByteArray &text, const QVector<Line> &lines, const QString &section,
                               const QString &key) {
    ProfileTarget target;
    bool inMatch = false;
    bool pastFirstMatch = false;
    for (int n = 0; n < lines.size(); ++n) {
        QByteArray lineText = text.mid(lines[n].start, lines[n].end - lines[n].start);
        if (n == 0 && lineText.startsWith("\xEF\xBB\xBF")) // a UTF-8 mark, as QSettings skips it
            lineText.remove(0, 3);
        const QByteArray name = sectionNameOf(lineText);
        if (!name.isNull()) {
            if (inMatch && target.firstMatchHeader >= 0)
                pastFirstMatch = true;
            inMatch = sameName(name, section);
            if (inMatch) {
                ++target.sectionCount;
                if (target.firstMatchHeader < 0)
                    target.firstMatchHeader = n;
            }
            continue;
        }
        if (!inMatch)
            continue;
        const int eq = equalsOf(lineText);
        if (eq < 0)
            continue;
        if (!pastFirstMatch)
            target.firstMatchLastKey = n;
        if (sameName(trimmedBlanks(lineText.left(eq)), key))
            target.keyLines.append(n);
    }
    return target;
}

} // namespace

bool profileWriteHasOneTarget(const QByteArray &text, const QString &section, const QString &key) {
    const ProfileTarget target = locateProfileKey(text, splitLines(text), section, key);
    return target.sectionCount <= 1 && target.keyLines.size() <= 1;
}

QByteArray applyProfileWrite(const QByteArray &text, const QString &section, const QString &key,
                             const QByteArray &encodedValue) {
    const QVector<Line> lines = splitLines(text);
    const QByteArray eol = lineEndingOf(text);

    QByteArray result;
    result.reserve(text.size() + key.size() + encodedValue.size() + section.size() + 8);

    const ProfileTarget target = locateProfileKey(text, lines, section, key);
    const QVector<int> &keyLines = target.keyLines;
    const int firstMatchHeader = target.firstMatchHeader;
    const int firstMatchLastKey = target.firstMatchLastKey;

    const QByteArray newKeyLine = key.toUtf8() + '=' + encodedValue;

    if (!keyLines.isEmpty()) {
        // Every occurrence is replaced: a stale duplicate would otherwise shadow the new value
        // for readers that take the last one.
        int copied = 0;
        for (int n : keyLines) {
            const Line &line = lines[n];
            const int eq = text.indexOf('=', line.start);
            result += text.mid(copied, eq + 1 - copied);
            result += encodedValue;
            copied = line.end;
        }
        result += text.mid(copied);
        return result;
    }

    if (firstMatchHeader >= 0) {
        const int after = firstMatchLastKey >= 0 ? firstMatchLastKey : firstMatchHeader;
        const Line &line = lines[after];
        result += text.left(line.end);
        result += line.next > line.end ? text.mid(line.end, line.next - line.end) : eol;
        result += newKeyLine;
        result += eol;
        result += text.mid(line.next);
        return result;
    }

    result = text;
    if (!result.isEmpty()) {
        if (!result.endsWith('\n') && !result.endsWith('\r'))
            result += eol;
        // A blank line between sections, as the files are usually laid out.
        const QVector<Line> all = splitLines(result);
        const Line &last = all.last();
        if (!trimmedBlanks(result.mid(last.start, last.end - last.start)).isEmpty())
            result += eol;
    }
    result += '[' + section.toUtf8() + ']' + eol;
    result += newKeyLine + eol;
    return result;
}

bool validProfileNames(const QString &section, const QString &key) {
    return validName(section, false) && validName(key, true);
}

bool editProfileFile(const QByteArray &iniPath, const QString &section, const QString &key,
                     const QString &value) {
    if (iniPath.isEmpty() || !validProfileNames(section, key))
        return false;

    const QString path = QFile::decodeName(iniPath);
    QByteArray text;
    QFile existing(path);
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly))
            return false;
        text = existing.readAll();
        if (existing.error() != QFileDevice::NoError)
            return false;
        existing.close();
    }

    const QByteArray updated = applyProfileWrite(text, section, key, iniEncodeValue(value));

    // Written beside the file and renamed over it, so a crash never leaves half a file.
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    if (out.write(updated) != updated.size()) {
        out.cancelWriting();
        return false;
    }
    return out.commit();
}

QString findProfileKey(QSettings &settings, const QString &section, const QString &key) {
    // The writer matches sections without regard to case, so a file may hold the same section
    // under several spellings ("[tovarin]" and "[Tovarin]"); the key is in whichever has it.
    QString firstGroup;
    const QStringList groups = settings.childGroups();
    for (const QString &stored : groups) {
        if (stored.compare(section, Qt::CaseInsensitive) != 0)
            continue;
        if (firstGroup.isNull())
            firstGroup = stored;
        settings.beginGroup(stored);
        const QStringList keys = settings.childKeys();
        settings.endGroup();
        for (const QString &storedKey : keys) {
            if (storedKey.compare(key, Qt::CaseInsensitive) == 0)
                return stored + QLatin1Char('/') + storedKey;
        }
    }
    return (firstGroup.isNull() ? section : firstGroup) + QLatin1Char('/') + key;
}

} // namespace Platform
