#include "store/StoreOperations.h"
#include "store/TblSettings.h"

#include <QtSql>
#include <QtTest>

namespace
{

const QString kEmpty = QStringLiteral("{\"resultCode\":0,\"result\":[]}");

// A connection of the SQLCipher driver that makes its file, removed again when it goes.
struct Connection {
    explicit Connection(const QString& path, const QString& key = kSettingsDatabaseKey)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("SQLITECIPHER"), name);
        db.setDatabaseName(path);
        db.setPassword(key);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_CREATE"));
        db.open();
    }
    ~Connection() { QSqlDatabase::removeDatabase(name); }
    QSqlDatabase db() const { return QSqlDatabase::database(name, false); }
    static inline int serial = 0;
    const QString name = QString::number(++serial);
};

// Everything logged since the start, one line each.
QString s_log;

QString query(const QString& path)
{
    QString document;
    return queryLocalsettings(path, document) == 0 ? document : QString();
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int runTool(const QStringList& args)
{
    QProcess tool;
    tool.start(QStringLiteral(CREATE_SETTINGS_DB), args);
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    int m_files = 0;

    QString newPath() { return QStringLiteral("%1/settings-%2.db").arg(m_root.path()).arg(++m_files); }
    QString freshDatabase()
    {
        const QString path = newPath();
        return QFile::copy(m_root.filePath("template.db"), path) ? path : QString();
    }

private slots:
    void initTestCase()
    {
        // The lock file lies in the temporary directory: keep this run's apart from the machine's.
        qputenv("TMPDIR", QFile::encodeName(m_root.path()));
        QCOMPARE(runTool({ m_root.filePath("template.db") }), 0);
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& line) { s_log += line + '\n'; });
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("quotes, SQL") << "it's \"key\"'); DROP TABLE tbl_settings; -- 1 OR key = key";
        QTest::newRow("chinese") << "打印机违规外联,请断网!";
        QTest::newRow("empty") << "";
        QTest::newRow("controls") << "a\tb\nc\\d\x01";
        QTest::newRow("1 MB") << QStringLiteral("值'\"x;--").repeated(1 << 17);
    }

    // A new key is inserted; a known one changes only its value.
    void roundTrip()
    {
        QFETCH(QString, text);
        const QString db = freshDatabase();
        QCOMPARE(query(db), kEmpty);
        QCOMPARE(addSetting(db, SettingsItem{ text, "1.4", "g:" + text }), 0);
        QCOMPARE(addSetting(db, SettingsItem{ "barSize", "1.4", "barcode" }), 0);
        QCOMPARE(addSetting(db, SettingsItem{ text, text + "=v", "feature" }), 0);
        const QJsonObject row{ { "key", text }, { "value", text + "=v" }, { "group", "g:" + text } };
        const QJsonObject other{ { "key", "barSize" }, { "value", "1.4" }, { "group", "barcode" } };
        const QJsonObject expected{ { "resultCode", 0 }, { "result", QJsonArray{ row, other } } };
        QVERIFY(QJsonDocument::fromJson(query(db).toUtf8()) == QJsonDocument(expected));
    }

    void fileIsEncrypted()
    {
        const QString db = freshDatabase();
        QCOMPARE(addSetting(db, SettingsItem{ "barPosition", "lowerMiddle", "barcode" }), 0);
        const QByteArray bytes = fileBytes(db);
        QVERIFY(!bytes.startsWith("SQLite format 3") && !bytes.contains("lowerMiddle") && !bytes.contains("tbl_"));

        // The sqlcipher tool, standing in for the sibling programs, reads the file
        // with the passphrase; a file it wrote anew, with a salt of its own, reads back.
        const auto sqlcipher = [&](const QString& sql) {
            QProcess shell;
            shell.start(QStringLiteral("sqlcipher"), { "-batch", "-cmd", "PRAGMA key = 'tuvask'", db, sql });
            shell.waitForFinished(30000);
            return shell.readAllStandardOutput();
        };
        const QByteArray rows = sqlcipher(R"(SELECT key || '|' || value || '|' || "group" FROM tbl_settings)");
        QVERIFY2(rows.contains("barPosition|lowerMiddle|barcode"), rows.constData());
        QVERIFY(QFile::remove(db));
        sqlcipher(R"(CREATE TABLE tbl_settings (id INTEGER PRIMARY KEY, key TEXT, value TEXT, "group" TEXT);
                     INSERT INTO tbl_settings (key, value, "group") VALUES ('barSize', '2.0', 'barcode');)");
        QVERIFY(query(db).endsWith(R"([{"key":"barSize","value":"2.0","group":"barcode"}]})"));
    }

    void badDatabase_data()
    {
        QTest::addColumn<QString>("message");
        const QString notADatabase = QStringLiteral("file is encrypted or is not a database");
        QTest::newRow("missing file") << "unable to open database file";
        QTest::newRow("directory") << "unable to open database file";
        QTest::newRow("missing table") << "no such table: tbl_settings";
        QTest::newRow("wrong key") << notADatabase;
        QTest::newRow("not a database") << notADatabase;
        QTest::newRow("truncated") << "";
        QTest::newRow("zeroed") << notADatabase;
        QTest::newRow("plain SQLite") << notADatabase;
    }

    // Each database made here holds a row, so that reading it at all shows.
    void badDatabase()
    {
        QFETCH(QString, message);
        const QString kind = QTest::currentDataTag();
        const QString db = newPath();
        QFile file(db);
        if (kind == "directory") {
            QVERIFY(QDir().mkpath(db));
        } else if (kind == "not a database" || kind == "zeroed") {
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(kind == "zeroed" ? QByteArray(8192, '\0') : QByteArray("barSize=2.0\n").repeated(1000));
            file.close();
        } else if (kind != "missing file") {
            const QString key = kind == "wrong key" ? "not-the-key"
                : kind == "plain SQLite"            ? ""
                                                    : kSettingsDatabaseKey;
            const QString table = kind == "missing table" ? "other" : "tbl_settings";
            Connection c(db, key);
            QSqlQuery q(c.db());
            QVERIFY(q.exec("CREATE TABLE " + table + " (id INTEGER PRIMARY KEY, key, value, \"group\")"));
            QVERIFY(q.exec("INSERT INTO " + table + " (key, value, \"group\") VALUES ('barSize', '2.0', 'barcode')"));
        }
        QVERIFY(kind != "truncated" || file.resize(1500));
        const QByteArray bytes = fileBytes(db);
        const bool existed = file.exists();

        const int logStart = s_log.size();
        QCOMPARE(query(db), QStringLiteral("{\"resultCode\":1,\"result\":[]}"));
        QCOMPARE(addSetting(db, SettingsItem{ "barSize", "2.0", "barcode" }), -1);
        const QString log = s_log.mid(logStart);
        QVERIFY2(log.contains("] query settings failed \"") && log.contains(message), qPrintable(log));
        QVERIFY2(log.contains("] add setting failed \"barSize\""), qPrintable(log));
        // Nothing made, replaced or written.
        QCOMPARE(file.exists(), existed);
        QCOMPARE(fileBytes(db), bytes);
    }

    void lock_data()
    {
        QTest::addColumn<QString>("holder");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::newRow("save, released after 1.5 s") << "1500" << true << "lock settings table success" << 1000 << 5000;
        QTest::newRow("save, holder hangs") << "0" << false << "] 文件存在" << 4900 << 8000;
        QTest::newRow("save, database held 1 s past the lock file")
            << "db1000" << true << "lock settings table success" << 900 << 4900;
        QTest::newRow("save, holder killed") << "killed" << true << "lock settings table success" << 0 << 20000;
        QTest::newRow("read, directory at the lock path") << "directory" << false << "] 文件存在" << 4900 << 8000;
        // No lock file can be made in a file, not even by root: go on without.
        QTest::newRow("save, temporary folder a file") << "file" << true << "] 文件不存在" << 0 << 4900;
    }

    // The store waits for another holder of its lock file, but only so long:
    // then the operation fails instead of freezing the agent.
    void lock()
    {
        QFETCH(QString, holder);
        QFETCH(bool, succeeds);
        QFETCH(QString, logged);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        const QString db = freshDatabase();
        const QByteArray tmp = qgetenv("TMPDIR");
        const QString lockFile = QDir::tempPath() + QStringLiteral("/dblockfile");
        QProcess process;
        if (holder == "directory") {
            QVERIFY(QDir().mkpath(lockFile));
        } else if (holder == "file") {
            qputenv("TMPDIR", QFile::encodeName(db));
        } else if (holder.startsWith("db")) {
            process.start(QStringLiteral(STORE_HELPER), { "hold-db", db, holder.mid(2) });
            QVERIFY(process.waitForReadyRead(10000) && process.readAllStandardOutput().startsWith("locked"));
        } else {
            process.start(QStringLiteral(STORE_HELPER), { "hold-lock", holder == "killed" ? "0" : holder });
            QVERIFY(process.waitForReadyRead(10000) && process.readAllStandardOutput().startsWith("locked"));
        }
        if (holder == "killed") {
            process.kill();
            QVERIFY(process.waitForFinished(10000) && QFileInfo::exists(lockFile));
        }
        QElapsedTimer waited;
        waited.start();
        const int logStart = s_log.size();
        const bool done = QByteArray(QTest::currentDataTag()).startsWith("read")
            ? query(db).startsWith("{\"resultCode\":0,")
            : addSetting(db, { "barHor", "3", "barcode" }) == 0;
        const qint64 elapsed = waited.elapsed();
        qputenv("TMPDIR", tmp);
        process.kill();
        process.waitForFinished(10000);
        const bool lockLeft = QFileInfo::exists(lockFile);
        QFile::remove(lockFile);
        QDir().rmdir(lockFile);

        QCOMPARE(done, succeeds);
        QVERIFY2(elapsed >= minMs && elapsed < maxMs, qPrintable(QString::number(elapsed)));
        QVERIFY2(s_log.mid(logStart).contains(logged), qPrintable(s_log.mid(logStart)));
        QCOMPARE(query(db).contains("barHor"), succeeds);
        QCOMPARE(lockLeft, !succeeds);
    }

    void concurrentWritersLoseNothing()
    {
        const QString db = freshDatabase();
        QProcess writers[4];
        for (QProcess& writer : writers) {
            writer.start(STORE_HELPER, { "add-many", db, QString::number(&writer - writers), "5" });
        }
        for (QProcess& writer : writers) {
            QVERIFY(writer.waitForFinished(120000) && writer.exitCode() == 0);
        }
        QCOMPARE(query(db).count("{\"key\":"), 20);
    }

    void creationToolRefusesToOverwrite()
    {
        const QString db = freshDatabase();
        QCOMPARE(addSetting(db, SettingsItem{ "barSize", "1.4", "barcode" }), 0);
        const QByteArray before = fileBytes(db);
        QVERIFY(runTool({ db }) > 0 && fileBytes(db) == before);
        QCOMPARE(runTool({ QStringLiteral("--force"), db }), 0);
        QVERIFY(query(db) == kEmpty && !QFileInfo::exists(db + QStringLiteral(".part")));
    }

    // What the driver refuses fails whole, with its reason; a read-only
    // connection writes nothing.
    void driverRefuses_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("error");
        const QString create = QStringLiteral("QSQLITE_OPEN_CREATE;QSQLITE_BUSY_TIMEOUT=100");
        QTest::newRow("two statements") << create << "INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)"
                                        << "multiple statements";
        QTest::newRow("blank") << create << " ; "
                               << "Empty statement";
        QTest::newRow("syntax") << create << "INSERT INTO"
                                << "Unable to prepare statement";
        QTest::newRow("read-only") << "QSQLITE_OPEN_READONLY"
                                   << "INSERT INTO t VALUES (1)"
                                   << "readonly";
    }
    void driverRefuses()
    {
        QFETCH(QString, options);
        QFETCH(QString, sql);
        QFETCH(QString, error);
        const QString path = newPath();
        {
            Connection make(path);
            QVERIFY(QSqlQuery(make.db()).exec(QStringLiteral("CREATE TABLE t (v INTEGER)")));
        }
        Connection c(path);
        c.db().close();
        c.db().setConnectOptions(options);
        QVERIFY(c.db().open());
        QSqlQuery q(c.db());
        QVERIFY(!q.exec(sql));
        QVERIFY2(q.lastError().text().contains(error), qPrintable(q.lastError().text()));
        QVERIFY(q.exec(QStringLiteral("SELECT count(*) FROM t")) && q.last() && q.value(0) == QVariant(0LL));
    }

    void driver_data()
    {
        QTest::addColumn<QString>("declared");
        QTest::addColumn<QVariant>("bound");
        QTest::addColumn<QVariant>("read");
        QTest::addColumn<int>("fieldType");
        QTest::newRow("integer") << "INTEGER" << QVariant(-7) << QVariant(-7LL) << int(QVariant::LongLong);
        QTest::newRow("bool") << "BOOLEAN" << QVariant(true) << QVariant(1LL) << int(QVariant::Bool);
        QTest::newRow("huge") << "TEXT" << QVariant(~0ULL) << QVariant("18446744073709551615") << int(QVariant::String);
        QTest::newRow("real") << "DOUBLE" << QVariant(2.5) << QVariant("2.5") << int(QVariant::Double);
        const QVariant bytes(QByteArray("a\0b", 3));
        QTest::newRow("blob") << "BLOB" << bytes << bytes << int(QVariant::ByteArray);
        QTest::newRow("null") << "TEXT" << QVariant() << QVariant(QVariant::String) << int(QVariant::String);
    }

    // The driver beneath the store, by itself: a value bound by type reads
    // back as such, a rolled-back insert leaves nothing, the table is described.
    void driver()
    {
        QFETCH(QString, declared);
        QFETCH(QVariant, bound);
        QFETCH(QVariant, read);
        QFETCH(int, fieldType);
        Connection c(newPath());
        QSqlDatabase db = c.db();
        QSqlQuery q(db);
        q.setNumericalPrecisionPolicy(QSql::HighPrecision); // numbers as stored, not as double
        QVERIFY(q.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v " + declared + ")"));
        for (const bool commit : { false, true }) {
            QVERIFY(db.transaction() && q.prepare(QStringLiteral("INSERT INTO t (v) VALUES (:v)")));
            q.bindValue(QStringLiteral(":v"), bound);
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
            QVERIFY(commit ? db.commit() : db.rollback());
        }
        QVERIFY(q.exec(QStringLiteral("SELECT id, v FROM t")) && q.next() && q.value(0) == QVariant(1LL));
        const QVariant value = q.value(1);
        QVERIFY2(value.userType() == read.userType() && value == read && value.isNull() == read.isNull(),
                 qPrintable(value.toString()));
        QVERIFY(!q.next());

        QCOMPARE(db.tables(), QStringList{ "t" });
        QCOMPARE(int(db.record("t").field("v").type()), fieldType);
        QVERIFY(db.record("t").field("id").isAutoValue() && !db.record("t").field("v").isAutoValue());
        QCOMPARE(db.primaryIndex("t").fieldName(0), QStringLiteral("id"));
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "TestStore.moc"
