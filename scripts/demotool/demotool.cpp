// A production-test tool of the demo station. One program is installed under every tool's
// folder and executable name; it shows which tool it stands for and the file version it
// carries, read back the way the launcher reads it.

#include "platform.h"
#include "toolversion.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#define DEMOTOOL_EXPAND(...) TOVARIN_TOOL_VERSION(__VA_ARGS__)
DEMOTOOL_EXPAND(DEMOTOOL_VERSION);

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    const QString program = QCoreApplication::applicationFilePath();
    const QString toolName = QFileInfo(program).completeBaseName();
    const QString version = Platform::fileVersionOf(program);

    QWidget window;
    window.setWindowTitle(toolName);
    window.setStyleSheet(QStringLiteral("QWidget { background-color: #F8F9FA; font-size: 14px; }"
                                        "#labName { font-size: 24px; font-weight: 700; color: #447AF0; }"
                                        "#labVersion { font-size: 16px; color: #333333; }"
                                        "#labFolder { color: #999999; }"));
    auto *layout = new QVBoxLayout(&window);
    layout->setContentsMargins(32, 28, 32, 28);
    layout->setSpacing(12);
    auto *name = new QLabel(toolName, &window);
    name->setObjectName(QStringLiteral("labName"));
    auto *versionLabel = new QLabel(QStringLiteral("文件版本: %1").arg(version), &window);
    versionLabel->setObjectName(QStringLiteral("labVersion"));
    auto *folder = new QLabel(QStringLiteral("程序目录: %1\n工作目录: %2")
                                  .arg(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()),
                                       QDir::toNativeSeparators(QDir::currentPath())),
                              &window);
    folder->setObjectName(QStringLiteral("labFolder"));
    layout->addWidget(name);
    layout->addWidget(versionLabel);
    layout->addWidget(folder);
    layout->addStretch();
    window.resize(520, 200);
    window.show();
    return app.exec();
}
