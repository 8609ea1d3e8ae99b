#ifndef PSM_SETTINGSRECORD_H
#define PSM_SETTINGSRECORD_H

#include <QString>

// Keys of the two switches in tbl_settings, fixed by the sibling programs
// that read the same file.
inline constexpr const char IllegaLconKey[] = "illegaLcon";
inline constexpr const char RetroDocKey[] = "retroDoc";

// In-memory copy of the stored settings. The settings window fills it at
// start-up and its pages read and update it, all on the GUI thread.
struct SettingsRecord {
    QString barContent;
    QString barPosition;
    QString barHor;
    QString barVer;
    QString barSize;
    bool illegaLcon = false;
    bool retroDoc = false;
};

#endif // PSM_SETTINGSRECORD_H
