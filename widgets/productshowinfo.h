#pragma once

#include "toolbuttoninfo.h"

#include <QMetaType>
#include <QString>

// Release state of a catalogue product.
enum RELEASETYPE_E : int {
    RELEASE_TYPE_RELEASED = 0,
    RELEASE_TYPE_PRE_RELEASE = 1,
};

// One product as the tool page and the catalogue show it. An empty PID and an empty local
// path stand for no product.
struct PRODUCTSHOWINFO_S {
    QString m_szProductName;
    QString m_szPicPath = QStringLiteral(":/product/resource/image/cameraModel.png");
    QString m_szPID;
    QString m_szModel;
    QString m_szVersion;
    QString m_szCreatTime;
    QString m_szLocalPath;
    QString m_szCustomBrand;
    QString m_szCustomIDFlag;
    ELECTRICTYPE_E m_eProductType = ELECTRIC_TYPE_MAINS;
    RELEASETYPE_E m_eReleaseType = RELEASE_TYPE_RELEASED;
};

Q_DECLARE_METATYPE(PRODUCTSHOWINFO_S)
Q_DECLARE_METATYPE(RELEASETYPE_E)
