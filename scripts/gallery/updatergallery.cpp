// Renders the updater's copy of the upgrade pop-up in its two states, and as the updater's
// window shows it while installing (progress, then a failure), to PNG files, headless.
// Not a test: run it through scripts/screenshots.sh.
//   updatergallery <output folder>
#include "galleryshot.h"
#include "imageresources.h"
#include "popwidget.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initImageResources();
    QDir out;
    if (!openGalleryFolder(out, argc, argv))
        return 1;
    const QStringList notes{QStringLiteral("修复产测工具在部分机型上无法识别模组的问题"),
                            QStringLiteral("新增一键全部更新，升级过程更稳定"),
                            QStringLiteral("优化登录速度与网络状态提示")};
    const char *names[] = {"upgrade", "installing"};
    int written = 0;
    for (int t = 0; t <= 1; ++t) {
        popWidget pop;
        pop.resize(900, 600);
        pop.slotSetPopUI(QStringLiteral("1.1.2.0"), notes, static_cast<popType>(t));
        written += saveShot(
            &pop, out.filePath(QStringLiteral("popupdater_%1_%2.png").arg(t).arg(QLatin1String(names[t]))));
    }
    // The updater gives the pop-up its window's size and nothing to dim.
    {
        popWidget pop;
        pop.setCoveringLook();
        pop.resize(400, 280);
        pop.slotSetPopUI(QStringLiteral("1.1.2.0"), notes, POP_TYPE_INSTALLING);
        pop.slotSetProgress(60);
        written += saveShot(&pop, out.filePath(QStringLiteral("popupdater_2_window_progress.png")));
        pop.slotSetStatus(QStringLiteral("主程序升级失败:主程序未退出"));
        written += saveShot(&pop, out.filePath(QStringLiteral("popupdater_3_window_failed.png")));
    }
    std::printf("%d pictures in %s\n", written, qPrintable(QFileInfo(out.path()).absoluteFilePath()));
    return written > 0 ? 0 : 1;
}
