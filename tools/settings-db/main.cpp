// create-settings-db: creates an encrypted settings database with its table,
// for the build's data folder and for installation. The agent itself never
// creates the file.

#include "sqlcipher/SqlCipherDriver.h"
#include "store/TblSettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

#include <cstdio>

namespace
{

QString readSchema()
{
    QFile file(QStringLiteral(":/settings-schema.sql"));
    if (!file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    return QString::fromUtf8(file.readAll());
}

// The statements of the schema text: comment lines dropped, split at ';'.
QStringList schemaStatements(const QString& schema)
{
    QStringList lines;
    for (const QString& line : schema.split(QLatin1Char('\n'))) {
        if (!line.trimmed().startsWith(QLatin1String("--"))) {
            lines << line;
        }
    }
    QStringList statements;
    for (const QString& part : lines.join(QLatin1Char('\n')).split(QLatin1Char(';'))) {
        if (!part.trimmed().isEmpty()) {
            statements << part.trimmed();
        }
    }
    return statements;
}

// Creates the database at path, which must not exist yet.
QString createDatabase(const QString& path, const QStringList& statements)
{
    const QString connection = QStringLiteral("create-settings-db");
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QLatin1String(kSqlCipherDriverName), connection);
        db.setDatabaseName(path);
        db.setPassword(QLatin1String(kSettingsDatabaseKey));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_CREATE"));
        if (!db.open()) {
            error = db.lastError().text();
        } else {
            db.transaction();
            QSqlQuery query(db);
            for (const QString& statement : statements) {
                if (!query.exec(statement)) {
                    error = query.lastError().text();
                    break;
                }
            }
            query.finish();
            if (error.isEmpty() && !db.commit()) {
                error = db.lastError().text();
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return error;
}

int fail(const QString& message)
{
    QTextStream(stderr) << "create-settings-db: " << message << Qt::endl;
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Creates an encrypted settings database with tbl_settings."));
    parser.addHelpOption();
    const QCommandLineOption force(QStringList{ QStringLiteral("f"), QStringLiteral("force") },
                                   QStringLiteral("Replace the file if it exists."));
    parser.addOption(force);
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The database file to create."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1) {
        parser.showHelp(2);
    }

    const QString path = QFileInfo(parser.positionalArguments().constFirst()).absoluteFilePath();
    const QFileInfo target(path);
    if (target.isDir()) {
        return fail(QStringLiteral("%1 is a directory").arg(path));
    }
    if (target.exists() && !parser.isSet(force)) {
        return fail(QStringLiteral("%1 exists; use --force to replace it").arg(path));
    }
    const QStringList statements = schemaStatements(readSchema());
    if (statements.isEmpty()) {
        return fail(QStringLiteral("the schema is missing"));
    }
    if (!QDir().mkpath(target.absolutePath())) {
        return fail(QStringLiteral("cannot create the directory %1").arg(target.absolutePath()));
    }

    // Built beside the target and renamed over it, so that a failure never
    // leaves a half-made file under the real name.
    const QString partial = path + QStringLiteral(".part");
    QFile::remove(partial);
    registerSqlCipherDriver();
    const QString error = createDatabase(partial, statements);
    if (!error.isEmpty()) {
        QFile::remove(partial);
        return fail(QStringLiteral("cannot create %1: %2").arg(path, error));
    }
    if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData()) != 0) {
        QFile::remove(partial);
        return fail(QStringLiteral("cannot move the new database to %1").arg(path));
    }
    QTextStream(stdout) << "created " << path << Qt::endl;
    return 0;
}
