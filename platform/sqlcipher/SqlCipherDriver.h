#ifndef PSM_SQLCIPHERDRIVER_H
#define PSM_SQLCIPHERDRIVER_H

#include <QSqlDriver>

struct sqlite3;
class SqlCipherResult;

// A Qt SQL driver over SQLCipher: SQLite files encrypted with the connection
// password as their key, registered under the name "SQLITECIPHER". It is
// linked into the programs statically, so no plugin path is involved: the
// application object registers it when it is constructed (a Qt start-up
// function beside registerSqlCipherDriver()), and callers that may run
// earlier call registerSqlCipherDriver() themselves.
//
// Connect options (QSqlDatabase::setConnectOptions, separated by ';'):
//   QSQLITE_OPEN_CREATE     create the file when it does not exist; without
//                           it a missing file is an open error
//   QSQLITE_OPEN_READONLY   open the file read-only
//   QSQLITE_BUSY_TIMEOUT=ms wait that long for another connection's lock
//                           (default 5000)
//
// open() checks the key at once by reading the schema, so a wrong key or a
// file that is not a database fails there and not at the first query. An
// empty password opens a plain, unencrypted SQLite file. The key derived from
// a passphrase is kept for the process (SqlCipherKeyCache), so only the first
// open of a file pays for the derivation.
class SqlCipherDriver : public QSqlDriver
{
    Q_OBJECT
public:
    explicit SqlCipherDriver(QObject* parent = nullptr);
    ~SqlCipherDriver() override;

    bool hasFeature(DriverFeature feature) const override;
    bool open(const QString& db, const QString& user, const QString& password, const QString& host, int port,
              const QString& connectOptions) override;
    void close() override;
    QSqlResult* createResult() const override;

    bool beginTransaction() override;
    bool commitTransaction() override;
    bool rollbackTransaction() override;

    QStringList tables(QSql::TableType type) const override;
    QSqlRecord record(const QString& tableName) const override;
    QSqlIndex primaryIndex(const QString& tableName) const override;
    QString escapeIdentifier(const QString& identifier, IdentifierType type) const override;

private:
    friend class SqlCipherResult;
    bool execSimple(const char* sql, const QString& what);

    sqlite3* m_db = nullptr;
    mutable QList<SqlCipherResult*> m_results;
};

// The name under which the driver is registered.
inline constexpr char kSqlCipherDriverName[] = "SQLITECIPHER";

// Registers the driver with QSqlDatabase under "SQLITECIPHER". Safe to call
// any number of times; it registers again after the application object was
// destroyed and Qt dropped its registered drivers.
void registerSqlCipherDriver();

#endif // PSM_SQLCIPHERDRIVER_H
