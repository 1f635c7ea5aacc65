#pragma once

#include <QString>

// Where the tests find the repository and the build's programs.
namespace TestPaths {
QString sourceDir();          // the repository root
QString binaryDir();          // the build tree root
QString programPath(const QString &name); // a program of the build (bin/<name>)
// The Python 3 interpreter for the stand-in server and the package generator: TOVARIN_PYTHON
// when set (the Windows tests under wine run the machine's own), else python3 from the path.
QString python();
// A path as the machine's own programs see it. Under wine TOVARIN_HOST_DRIVES maps drives to
// the machine's folders ("C:=/prefix/drive_c;Z:=" makes "Z:/tmp/x" "/tmp/x"); elsewhere, and
// for other drives, the path itself.
QString hostPath(const QString &path);
// True when the tests run under wine (the wine runner sets TOVARIN_HOST_DRIVES).
bool runsUnderWine();
} // namespace TestPaths
