#pragma once

#include <QString>

// The daily log file: one line per call, "yyyy-MM-dd hh:mm:ss", four spaces, the message, CR LF,
// in UTF-8, appended to a file named after the day. Control characters in the message are
// written as escapes ("\n", "\r", "\t", "\x1b", "\u2028"), so a message is always one line,
// and secrets in its JSON members ("loginToken": ..., "password": ...) are masked (SecretMask).
// Each call opens, writes once and closes, so it may be called from any thread; failures are
// silent on purpose.
namespace LogRecorder {

// Launcher: the file lies in "log" under the working directory (created when missing); when
// that folder cannot be created the file goes to the working directory itself.
void recordInLogFolder(const QString &message);

// Updater: the file lies directly in the working directory.
void recordInWorkingFolder(const QString &message);

} // namespace LogRecorder
