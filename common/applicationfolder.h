#pragma once

#include <QString>

// The folder of the running program (not the working directory). Everything that lies
// "beside the program" resolves against this, so tests can point it at a temporary
// station folder instead of the build tree.
namespace ApplicationFolder {

// QCoreApplication::applicationDirPath(), or the folder set for tests.
QString path();

// Overrides the folder; an empty string restores the real one. Meant for tests only.
void setPathForTesting(const QString &folder);

} // namespace ApplicationFolder
