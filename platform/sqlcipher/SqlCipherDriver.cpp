#include "sqlcipher/SqlCipherDriver.h"

#include "sqlcipher/SqlCipherKeyCache.h"

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

#include <QCoreApplication>
#include <QMutex>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlField>
#include <QSqlIndex>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QVector>

#include <limits>
#include <map>

namespace
{

QString sqliteMessage(sqlite3* db, int rc)
{
    if (db) {
        return QString::fromUtf16(static_cast<const ushort*>(sqlite3_errmsg16(db)));
    }
    return QString::fromUtf8(sqlite3_errstr(rc));
}

QSqlError sqliteError(sqlite3* db, int rc, const QString& driverText, QSqlError::ErrorType type)
{
    return QSqlError(driverText, sqliteMessage(db, rc), type, QString::number(rc));
}

// The Qt type of a column from its declared SQL type, by SQLite's affinity rules.
QVariant::Type columnType(const QString& declaredType)
{
    const QString type = declaredType.toLower();
    if (type.contains(QLatin1String("int"))) {
        return QVariant::LongLong;
    }
    if (type.contains(QLatin1String("real")) || type.contains(QLatin1String("floa"))
        || type.contains(QLatin1String("doub"))) {
        return QVariant::Double;
    }
    if (type.contains(QLatin1String("blob"))) {
        return QVariant::ByteArray;
    }
    if (type.contains(QLatin1String("bool"))) {
        return QVariant::Bool;
    }
    return QVariant::String;
}

bool isBlank(const QChar* text, int length)
{
    for (int i = 0; i < length; ++i) {
        if (!text[i].isSpace() && text[i] != QLatin1Char(';')) {
            return false;
        }
    }
    return true;
}

// Opens and keys one connection, then reads the schema: the key is only tried
// on the first read, so a wrong key or a file that is not a database fails
// here. On failure *handle may still hold a connection, for the message.
int openKeyed(const QByteArray& path, int flags, int busyTimeout, const QByteArray& key, sqlite3** handle)
{
    int rc = sqlite3_open_v2(path.constData(), handle, flags, nullptr);
    if (rc == SQLITE_OK) {
        // Before the schema read below: another connection may hold a lock.
        sqlite3_busy_timeout(*handle, busyTimeout);
    }
    if (rc == SQLITE_OK && !key.isEmpty()) {
        rc = sqlite3_key(*handle, key.constData(), key.size());
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_exec(*handle, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    return rc;
}

} // namespace

// One statement. Rows are read from SQLite as the caller asks for them; a
// scrollable result keeps the rows read so far, a forward-only one only the
// current row.
class SqlCipherResult : public QSqlResult
{
public:
    explicit SqlCipherResult(const SqlCipherDriver* driver)
        : QSqlResult(driver)
    {
        driver->m_results.append(this);
    }

    ~SqlCipherResult() override
    {
        if (auto* owner = qobject_cast<const SqlCipherDriver*>(driver())) {
            owner->m_results.removeOne(this);
        }
        finalize();
    }

    void finalize()
    {
        if (m_stmt) {
            sqlite3_finalize(m_stmt);
            m_stmt = nullptr;
        }
        m_rows.clear();
        m_rowsRead = 0;
        m_done = true;
        m_record.clear();
    }

protected:
    bool reset(const QString& query) override { return prepare(query) && run(); }

    bool prepare(const QString& query) override
    {
        finalize();
        setSelect(false);
        sqlite3* db = connection();
        if (!db) {
            setLastError(QSqlError(QStringLiteral("Database is not open"), QString(), QSqlError::ConnectionError));
            return false;
        }
        const void* tail = nullptr;
        const int bytes = static_cast<int>((query.size() + 1) * sizeof(QChar));
        const int rc = sqlite3_prepare16_v2(db, query.utf16(), bytes, &m_stmt, &tail);
        if (rc != SQLITE_OK) {
            setLastError(sqliteError(db, rc, QStringLiteral("Unable to prepare statement"), QSqlError::StatementError));
            finalize();
            return false;
        }
        const auto* rest = static_cast<const QChar*>(tail);
        if (rest && !isBlank(rest, static_cast<int>(query.constData() + query.size() - rest))) {
            setLastError(QSqlError(QStringLiteral("Unable to execute multiple statements at a time"), QString(),
                                   QSqlError::StatementError));
            finalize();
            return false;
        }
        if (!m_stmt) {
            setLastError(QSqlError(QStringLiteral("Empty statement"), QString(), QSqlError::StatementError));
            return false;
        }
        buildRecord();
        return true;
    }

    bool exec() override
    {
        if (!m_stmt) {
            setLastError(QSqlError(QStringLiteral("No statement prepared"), QString(), QSqlError::StatementError));
            return false;
        }
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
        const QVector<QVariant>& values = boundValues();
        if (sqlite3_bind_parameter_count(m_stmt) != values.size()) {
            setLastError(QSqlError(QStringLiteral("Parameter count mismatch"), QString(), QSqlError::StatementError));
            return false;
        }
        for (int i = 0; i < values.size(); ++i) {
            const int rc = bind(i + 1, values.at(i));
            if (rc != SQLITE_OK) {
                setLastError(sqliteError(connection(), rc, QStringLiteral("Unable to bind parameters"),
                                         QSqlError::StatementError));
                return false;
            }
        }
        return run();
    }

    bool fetch(int i) override
    {
        if (!m_stmt || !isSelect() || i < 0 || (isForwardOnly() && i < m_rowsRead - 1)) {
            return false;
        }
        while (m_rowsRead <= i && !m_done) {
            step();
        }
        if (i >= m_rowsRead) {
            return false;
        }
        setAt(i);
        return true;
    }

    bool fetchFirst() override { return fetch(0); }

    bool fetchLast() override
    {
        if (!m_stmt || !isSelect()) {
            return false;
        }
        while (!m_done) {
            step();
        }
        return m_rowsRead > 0 && fetch(m_rowsRead - 1);
    }

    QVariant data(int field) override
    {
        const QVector<QVariant>* row = currentRow();
        if (!row || field < 0 || field >= row->size()) {
            return QVariant();
        }
        return row->at(field);
    }

    bool isNull(int field) override { return data(field).isNull(); }
    int size() override { return -1; }
    int numRowsAffected() override { return connection() ? sqlite3_changes(connection()) : -1; }

    QVariant lastInsertId() const override
    {
        if (isActive() && connection()) {
            const qint64 id = sqlite3_last_insert_rowid(connection());
            if (id != 0) {
                return id;
            }
        }
        return QVariant();
    }

    QSqlRecord record() const override { return isActive() && isSelect() ? m_record : QSqlRecord(); }

    void detachFromResultSet() override
    {
        if (m_stmt) {
            sqlite3_reset(m_stmt);
        }
        m_done = true;
    }

private:
    sqlite3* connection() const
    {
        auto* owner = qobject_cast<const SqlCipherDriver*>(driver());
        return owner && owner->isOpen() ? owner->m_db : nullptr;
    }

    void buildRecord()
    {
        m_record.clear();
        const int columns = sqlite3_column_count(m_stmt);
        for (int c = 0; c < columns; ++c) {
            const QString name = QString::fromUtf8(sqlite3_column_name(m_stmt, c));
            const QString declared = QString::fromUtf8(sqlite3_column_decltype(m_stmt, c));
            m_record.append(QSqlField(name, columnType(declared)));
        }
    }

    int bind(int index, const QVariant& value)
    {
        if (value.isNull()) {
            return sqlite3_bind_null(m_stmt, index);
        }
        switch (value.userType()) {
        case QMetaType::Bool:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::LongLong:
            return sqlite3_bind_int64(m_stmt, index, value.toLongLong());
        case QMetaType::ULong:
        case QMetaType::ULongLong:
            if (value.toULongLong() <= static_cast<qulonglong>(std::numeric_limits<qint64>::max())) {
                return sqlite3_bind_int64(m_stmt, index, value.toLongLong());
            }
            break;
        case QMetaType::Float:
        case QMetaType::Double:
            return sqlite3_bind_double(m_stmt, index, value.toDouble());
        case QMetaType::QByteArray: {
            const QByteArray bytes = value.toByteArray();
            return sqlite3_bind_blob(m_stmt, index, bytes.constData(), bytes.size(), SQLITE_TRANSIENT);
        }
        default:
            break;
        }
        const QString text = value.toString();
        return sqlite3_bind_text16(m_stmt, index, text.utf16(), static_cast<int>(text.size() * sizeof(QChar)),
                                   SQLITE_TRANSIENT);
    }

    // Runs the bound statement up to its first row, so that errors show here.
    bool run()
    {
        m_rows.clear();
        m_rowsRead = 0;
        m_done = false;
        const int rc = step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            setActive(false);
            return false;
        }
        setSelect(sqlite3_column_count(m_stmt) > 0);
        setActive(true);
        return true;
    }

    int step()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) {
            const int columns = sqlite3_column_count(m_stmt);
            QVector<QVariant> row(columns);
            for (int c = 0; c < columns; ++c) {
                row[c] = columnValue(c);
            }
            if (isForwardOnly()) {
                m_rows.clear();
            }
            m_rows.append(row);
            ++m_rowsRead;
            return rc;
        }
        m_done = true;
        if (rc != SQLITE_DONE) {
            setLastError(
                sqliteError(connection(), rc, QStringLiteral("Unable to fetch row"), QSqlError::StatementError));
        }
        // Ends the statement's read transaction at once.
        sqlite3_reset(m_stmt);
        return rc;
    }

    QVariant columnValue(int c) const
    {
        switch (sqlite3_column_type(m_stmt, c)) {
        case SQLITE_INTEGER: {
            const qint64 v = sqlite3_column_int64(m_stmt, c);
            switch (numericalPrecisionPolicy()) {
            case QSql::LowPrecisionInt32:
                return static_cast<int>(v);
            case QSql::LowPrecisionDouble:
                return static_cast<double>(v);
            default:
                return v;
            }
        }
        case SQLITE_FLOAT:
            if (numericalPrecisionPolicy() == QSql::HighPrecision) {
                return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, c)));
            }
            return sqlite3_column_double(m_stmt, c);
        case SQLITE_NULL:
            return QVariant(QMetaType::QString, nullptr);
        case SQLITE_BLOB:
            return QByteArray(static_cast<const char*>(sqlite3_column_blob(m_stmt, c)),
                              sqlite3_column_bytes(m_stmt, c));
        default: {
            const auto* text = static_cast<const QChar*>(sqlite3_column_text16(m_stmt, c));
            return QString(text, sqlite3_column_bytes16(m_stmt, c) / static_cast<int>(sizeof(QChar)));
        }
        }
    }

    const QVector<QVariant>* currentRow() const
    {
        if (m_rows.isEmpty() || at() < 0 || at() >= m_rowsRead) {
            return nullptr;
        }
        if (isForwardOnly()) {
            return at() == m_rowsRead - 1 ? &m_rows.last() : nullptr;
        }
        return &m_rows.at(at());
    }

    sqlite3_stmt* m_stmt = nullptr;
    QVector<QVector<QVariant>> m_rows;
    int m_rowsRead = 0;
    bool m_done = true;
    QSqlRecord m_record;
};

SqlCipherDriver::SqlCipherDriver(QObject* parent)
    : QSqlDriver(parent)
{
}

SqlCipherDriver::~SqlCipherDriver()
{
    close();
}

bool SqlCipherDriver::hasFeature(DriverFeature feature) const
{
    switch (feature) {
    case Transactions:
    case BLOB:
    case Unicode:
    case PreparedQueries:
    case PositionalPlaceholders:
    case LastInsertId:
    case SimpleLocking:
    case FinishQuery:
    case LowPrecisionNumbers:
        return true;
    // Qt rewrites named placeholders to positional ones for drivers without
    // this feature, and maps the names onto the positions when binding.
    case NamedPlaceholders:
    default:
        return false;
    }
}

bool SqlCipherDriver::open(const QString& db, const QString&, const QString& password, const QString&, int,
                           const QString& connectOptions)
{
    if (isOpen()) {
        close();
    }
    bool create = false;
    bool readOnly = false;
    int busyTimeout = 5000;
    for (const QString& raw : connectOptions.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString option = raw.trimmed();
        if (option == QLatin1String("QSQLITE_OPEN_CREATE")) {
            create = true;
        } else if (option == QLatin1String("QSQLITE_OPEN_READONLY")) {
            readOnly = true;
        } else if (option.startsWith(QLatin1String("QSQLITE_BUSY_TIMEOUT"))) {
            bool ok = false;
            const int ms = option.section(QLatin1Char('='), 1).trimmed().toInt(&ok);
            if (ok) {
                busyTimeout = ms;
            }
        }
    }
    int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    if (create && !readOnly) {
        flags |= SQLITE_OPEN_CREATE;
    }

    const QByteArray path = db.toUtf8();
    const QByteArray passphrase = password.toUtf8();
    // A passphrase is derived into the file's key once per process; later
    // opens use the raw key.
    const QByteArray rawKey = passphrase.isEmpty() || SqlCipherKeyCache::isRawKeyText(passphrase)
        ? QByteArray()
        : SqlCipherKeyCache::rawKey(db, passphrase);
    sqlite3* handle = nullptr;
    int rc = openKeyed(path, flags, busyTimeout, rawKey.isEmpty() ? passphrase : rawKey, &handle);
    if (rc == SQLITE_OK && !rawKey.isEmpty()) {
        SqlCipherKeyCache::rawKeyAccepted();
    } else if (rc == SQLITE_NOTADB && !rawKey.isEmpty() && SqlCipherKeyCache::tryPassphraseAfterRefusal(rawKey)) {
        // Either the file is damaged or foreign, or the key was derived
        // otherwise than the library does: the passphrase tells.
        sqlite3_close_v2(handle);
        handle = nullptr;
        rc = openKeyed(path, flags, busyTimeout, passphrase, &handle);
        if (rc == SQLITE_OK) {
            SqlCipherKeyCache::passphraseOnlyWorks();
        }
    }
    if (rc != SQLITE_OK) {
        QString message = sqliteMessage(handle, rc);
        if (rc == SQLITE_NOTADB) {
            message += QStringLiteral(" (wrong key, or not an encrypted database)");
        }
        setLastError(QSqlError(QStringLiteral("Error opening database %1").arg(db), message, QSqlError::ConnectionError,
                               QString::number(rc)));
        setOpenError(true);
        sqlite3_close_v2(handle);
        return false;
    }
    m_db = handle;
    setOpen(true);
    setOpenError(false);
    return true;
}

void SqlCipherDriver::close()
{
    if (!isOpen()) {
        return;
    }
    for (SqlCipherResult* result : qAsConst(m_results)) {
        result->finalize();
    }
    // close_v2 defers the close should a statement still be unfinalised.
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    setOpen(false);
    setOpenError(false);
}

QSqlResult* SqlCipherDriver::createResult() const
{
    return new SqlCipherResult(this);
}

bool SqlCipherDriver::execSimple(const char* sql, const QString& what)
{
    if (!isOpen()) {
        return false;
    }
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        setLastError(sqliteError(m_db, rc, what, QSqlError::TransactionError));
        return false;
    }
    return true;
}

bool SqlCipherDriver::beginTransaction()
{
    return execSimple("BEGIN", QStringLiteral("Unable to begin transaction"));
}

bool SqlCipherDriver::commitTransaction()
{
    return execSimple("COMMIT", QStringLiteral("Unable to commit transaction"));
}

bool SqlCipherDriver::rollbackTransaction()
{
    return execSimple("ROLLBACK", QStringLiteral("Unable to roll back transaction"));
}

QStringList SqlCipherDriver::tables(QSql::TableType type) const
{
    QStringList names;
    if (!isOpen()) {
        return names;
    }
    QStringList kinds;
    if (type & QSql::Tables) {
        kinds << QStringLiteral("'table'");
    }
    if (type & QSql::Views) {
        kinds << QStringLiteral("'view'");
    }
    if (!kinds.isEmpty()) {
        QSqlQuery q(createResult());
        q.setForwardOnly(true);
        q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type IN (%1) AND name NOT LIKE 'sqlite\\_%' "
                              "ESCAPE '\\' ORDER BY name")
                   .arg(kinds.join(QLatin1Char(','))));
        while (q.next()) {
            names << q.value(0).toString();
        }
    }
    if (type & QSql::SystemTables) {
        names << QStringLiteral("sqlite_master");
        QSqlQuery q(createResult());
        q.setForwardOnly(true);
        q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'sqlite\\_%' "
                              "ESCAPE '\\' ORDER BY name"));
        while (q.next()) {
            names << q.value(0).toString();
        }
    }
    return names;
}

QSqlRecord SqlCipherDriver::record(const QString& tableName) const
{
    QSqlRecord fields;
    if (!isOpen()) {
        return fields;
    }
    const QString table = stripDelimiters(tableName, TableName);
    QSqlQuery q(createResult());
    q.setForwardOnly(true);
    // Columns: cid, name, type, notnull, dflt_value, pk.
    q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(escapeIdentifier(table, TableName)));
    while (q.next()) {
        const QString declared = q.value(2).toString();
        QSqlField field(q.value(1).toString(), columnType(declared), table);
        const bool primaryKey = q.value(5).toInt() > 0;
        // An INTEGER PRIMARY KEY is the rowid: the database assigns it.
        field.setAutoValue(primaryKey && declared.compare(QLatin1String("integer"), Qt::CaseInsensitive) == 0);
        field.setRequiredStatus(q.value(3).toInt() != 0 ? QSqlField::Required : QSqlField::Optional);
        if (!q.isNull(4)) {
            field.setDefaultValue(q.value(4));
        }
        fields.append(field);
    }
    return fields;
}

QSqlIndex SqlCipherDriver::primaryIndex(const QString& tableName) const
{
    const QString table = stripDelimiters(tableName, TableName);
    QSqlIndex index(table);
    if (!isOpen()) {
        return index;
    }
    const QSqlRecord fields = record(table);
    std::map<int, QSqlField> keyFields; // by position in the key
    QSqlQuery q(createResult());
    q.setForwardOnly(true);
    q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(escapeIdentifier(table, TableName)));
    while (q.next()) {
        const int position = q.value(5).toInt();
        if (position > 0) {
            keyFields.emplace(position, fields.field(q.value(1).toString()));
        }
    }
    for (const auto& entry : keyFields) {
        index.append(entry.second);
    }
    return index;
}

QString SqlCipherDriver::escapeIdentifier(const QString& identifier, IdentifierType type) const
{
    if (identifier.isEmpty() || isIdentifierEscaped(identifier, type)) {
        return identifier;
    }
    QString escaped = identifier;
    escaped.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

namespace
{
QBasicMutex registrationMutex;
bool registered = false;

// Qt deletes the registered drivers with the application object.
void forgetRegistration()
{
    QMutexLocker lock(&registrationMutex);
    registered = false;
}
} // namespace

void registerSqlCipherDriver()
{
    QMutexLocker lock(&registrationMutex);
    if (registered) {
        return;
    }
    QSqlDatabase::registerSqlDriver(QLatin1String(kSqlCipherDriverName), new QSqlDriverCreator<SqlCipherDriver>);
    qAddPostRoutine(forgetRegistration);
    registered = true;
}

// Every program that links the driver has it registered as soon as its
// application object exists.
Q_COREAPP_STARTUP_FUNCTION(registerSqlCipherDriver)
