#pragma once

#include <QString>

// Where the tests find the repository and the build's programs.
namespace TestPaths {
QString sourceDir();          // the repository root
QString binaryDir();          // the build tree root
QString programPath(const QString &name); // a program of the build (bin/<name>)
} // namespace TestPaths
