#pragma once

#include <QString>

// Login token of the operator, empty until the first successful login. Every request of the
// configuration service that carries "loginToken" reads it.
extern QString m_szLoginToken;

// Number of tools that can be upgraded by hand, counted by the tool update check.
extern int totalUpdataNum;

// The launcher's own version, sent to the server and written into the hand-off file.
#define TOVARIN_APP_VERSION "1.1.1.2"

// The customer this build is made for; it picks the window icon.
#ifndef TOVARIN_CLIENT
#define TOVARIN_CLIENT "CLIENT"
#endif
