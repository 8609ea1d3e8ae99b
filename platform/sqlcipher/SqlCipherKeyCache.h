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
// read (missing, shorter than a salt, a plain SQLite file), or when derived
// keys turned out not to match this SQLCipher's own derivation.
QByteArray rawKey(const QString& path, const QByteArray& passphrase);

// A raw key opened its file: the derivation here matches the library's.
void rawKeyAccepted();

// A raw key was refused as "not a database". True when the passphrase is worth
// a try: once per key, and only while no raw key has been accepted (after one
// was, a refused key means a damaged or foreign file, not a wrong derivation).
bool tryPassphraseAfterRefusal(const QByteArray& rawKey);

// The passphrase opened a file whose raw key was refused: raw keys are not
// used again in this process.
void passphraseOnlyWorks();

// True for a key text that is already raw ("x'…'"), which needs no derivation.
bool isRawKeyText(const QByteArray& key);

} // namespace SqlCipherKeyCache

#endif // PSM_SQLCIPHERKEYCACHE_H
