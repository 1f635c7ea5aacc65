// Executables: the portable version reader on bytes and through a file.
#include "fuzzsupport.h"
#include "platform.h"
#include "platform_p.h"

#include <QRegularExpression>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const QString path = Fuzz::scratchFolder() + QStringLiteral("/tool.exe");
    static const QRegularExpression shape(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+$"));
    const QString fromBytes = Platform::fileVersionOfData(reinterpret_cast<const char *>(data), qint64(size));
    Fuzz::writeFile(path, Fuzz::bytesOf(data, size));
    const QString fromFile = Platform::fileVersionOf(path);
    // Callers compare versions as "a.b.c.d"; the file and the bytes are the same executable.
    if (!shape.match(fromBytes).hasMatch() || fromBytes != fromFile) {
        fprintf(stderr, "version reader disagrees: bytes %s, file %s\n", qPrintable(fromBytes),
                qPrintable(fromFile));
        abort();
    }
    return 0;
}
