#include "testfiles.h"

FileSizeLimit::FileSizeLimit(qint64 bytes) {
    Q_UNUSED(bytes)
}

FileSizeLimit::~FileSizeLimit() = default;
