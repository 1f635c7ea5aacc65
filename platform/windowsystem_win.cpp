#include "platform.h"

namespace Platform {

// Qt draws translucent top-level windows as layered windows, which Windows blends with or
// without desktop composition.
bool windowSystemBlendsTranslucency(const QString &windowSystem) {
    Q_UNUSED(windowSystem)
    return true;
}

} // namespace Platform
