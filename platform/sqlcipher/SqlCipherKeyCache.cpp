#include "sqlcipher/SqlCipherKeyCache.h"

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

#include <openssl/evp.h>

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QPair>
#include <QSet>

namespace
{

constexpr int kSaltBytes = 16;
constexpr int kKeyBytes = 32; // AES-256

struct KdfSettings {
    int iterations = 64000;
    const EVP_MD* digest = nullptr;
};

int readFirstColumn(void* target, int columns, char** values, char**)
{
    if (columns > 0 && values[0]) {
        *static_cast<QByteArray*>(target) = QByteArray(values[0]);
    }
    return 0;
}

QByteArray pragmaValue(sqlite3* db, const char* pragma)
{
    QByteArray value;
    sqlite3_exec(db, pragma, readFirstColumn, &value, nullptr);
    return value;
}

// The library's own defaults, which a passphrase-keyed open uses. A library
// too old to name its algorithm derives with SHA-1.
KdfSettings libraryKdf()
{
    KdfSettings settings;
    settings.digest = EVP_sha1();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        bool ok = false;
        const int iterations = pragmaValue(db, "PRAGMA cipher_default_kdf_iter").toInt(&ok);
        if (ok && iterations > 0) {
            settings.iterations = iterations;
        }
        const QByteArray algorithm = pragmaValue(db, "PRAGMA cipher_default_kdf_algorithm").toUpper();
        if (algorithm.contains("SHA512")) {
            settings.digest = EVP_sha512();
        } else if (algorithm.contains("SHA256")) {
            settings.digest = EVP_sha256();
        }
    }
    sqlite3_close(db);
    return settings;
}

QByteArray fileSalt(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    const QByteArray salt = file.read(kSaltBytes);
    if (salt.size() != kSaltBytes || salt == QByteArray("SQLite format 3", kSaltBytes)) {
        return QByteArray();
    }
    return salt;
}

enum class Derivation { Unconfirmed, Matches, Differs };

QMutex cacheMutex;
QHash<QPair<QByteArray, QByteArray>, QByteArray> cache; // (passphrase, salt) -> raw key text
QSet<QByteArray> refusedKeys; // raw keys whose files were tried with the passphrase
Derivation derivation = Derivation::Unconfirmed;

} // namespace

namespace SqlCipherKeyCache
{

QByteArray rawKey(const QString& path, const QByteArray& passphrase)
{
    const QByteArray salt = fileSalt(path);
    if (salt.isEmpty() || passphrase.isEmpty()) {
        return QByteArray();
    }
    // Held while deriving, so that two threads never derive the same key.
    QMutexLocker lock(&cacheMutex);
    if (derivation == Derivation::Differs) {
        return QByteArray();
    }
    const QPair<QByteArray, QByteArray> id(passphrase, salt);
    const auto found = cache.constFind(id);
    if (found != cache.constEnd()) {
        return found.value();
    }
    static const KdfSettings kdf = libraryKdf();
    unsigned char key[kKeyBytes];
    if (PKCS5_PBKDF2_HMAC(passphrase.constData(), passphrase.size(),
                          reinterpret_cast<const unsigned char*>(salt.constData()), salt.size(), kdf.iterations,
                          kdf.digest, kKeyBytes, key)
        != 1) {
        return QByteArray();
    }
    const QByteArray text
        = "x'" + QByteArray(reinterpret_cast<const char*>(key), kKeyBytes).toHex() + salt.toHex() + "'";
    cache.insert(id, text);
    return text;
}

void rawKeyAccepted()
{
    QMutexLocker lock(&cacheMutex);
    derivation = Derivation::Matches;
}

bool tryPassphraseAfterRefusal(const QByteArray& rawKey)
{
    QMutexLocker lock(&cacheMutex);
    if (derivation != Derivation::Unconfirmed || refusedKeys.contains(rawKey)) {
        return false;
    }
    refusedKeys.insert(rawKey);
    return true;
}

void passphraseOnlyWorks()
{
    QMutexLocker lock(&cacheMutex);
    derivation = Derivation::Differs;
    cache.clear();
}

bool isRawKeyText(const QByteArray& key)
{
    return key.size() > 3 && (key.startsWith("x'") || key.startsWith("X'")) && key.endsWith('\'');
}

} // namespace SqlCipherKeyCache
