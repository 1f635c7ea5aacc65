#include "imageresources.h"

#include <QFont>
#include <QStringList>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerImageBundle() {
    Q_INIT_RESOURCE(images);
}

void initImageResources() {
    static bool done = false;
    if (done)
        return;
    done = true;
    registerImageBundle();
    // The forms name the Windows families; on Debian the same typeface ships as Noto Sans CJK.
    const QStringList cjk{QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Source Han Sans SC")};
    QFont::insertSubstitutions(QStringLiteral("SourceHanSansSC"), cjk);
    QFont::insertSubstitutions(QStringLiteral("微软雅黑"), cjk);
    QFont::insertSubstitutions(QStringLiteral("Microsoft YaHei"), cjk);
}
