#ifndef PSM_STOREOPERATIONS_H
#define PSM_STOREOPERATIONS_H

#include <QString>

// One settings row to store: key, value and group texts.
struct SettingsItem {
    QString key;
    QString value;
    QString group;
};

// Both operations hold the inter-process lock file "dblockfile" in the
// temporary folder while they work, waiting at most 5 s for another holder;
// a lock still held after that fails the operation.

// Reads every row of tbl_settings in the database file at dbPath into output,
// as compact JSON: {"resultCode":0,"result":[{"key":..,"value":..,"group":..},..]}.
// A failed read yields a non-zero "resultCode" and an empty "result".
int queryLocalsettings(const QString& dbPath, QString& output);

// Stores one setting by key: inserts a new row, or replaces only the value of
// the first row with that key. 0 when stored, -1 when not.
int addSetting(const QString& dbPath, const SettingsItem& item);

// Derives the file's key on a worker thread, so that the first operation on
// it does not pay for that on the caller's thread. The agent does this for
// its settings database as soon as it starts.
void prepareSettingsStore(const QString& dbPath);

#endif // PSM_STOREOPERATIONS_H
