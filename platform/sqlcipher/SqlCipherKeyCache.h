#ifndef PSM_SQLCIPHERKEYCACHE_H
#define PSM_SQLCIPHERKEYCACHE_H

#include <QByteArray>
#include <QString>

// SQLCipher turns a passphrase into a file's key with PBKDF2 over the salt in
// the file's first 16 bytes: tens of milliseconds on every open. The driver
// keeps each derived key for the life of the process and opens later with
// SQLCipher's raw key text (key and salt), which skips the derivation. The
// file itself is untouched: it stays readable with the passphrase.
//
// Safe to use from any thread.
namespace SqlCipherKeyCache
{

// "x'<key><salt>'" for the passphrase and the salt of the file at path,
// derived on the first call for that salt. Empty when the file has no salt to
// read: missing, shorter than a salt, or a plain SQLite file.
QByteArray rawKey(const QString& path, const QByteArray& passphrase);

// Drops a raw key that its file did not accept.
void forget(const QByteArray& rawKey);

// True for a key text that is already raw ("x'…'"), which needs no derivation.
bool isRawKeyText(const QByteArray& key);

} // namespace SqlCipherKeyCache

#endif // PSM_SQLCIPHERKEYCACHE_H
