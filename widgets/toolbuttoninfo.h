#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// The enums here carry a fixed underlying type: records may hold values outside the listed
// ones (a newer server, a hand-edited file), and the widgets must be able to hold and handle them.

// Tile state: what the badge and the two corner buttons of a tool tile show.
enum UPGRADESTATUS_E : int {
    UPGRADE_STATUS_NORMAL = 0,
    UPGRADE_STATUS_UPGRADABLE = 1,
    UPGRADE_STATUS_NOT_DOWNLOADED = 2,
    UPGRADE_STATUS_DOWNLOAD_FAILED = 3,
    UPGRADE_STATUS_UPGRADE_FAILED = 4,
    UPGRADE_STATUS_UPGRADING = 5,
    UPGRADE_STATUS_NEW = 6,
    UPGRADE_STATUS_NOT_OPEN = 7,
};

// Which products a tool (or a product) is for.
enum ELECTRICTYPE_E : int {
    ELECTRIC_TYPE_LOW_POWER = 0,
    ELECTRIC_TYPE_MAINS = 1,
    ELECTRIC_TYPE_ANY = 2,
};

// Group of the tool page a tool is shown in.
enum PLACETYPE_E : int {
    PLACE_TYPE_PRODUCTION = 0,
    PLACE_TYPE_AUXILIARY = 1,
    PLACE_TYPE_NVR_DVR = 2,
};

// One tool as a tile shows it; copied freely and carried by the tile's signals.
struct toolButtonInfo {
    QString m_szToolName;
    QString m_szToolKey;
    QString m_szExeName;
    QString m_szToolId;
    QString m_szToolPath;
    bool m_bSelectMode = false;
    ELECTRICTYPE_E m_eElectricType = ELECTRIC_TYPE_MAINS;
    UPGRADESTATUS_E m_eUpgradeStatus = UPGRADE_STATUS_NORMAL;
    bool m_bSelected = false;
    PLACETYPE_E m_ePlaceType = PLACE_TYPE_PRODUCTION;
    QStringList m_listUnupdate;
};

Q_DECLARE_METATYPE(toolButtonInfo)
Q_DECLARE_METATYPE(UPGRADESTATUS_E)
Q_DECLARE_METATYPE(ELECTRICTYPE_E)
Q_DECLARE_METATYPE(PLACETYPE_E)

// Registers the record and the three enums under their own names, so that string-based and
// queued connections carrying them work. Safe to call any number of times; toolButton's
// constructor calls it.
void registerToolButtonMetaTypes();
