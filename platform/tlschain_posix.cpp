#include "platform.h"

// OpenSSL verifies against the CA list of each connection: nothing to stand in for.

namespace Platform {

bool tlsTakesConnectionCaList() {
    return true;
}

bool chainLeadsToRoots(const QList<QByteArray> &chain, const QList<QByteArray> &roots) {
    Q_UNUSED(chain);
    Q_UNUSED(roots);
    return false;
}

} // namespace Platform
