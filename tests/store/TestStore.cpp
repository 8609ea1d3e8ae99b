#include "sqlcipher/SqlCipherDriver.h"
#include "store/StoreOperations.h"
#include "store/TblSettings.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlField>
#include <QSqlIndex>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <unistd.h>

namespace
{

const QString kDriver = QStringLiteral("SQLITECIPHER");
const QString kKey = QLatin1String(kSettingsDatabaseKey);

// A connection of the driver under test, removed again when it goes.
struct Connection {
    explicit Connection(const QString& path, const QString& key = kKey, const QString& options = QString())
        : name(QStringLiteral("test-%1").arg(++serial))
    {
        db = QSqlDatabase::addDatabase(kDriver, name);
        db.setDatabaseName(path);
        db.setPassword(key);
        db.setConnectOptions(options);
        opened = db.open();
    }
    ~Connection()
    {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    static inline int serial = 0;
    QString name;
    QSqlDatabase db;
    bool opened = false;
};

// The log lines written while it lives.
class LogCapture
{
public:
    LogCapture()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler(&LogCapture::collect);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    const QStringList& lines() const { return s_lines; }
    bool hasLineEndingWith(const QString& tail) const
    {
        return std::any_of(s_lines.begin(), s_lines.end(), [&](const QString& line) { return line.endsWith(tail); });
    }

private:
    static void collect(QtMsgType, const QMessageLogContext&, const QString& message) { s_lines << message; }
    static inline QStringList s_lines;
    QtMessageHandler m_previous;
};

QList<TblSettings> readRows(const QString& path)
{
    QList<TblSettings> rows;
    Connection c(path);
    QSqlQuery q(c.db);
    q.exec(QStringLiteral("SELECT id, key, value, \"group\" FROM tbl_settings ORDER BY id"));
    while (q.next()) {
        TblSettings row;
        row.id = q.value(0).toLongLong();
        row.key = q.value(1).toString();
        row.value = q.value(2).toString();
        row.group = q.value(3).toString();
        rows << row;
    }
    return rows;
}

struct QueryResult {
    int resultCode = -1;
    QJsonArray rows;
};

QueryResult query(const QString& path)
{
    QString document;
    QueryResult result;
    if (queryLocalsettings(path, document) != 0) {
        return result;
    }
    const QJsonObject object = QJsonDocument::fromJson(document.toUtf8()).object();
    result.resultCode = object.value(QLatin1String("resultCode")).toInt(-1);
    result.rows = object.value(QLatin1String("result")).toArray();
    return result;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QString lockPath()
{
    return QDir::tempPath() + QStringLiteral("/dblockfile");
}

// Starts store-helper hold-lock and waits until it holds the lock.
bool startLockHolder(QProcess& holder, int ms)
{
    holder.start(QStringLiteral(STORE_HELPER), { QStringLiteral("hold-lock"), QString::number(ms) });
    return holder.waitForStarted(10000) && holder.waitForReadyRead(10000)
        && holder.readAllStandardOutput().startsWith("locked");
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void roundTrip_data();
    void roundTrip();
    void existingKeyChangesOnlyValue();
    void logsEachStep();
    void fileIsEncrypted();
    void badDatabase_data();
    void badDatabase();
    void unwritableLockDirectory();
    void concurrentWritersLoseNothing();
    void lockHeldElsewhere_data();
    void lockHeldElsewhere();
    void killedHolderLockTakenOver();
    void creationToolRefusesToOverwrite();

private:
    QString freshDatabase();
    QString badDatabase(const QString& kind);
    int runTool(const QStringList& args);

    QTemporaryDir m_root;
    QString m_template;
    int m_files = 0;
};

void TestStore::initTestCase()
{
    QVERIFY(m_root.isValid());
    // The store's lock file lies in the temporary directory: keep this run's
    // lock, and that of the helper processes, apart from the machine's.
    const QString tmp = m_root.path() + QStringLiteral("/tmp");
    QVERIFY(QDir().mkpath(tmp));
    qputenv("TMPDIR", QFile::encodeName(tmp));
    QCOMPARE(QDir::tempPath(), tmp);

    // Registered with the application object, before any store call.
    QVERIFY(QSqlDatabase::drivers().contains(kDriver));
    registerSqlCipherDriver();
    m_template = m_root.path() + QStringLiteral("/template.db");
    QCOMPARE(runTool({ m_template }), 0);
}

int TestStore::runTool(const QStringList& args)
{
    QProcess tool;
    tool.start(QStringLiteral(CREATE_SETTINGS_DB), args);
    if (!tool.waitForFinished(30000) || tool.exitStatus() != QProcess::NormalExit) {
        return -1;
    }
    return tool.exitCode();
}

QString TestStore::freshDatabase()
{
    const QString path = QStringLiteral("%1/settings-%2.db").arg(m_root.path()).arg(++m_files);
    return QFile::copy(m_template, path) ? path : QString();
}

// A file in place of the settings database that the store cannot use.
QString TestStore::badDatabase(const QString& kind)
{
    const QString path = QStringLiteral("%1/bad-%2.db").arg(m_root.path()).arg(++m_files);
    if (kind == QLatin1String("directory")) {
        QDir().mkpath(path);
    } else if (kind == QLatin1String("wrong key") || kind == QLatin1String("missing table")
               || kind == QLatin1String("plain SQLite")) {
        const bool settingsTable = kind != QLatin1String("missing table");
        const QString key = kind == QLatin1String("wrong key") ? QStringLiteral("not-the-key") : QString();
        Connection c(path, settingsTable ? key : kKey, QStringLiteral("QSQLITE_OPEN_CREATE"));
        QSqlQuery(c.db).exec(settingsTable ? QStringLiteral("CREATE TABLE tbl_settings (id INTEGER PRIMARY KEY, "
                                                            "key TEXT, value TEXT, \"group\" TEXT)")
                                           : QStringLiteral("CREATE TABLE other (x TEXT)"));
    } else if (kind != QLatin1String("missing file")) {
        // A populated database, cut short or with a damaged first page.
        QFile::copy(freshDatabase(), path);
        addSetting(path, SettingsItem{ QStringLiteral("barSize"), QStringLiteral("1.4"), QStringLiteral("barcode") });
        QByteArray bytes = fileBytes(path);
        if (kind == QLatin1String("truncated")) {
            bytes.truncate(1500);
        } else {
            for (int i = 100; i < 200; ++i) {
                bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
            }
        }
        writeFile(path, bytes);
    }
    return path;
}

void TestStore::roundTrip_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("group");
    QTest::newRow("setting") << "barContent"
                             << "PrinterName-PrinterIP-PCName-Date-Time-Copies-Pages"
                             << "barcode";
    QTest::newRow("quotes") << "it's \"key\""
                            << "'); DROP TABLE tbl_settings; --"
                            << "\"group\"";
    QTest::newRow("keywords") << "SELECT"
                              << "1 OR key = key"
                              << "GROUP BY";
    QTest::newRow("chinese") << "违规外联"
                             << "打印机违规外联,请断网!"
                             << "特性";
    QTest::newRow("empty value") << "blank"
                                 << ""
                                 << "";
    QTest::newRow("controls") << "tabs"
                              << "a\tb\nc\\d\x01"
                              << "barcode";
    QTest::newRow("1 MB") << "big" << QStringLiteral("值'\"x;--").repeated(1 << 17) << "barcode";
}

void TestStore::roundTrip()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, group);
    const QString db = freshDatabase();
    QString empty;
    QCOMPARE(queryLocalsettings(db, empty), 0);
    QCOMPARE(empty, QStringLiteral("{\"resultCode\":0,\"result\":[]}"));
    QCOMPARE(addSetting(db, SettingsItem{ key, value, group }), 0);

    const QueryResult result = query(db);
    QCOMPARE(result.resultCode, 0);
    QCOMPARE(result.rows.size(), 1);
    const QJsonObject row = result.rows.at(0).toObject();
    QCOMPARE(row.value(QLatin1String("key")).toString(), key);
    QVERIFY(row.value(QLatin1String("value")).toString() == value);
    QCOMPARE(row.value(QLatin1String("group")).toString(), group);
}

void TestStore::existingKeyChangesOnlyValue()
{
    const QString db = freshDatabase();
    QCOMPARE(addSetting(db, SettingsItem{ "barSize", "1.4", "barcode" }), 0);
    QCOMPARE(addSetting(db, SettingsItem{ "barPosition", "upperLeft", "barcode" }), 0);
    const QList<TblSettings> before = readRows(db);

    QCOMPARE(addSetting(db, SettingsItem{ "barSize", "1.6", "barcode" }), 0);
    QCOMPARE(addSetting(db, SettingsItem{ "barSize", "2.0", "feature" }), 0);

    const QList<TblSettings> after = readRows(db);
    QCOMPARE(after.size(), 2);
    QCOMPARE(after.at(0).id, before.at(0).id);
    QCOMPARE(after.at(0).value, QStringLiteral("2.0"));
    QCOMPARE(after.at(0).group, QStringLiteral("barcode"));
    QCOMPARE(after.at(1).value, QStringLiteral("upperLeft"));
}

void TestStore::logsEachStep()
{
    const QString db = freshDatabase();
    const QString lockItem = QStringLiteral(" \"%1\"").arg(lockPath());
    LogCapture log;
    QCOMPARE(addSetting(db, SettingsItem{ "retroDoc", "true", "feature" }), 0);
    query(db);
    const QStringList tails{ "addSetting ] addSetting" + lockItem,
                             "addSetting ] lock settings table success",
                             "] add log",
                             "] add log 1",
                             "queryLocalsettings ] queryLocalsettings" + lockItem,
                             "queryLocalsettings ] lock success" };
    QCOMPARE(log.lines().size(), tails.size());
    for (int i = 0; i < tails.size(); ++i) {
        QVERIFY2(log.lines().at(i).endsWith(tails.at(i)), qPrintable(log.lines().at(i)));
    }
}

void TestStore::fileIsEncrypted()
{
    const QString db = freshDatabase();
    QCOMPARE(addSetting(db, SettingsItem{ "barPosition", "lowerMiddle", "barcode" }), 0);
    const QByteArray bytes = fileBytes(db);
    QVERIFY(!bytes.startsWith("SQLite format 3"));
    QVERIFY(!bytes.contains("lowerMiddle"));
    QVERIFY(!bytes.contains("tbl_settings"));
    Connection other(db, QStringLiteral("not-the-key"));
    QVERIFY(!other.opened || !QSqlQuery(other.db).exec(QStringLiteral("SELECT * FROM tbl_settings")));

    // The sibling programs open the file with the passphrase (the sqlcipher
    // tool stands in for them), and a file one of them wrote anew, with a
    // salt of its own, reads back through the store.
    const QString sqlcipher = QStandardPaths::findExecutable(QStringLiteral("sqlcipher"));
    if (sqlcipher.isEmpty()) {
        QSKIP("the sqlcipher command-line tool is not installed");
    }
    const auto runSqlcipher = [&](const QByteArray& script) {
        QProcess shell;
        shell.setProcessChannelMode(QProcess::MergedChannels);
        shell.start(sqlcipher, { QStringLiteral("-batch"), db });
        shell.write("PRAGMA key = 'tuvask';\n" + script);
        shell.closeWriteChannel();
        shell.waitForFinished(30000);
        return shell.readAll();
    };
    const QByteArray rows = runSqlcipher("SELECT key || '|' || value || '|' || \"group\" FROM tbl_settings;\n");
    QVERIFY2(rows.contains("barPosition|lowerMiddle|barcode"), rows.constData());
    QVERIFY(QFile::remove(db));
    runSqlcipher("CREATE TABLE tbl_settings (id INTEGER PRIMARY KEY, key TEXT, value TEXT, \"group\" TEXT);\n"
                 "INSERT INTO tbl_settings (key, value, \"group\") VALUES ('barSize', '2.0', 'barcode');\n");
    QCOMPARE(query(db).rows.size(), 1);
}

void TestStore::badDatabase_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing file") << "missing file"
                                  << "unable to open database file";
    QTest::newRow("directory") << "directory"
                               << "unable to open database file";
    QTest::newRow("missing table") << "missing table"
                                   << "no such table: tbl_settings";
    QTest::newRow("wrong key") << "wrong key"
                               << "file is encrypted or is not a database";
    QTest::newRow("truncated") << "truncated"
                               << "";
    QTest::newRow("damaged page 1") << "damaged page 1"
                                    << "file is encrypted or is not a database";
    QTest::newRow("plain SQLite") << "plain SQLite"
                                  << "file is encrypted or is not a database";
}

void TestStore::badDatabase()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    const QString db = badDatabase(kind);
    const QByteArray before = fileBytes(db);
    const bool existed = QFileInfo::exists(db);
    {
        LogCapture log;
        QString document;
        QCOMPARE(queryLocalsettings(db, document), 0);
        QCOMPARE(document, QStringLiteral("{\"resultCode\":1,\"result\":[]}"));
        QVERIFY2(log.lines().last().contains(QLatin1String("] query settings failed \"")),
                 qPrintable(log.lines().last()));
        QVERIFY2(log.lines().last().contains(message), qPrintable(log.lines().last()));

        QCOMPARE(addSetting(db, SettingsItem{ "barSize", "2.0", "barcode" }), -1);
        QVERIFY(log.lines().last().contains(QLatin1String("] add setting failed \"barSize\"")));
    }
    // Nothing made, replaced or written.
    QCOMPARE(QFileInfo::exists(db), existed);
    QCOMPARE(fileBytes(db), before);
}

void TestStore::unwritableLockDirectory()
{
    const QString db = freshDatabase();
    const QByteArray tmp = qgetenv("TMPDIR");
    // A file where the temporary directory should be: no lock file can be
    // made in it, not even by root.
    const QString notADirectory = m_root.path() + QStringLiteral("/tmp-file");
    QVERIFY(writeFile(notADirectory, "x"));
    qputenv("TMPDIR", QFile::encodeName(notADirectory));
    LogCapture log;
    const int stored = addSetting(db, SettingsItem{ "illegaLcon", "true", "feature" });
    const int resultCode = query(db).resultCode;
    qputenv("TMPDIR", tmp);

    // The store goes on without the lock.
    QCOMPARE(stored, 0);
    QCOMPARE(resultCode, 0);
    QVERIFY2(log.hasLineEndingWith(QStringLiteral("] 文件不存在")), qPrintable(log.lines().join(QLatin1Char('\n'))));
    QCOMPARE(readRows(db).size(), 1);
}

void TestStore::concurrentWritersLoseNothing()
{
    const QString db = freshDatabase();
    const int writers = 4;
    const int keysEach = 5;
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int w = 0; w < writers; ++w) {
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->start(
            QStringLiteral(STORE_HELPER),
            { QStringLiteral("add-many"), db, QStringLiteral("w%1").arg(w), QString::number(keysEach) });
    }
    for (auto& p : processes) {
        QVERIFY(p->waitForFinished(120000));
        QCOMPARE(p->exitStatus(), QProcess::NormalExit);
        QCOMPARE(p->exitCode(), 0);
    }
    QSet<QString> keys;
    for (const TblSettings& row : readRows(db)) {
        keys.insert(row.key);
        QCOMPARE(row.value, QStringLiteral("v") + row.key);
    }
    QCOMPARE(keys.size(), writers * keysEach);
    QCOMPARE(readRows(db).size(), writers * keysEach);
}

void TestStore::lockHeldElsewhere_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<bool>("query");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::newRow("process, released after 1.5 s") << "process 1500" << false << true << 1000 << 5000;
    QTest::newRow("process that hangs, save") << "process 0" << false << false << 4900 << 8000;
    QTest::newRow("directory at the lock path, read") << "directory" << true << false << 4900 << 8000;
}

// The store waits for another holder of its lock file, but only so long: then
// the operation fails instead of freezing the agent.
void TestStore::lockHeldElsewhere()
{
    QFETCH(QString, holder);
    QFETCH(bool, query);
    QFETCH(bool, succeeds);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    const QString db = freshDatabase();
    QProcess process;
    QFile::remove(lockPath());
    if (holder == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(lockPath()));
    } else {
        QVERIFY(startLockHolder(process, holder.section(QLatin1Char(' '), 1).toInt()));
    }
    QElapsedTimer waited;
    waited.start();
    LogCapture log;
    const bool done
        = query ? ::query(db).resultCode == 0 : addSetting(db, SettingsItem{ "barHor", "3", "barcode" }) == 0;
    const qint64 elapsed = waited.elapsed();
    process.kill();
    process.waitForFinished(10000);
    QFile::remove(lockPath());
    QDir().rmdir(lockPath());

    QCOMPARE(done, succeeds);
    QVERIFY2(elapsed >= minMs && elapsed < maxMs, qPrintable(QString::number(elapsed)));
    QCOMPARE(log.hasLineEndingWith(QStringLiteral("] 文件存在")), !succeeds);
    QCOMPARE(readRows(db).size(), succeeds ? 1 : 0);
}

void TestStore::killedHolderLockTakenOver()
{
    const QString db = freshDatabase();
    QProcess holder;
    QVERIFY(startLockHolder(holder, 0));
    holder.kill();
    QVERIFY(holder.waitForFinished(10000));
    QVERIFY(QFileInfo::exists(lockPath()));

    QElapsedTimer waited;
    waited.start();
    LogCapture log;
    QCOMPARE(addSetting(db, SettingsItem{ "barVer", "-2", "barcode" }), 0);
    QVERIFY(log.hasLineEndingWith(QStringLiteral("] lock settings table success")));
    // Its owner is known to be gone, so no need to wait for the lock to age.
    QVERIFY(waited.elapsed() < 20000);
    QVERIFY(!QFileInfo::exists(lockPath()));
}

void TestStore::creationToolRefusesToOverwrite()
{
    const QString db = freshDatabase();
    QCOMPARE(addSetting(db, SettingsItem{ "barSize", "1.4", "barcode" }), 0);
    const QByteArray before = fileBytes(db);

    QVERIFY(runTool({ db }) > 0);
    QCOMPARE(fileBytes(db), before);
    QVERIFY(runTool({ badDatabase(QStringLiteral("directory")) }) > 0);

    QCOMPARE(runTool({ QStringLiteral("--force"), db }), 0);
    QCOMPARE(query(db).rows.size(), 0);
    QVERIFY(!QFileInfo::exists(db + QStringLiteral(".part")));
}

QTEST_GUILESS_MAIN(TestStore)
#include "TestStore.moc"
