#include "globals.h"

QString m_szLoginToken;
int totalUpdataNum = 0;
