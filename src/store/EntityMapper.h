#ifndef PSM_ENTITYMAPPER_H
#define PSM_ENTITYMAPPER_H

// A small object-relational mapper over Qt SQL: an entity class describes its
// table once (registerClass), and the free functions fetch, insert and update
// entities with prepared statements. Only what the store needs: an integer id
// assigned by the database and text data columns.

#include <QList>
#include <QMutex>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <QVector>

namespace orm
{

// Process-wide connection settings, shared by every thread. Each thread gets
// its own connection, opened with the settings in force when it is first
// used after closeAllDatabases().
class SqlDatabase
{
public:
    static SqlDatabase& instance();

    void setDriverName(const QString& name);
    void setDatabaseName(const QString& name);
    void setHostName(const QString& name);
    void setUserName(const QString& name);
    void setPassword(const QString& password);

    // The calling thread's connection, open; on failure error says why.
    QSqlDatabase database(QSqlError& error);
    // Closes and forgets every connection that the mapper opened.
    static void closeAllDatabases();

private:
    SqlDatabase() = default;
    QMutex m_mutex;
    QString m_driverName;
    QString m_databaseName;
    QString m_hostName;
    QString m_userName;
    QString m_password;
};

// How an entity maps onto its table. Columns are kept in registration order,
// which is the order of the columns in every statement.
template <class T> class EntityClass
{
public:
    struct Column {
        QString name;
        QString T::*member;
    };

    void setName(const QString& table) { m_table = table; }
    // The identifier: an integer column that the database assigns on insert.
    void id(qint64 T::*member, const QString& column)
    {
        m_id = member;
        m_idColumn = column;
    }
    // A text column. The name goes into the SQL as it stands, so a keyword is
    // registered with its quotes.
    void data(QString T::*member, const QString& column) { m_columns.append({ column, member }); }

    const QString& table() const { return m_table; }
    qint64 T::*idMember() const { return m_id; }
    const QString& idColumn() const { return m_idColumn; }
    const QVector<Column>& columns() const { return m_columns; }

private:
    QString m_table;
    qint64 T::*m_id = nullptr;
    QString m_idColumn;
    QVector<Column> m_columns;
};

// Each entity specialises this to describe itself.
template <class T> void registerClass(EntityClass<T>& entity);

// The entity's description, registered at its first use.
template <class T> const EntityClass<T>& entityClass()
{
    static const EntityClass<T> entity = [] {
        EntityClass<T> e;
        registerClass(e);
        return e;
    }();
    return entity;
}

// The condition of a fetch: none (every row), or one column equal to a value.
class SqlQuery
{
public:
    SqlQuery() = default;
    static SqlQuery whereEquals(const QString& column, const QVariant& value)
    {
        SqlQuery query;
        query.m_where = QStringLiteral(" WHERE %1 = ?").arg(column);
        query.m_values.append(value);
        return query;
    }
    const QString& whereClause() const { return m_where; }
    const QVariantList& values() const { return m_values; }

private:
    QString m_where;
    QVariantList m_values;
};

namespace detail
{
// Text is always bound as text, an empty string included, never as NULL.
inline QVariant textValue(const QString& text)
{
    return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text);
}

template <class T> QStringList dataColumnNames(const EntityClass<T>& entity)
{
    QStringList names;
    for (const auto& column : entity.columns()) {
        names << column.name;
    }
    return names;
}
} // namespace detail

// Fetches the rows that match query into list, in the order the database
// returns them.
template <class T> QSqlError fetchByQuery(const SqlQuery& query, QList<T>& list)
{
    list.clear();
    const EntityClass<T>& entity = entityClass<T>();
    QSqlError error;
    QSqlDatabase db = SqlDatabase::instance().database(error);
    if (error.isValid()) {
        return error;
    }
    QStringList selected{ entity.table() + QLatin1Char('.') + entity.idColumn() };
    for (const QString& name : detail::dataColumnNames(entity)) {
        selected << entity.table() + QLatin1Char('.') + name;
    }
    QSqlQuery sql(db);
    sql.setForwardOnly(true);
    if (!sql.prepare(QStringLiteral("SELECT %1 FROM %2%3")
                         .arg(selected.join(QLatin1String(", ")), entity.table(), query.whereClause()))) {
        return sql.lastError();
    }
    for (const QVariant& value : query.values()) {
        sql.addBindValue(value);
    }
    if (!sql.exec()) {
        return sql.lastError();
    }
    while (sql.next()) {
        T row;
        row.*entity.idMember() = sql.value(0).toLongLong();
        for (int i = 0; i < entity.columns().size(); ++i) {
            row.*entity.columns().at(i).member = sql.value(i + 1).toString();
        }
        list.append(row);
    }
    // A row that failed to read ends the loop above with the error set.
    return sql.lastError();
}

// Inserts row without its id and reads the id the database assigned.
template <class T> QSqlError insert(T& row)
{
    const EntityClass<T>& entity = entityClass<T>();
    QSqlError error;
    QSqlDatabase db = SqlDatabase::instance().database(error);
    if (error.isValid()) {
        return error;
    }
    const QStringList names = detail::dataColumnNames(entity);
    QStringList marks;
    for (int i = 0; i < names.size(); ++i) {
        marks << QStringLiteral("?");
    }
    QSqlQuery sql(db);
    if (!sql.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                         .arg(entity.table(), names.join(QLatin1String(", ")), marks.join(QLatin1String(", "))))) {
        return sql.lastError();
    }
    for (const auto& column : entity.columns()) {
        sql.addBindValue(detail::textValue(row.*column.member));
    }
    if (!sql.exec()) {
        return sql.lastError();
    }
    row.*entity.idMember() = sql.lastInsertId().toLongLong();
    return QSqlError();
}

// Writes every data column of the row with row's id. A row that is no longer
// there is an error: nothing was stored.
template <class T> QSqlError updateById(const T& row)
{
    const EntityClass<T>& entity = entityClass<T>();
    QSqlError error;
    QSqlDatabase db = SqlDatabase::instance().database(error);
    if (error.isValid()) {
        return error;
    }
    QStringList assignments;
    for (const QString& name : detail::dataColumnNames(entity)) {
        assignments << name + QStringLiteral(" = ?");
    }
    QSqlQuery sql(db);
    if (!sql.prepare(QStringLiteral("UPDATE %1 SET %2 WHERE %3 = ?")
                         .arg(entity.table(), assignments.join(QLatin1String(", ")), entity.idColumn()))) {
        return sql.lastError();
    }
    for (const auto& column : entity.columns()) {
        sql.addBindValue(detail::textValue(row.*column.member));
    }
    sql.addBindValue(row.*entity.idMember());
    if (!sql.exec()) {
        return sql.lastError();
    }
    if (sql.numRowsAffected() == 0) {
        return QSqlError(QStringLiteral("No row with %1 %2 in %3")
                             .arg(entity.idColumn())
                             .arg(row.*entity.idMember())
                             .arg(entity.table()),
                         QString(), QSqlError::StatementError);
    }
    return QSqlError();
}

} // namespace orm

#endif // PSM_ENTITYMAPPER_H
