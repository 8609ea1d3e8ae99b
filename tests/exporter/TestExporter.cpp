// printer-status --listen as Prometheus meets it: probes of simulated
// printers over loopback, refused targets, a hung printer, scrapes sharing a
// poll, clients that misbehave, and a real Prometheus server scraping it with
// the shipped example configuration and alert rules.

#include "CupsSandbox.h"
#include "SimThread.h"
#include "TestPorts.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace
{
struct Reply {
    int status = 0;
    QByteArray body;
    qint64 ms = 0;
};

// Requests started together and waited for together.
QList<Reply> getAll(const QStringList& urls, const QByteArray& scrapeTimeout = QByteArray())
{
    QNetworkAccessManager manager;
    QElapsedTimer clock;
    clock.start();
    QList<QNetworkReply*> replies;
    QList<Reply> results;
    for (const QString& url : urls) {
        QNetworkRequest request{ QUrl(url) };
        if (!scrapeTimeout.isEmpty()) {
            request.setRawHeader("X-Prometheus-Scrape-Timeout-Seconds", scrapeTimeout);
        }
        replies << manager.get(request);
        results << Reply();
    }
    for (int i = 0; i < replies.size(); ++i) {
        QNetworkReply* reply = replies.at(i);
        QObject::connect(reply, &QNetworkReply::finished, [&results, &clock, i] { results[i].ms = clock.elapsed(); });
    }
    QDeadlineTimer bound(30000);
    while (!std::all_of(replies.begin(), replies.end(), [](auto* r) { return r->isFinished(); })
           && !bound.hasExpired()) {
        QTest::qWait(10);
    }
    for (int i = 0; i < replies.size(); ++i) {
        results[i].status = replies.at(i)->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        results[i].body = replies.at(i)->readAll();
        delete replies.at(i);
    }
    return results;
}

Reply get(const QString& url, const QByteArray& scrapeTimeout = QByteArray())
{
    const QList<Reply> replies = getAll({ url }, scrapeTimeout);
    return replies.isEmpty() ? Reply() : replies.first();
}

QString runTool(const QString& program, const QStringList& args, const QByteArray& input = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(30000);
    return QString::number(process.exitCode()) + ' ' + QString::fromUtf8(process.readAll());
}

// An installed-style tree with its own config.json, so that the exporter
// reads the allow-list given.
class Exporter
{
public:
    bool start(const QJsonValue& targets)
    {
        QDir(m_tree.path()).mkpath("bin");
        QDir(m_tree.path()).mkpath("data");
        QFile config(PSM_SOURCE_DIR "/data/config.json");
        QJsonObject object
            = config.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(config.readAll()).object() : QJsonObject();
        if (!targets.isUndefined()) {
            object.insert("exporterTargets", targets);
        }
        QFile copy(m_tree.filePath("data/config.json"));
        if (!copy.open(QIODevice::WriteOnly) || copy.write(QJsonDocument(object).toJson()) <= 0) {
            return false;
        }
        copy.close();
        const QString program = m_tree.filePath("bin/printer-status");
        if (!QFile::copy(PSM_BUILD_DIR "/bin/printer-status", program)) {
            return false;
        }
        m_process.start(program, { "--listen", "127.0.0.1:0" });
        QByteArray seen;
        const QRegularExpression listening("listening on http://127.0.0.1:([0-9]+)/");
        for (QElapsedTimer clock; !clock.isValid() || clock.elapsed() < 10000; clock.isValid() || (clock.start(), 0)) {
            m_process.waitForReadyRead(100);
            seen += m_process.readAllStandardError();
            const QRegularExpressionMatch match = listening.match(QString::fromUtf8(seen));
            if (match.hasMatch()) {
                m_url = QStringLiteral("http://127.0.0.1:%1").arg(match.captured(1));
                return true;
            }
        }
        qWarning() << seen;
        return false;
    }
    ~Exporter()
    {
        m_process.terminate();
        m_process.waitForFinished(10000);
    }
    QString url(const QString& path) const { return m_url + path; }
    quint16 port() const { return QUrl(m_url).port(); }

private:
    QTemporaryDir m_tree;
    QProcess m_process;
    QString m_url;
};

QString jamLabels()
{
    return R"(printer="jam",address="127.0.0.160",model="Ostrel TR-M400 Series")";
}
} // namespace

class TestExporter : public QObject
{
    Q_OBJECT

    CupsSandbox m_cups;
    SimThread m_sim;
    QTcpServer m_foreign; // a host outside the allowed networks
    Exporter m_networks; // exporterTargets 127.0.0.160/29
    Exporter m_queuesOnly; // no exporterTargets

private slots:
    void initTestCase();
    void cleanupTestCase();
    void probe_data();
    void probe();
    void hungPrinter();
    void concurrentScrapesShareOnePoll();
    void misbehavingClients();
    void prometheusScrapes();
};

void TestExporter::initTestCase()
{
    QVERIFY2(m_cups.start(), qPrintable(m_cups.lastError()));
    QVERIFY(m_cups.addQueue("jam", "socket://127.0.0.160:9100", "TR-M400"));
    const QJsonArray toner{ QJsonObject{
        { "tonerColor", "black" }, { "maxCapacity", 8000 }, { "suppliesLevel", 600 } } };
    QVERIFY(m_sim.load({ { { "address", "127.0.0.160" },
                           { "deviceId", "OST-160" },
                           { "state", 3 },
                           { "flags", QJsonArray{ 32 } },
                           { "toners", toner } },
                         { { "address", "127.0.0.161" }, { "toners", toner } },
                         { { "address", "127.0.0.162" }, { "fault", "silent" } },
                         { { "address", "127.0.0.163" },
                           { "fault", "delay" },
                           { "delayMs", 600 },
                           { "faultMethods", QJsonArray{ "getPrinterStatus" } } } }));
    QVERIFY(m_foreign.listen(QHostAddress("127.0.0.170"), 9202));
    QVERIFY(m_networks.start(QJsonArray{ "127.0.0.160/29" }));
    QVERIFY(m_queuesOnly.start(QJsonValue::Undefined));
}

void TestExporter::cleanupTestCase()
{
    m_cups.stop();
}

void TestExporter::probe_data()
{
    QTest::addColumn<bool>("queuesOnly");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("lines"); // each a line of the answer
    QTest::newRow("queue's printer") << false << "/probe?target=127.0.0.160" << 200
                                     << QStringList{ "printer_status_condition{" + jamLabels()
                                                         + ",code=\"20006\",message=\"打印机卡纸(20006)\"} 1",
                                                     "printer_info{" + jamLabels() + R"(,device_id="OST-160"} 1)",
                                                     "printer_status_up{" + jamLabels() + "} 1",
                                                     "printer_probe_success 1" };
    const QString labels = R"(printer="127.0.0.161",address="127.0.0.161",model="TR-M400")";
    QTest::newRow("address in the networks, no queue")
        << false << "/probe?target=127.0.0.161" << 200
        << QStringList{ "printer_status_normal{" + labels + "} 1",
                        "printer_toner_level{" + labels + R"(,color="black"} 600)",
                        "printer_toner_capacity{" + labels + R"(,color="black"} 8000)",
                        "printer_info{" + labels + R"(,device_id="SIM-127.0.0.161"} 1)", "printer_probe_success 1" };
    QTest::newRow("outside the networks") << false << "/probe?target=127.0.0.170" << 403 << QStringList();
    QTest::newRow("queues only: a queue's")
        << true << "/probe?target=127.0.0.160" << 200 << QStringList{ "printer_probe_success 1" };
    QTest::newRow("queues only: no queue") << true << "/probe?target=127.0.0.161" << 403 << QStringList();
    QTest::newRow("no target") << false << "/probe" << 400 << QStringList();
    QTest::newRow("a name") << false << "/probe?target=printer.example" << 400 << QStringList();
    QTest::newRow("broadcast address") << false << "/probe?target=127.0.0.255" << 400 << QStringList();
    QTest::newRow("other path") << false << "/probe/x" << 404 << QStringList();
    QTest::newRow("metrics") << false << "/metrics" << 200
                             << QStringList{ "printer_status_up{" + jamLabels() + "} 1",
                                             R"(printer_status_exporter_build_info{version=")" PSM_VERSION R"("} 1)" };
}

void TestExporter::probe()
{
    QFETCH(bool, queuesOnly);
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QStringList, lines);
    const Reply reply = get((queuesOnly ? m_queuesOnly : m_networks).url(path));
    QCOMPARE(reply.status, status);
    const QStringList answer = QString::fromUtf8(reply.body).split('\n');
    for (const QString& line : lines) {
        QVERIFY2(answer.contains(line), qPrintable(line + "\n---\n" + reply.body));
    }
    if (status == 200) {
        QCOMPARE(runTool("promtool", { "check", "metrics" }, reply.body), QString("0 "));
    }
    // No probe, allowed or refused, went to the foreign host.
    QVERIFY(!m_foreign.waitForNewConnection(0));
}

// A hung printer answers by the scrape's deadline (its time-out less a
// margin), and holds up no other probe meanwhile.
void TestExporter::hungPrinter()
{
    const QList<Reply> replies
        = getAll({ m_networks.url("/probe?target=127.0.0.162"), m_networks.url("/probe?target=127.0.0.161") }, "2");
    QCOMPARE(replies.at(0).status, 200);
    QVERIFY2(replies.at(0).ms >= 1400 && replies.at(0).ms < 2000, qPrintable(QString::number(replies.at(0).ms)));
    QVERIFY(replies.at(0).body.contains("\nprinter_probe_success 0\n"));
    QVERIFY(
        replies.at(0).body.contains(R"(printer_status_up{printer="127.0.0.162",address="127.0.0.162",model=""} 0)"));
    QVERIFY2(replies.at(1).ms < 1400 && replies.at(1).body.contains("\nprinter_probe_success 1\n"),
             replies.at(1).body.constData());
}

void TestExporter::concurrentScrapesShareOnePoll()
{
    m_sim.printer("127.0.0.163")->resetStats();
    const QString url = m_networks.url("/probe?target=127.0.0.163");
    const QList<Reply> replies = getAll({ url, url });
    for (const Reply& reply : replies) {
        QVERIFY2(reply.body.contains("\nprinter_probe_success 1\n"), reply.body.constData());
    }
    QCOMPARE(m_sim.printer("127.0.0.163")->stats().requests.value("getPrinterStatus"), 1);
}

// Clients that hold connections, send too much or send nonsense get
// their answer (or their connection closed) and delay nobody.
void TestExporter::misbehavingClients()
{
    QList<QTcpSocket*> sockets;
    auto open = [&](const QByteArray& bytes) {
        auto* socket = new QTcpSocket(this);
        socket->connectToHost(QHostAddress::LocalHost, m_networks.port());
        socket->waitForConnected(2000);
        socket->write(bytes);
        socket->flush();
        sockets << socket;
        return socket;
    };
    for (int i = 0; i < 20; ++i) {
        open("GET /probe?target=127.0.0.161 HTTP/1.1\r\nHost: x\r\n"); // never ends its headers
    }
    QTcpSocket* huge = open("GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + QByteArray(64 * 1024, 'a') + "\r\n\r\n");
    QTcpSocket* garbage = open("\x01\x02 nonsense\r\n\r\n");
    QTcpSocket* post = open("POST /probe?target=127.0.0.161 HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc");
    const Reply reply = get(m_networks.url("/probe?target=127.0.0.161"));
    QVERIFY2(reply.ms < 5000 && reply.body.contains("\nprinter_probe_success 1\n"), reply.body.constData());
    const auto statusOf = [](QTcpSocket* socket) {
        for (QDeadlineTimer bound(10000); !bound.hasExpired() && socket->bytesAvailable() == 0
             && socket->state() == QAbstractSocket::ConnectedState;) {
            socket->waitForReadyRead(100);
        }
        return socket->readAll().left(12);
    };
    QByteArray hugeAnswer = statusOf(huge);
    QVERIFY2(hugeAnswer.isEmpty() || hugeAnswer.startsWith("HTTP/1.1 4"), hugeAnswer.constData());
    QCOMPARE(statusOf(garbage), QByteArray("HTTP/1.1 400"));
    QCOMPARE(statusOf(post), QByteArray("HTTP/1.1 405"));
    qDeleteAll(sockets);
}

// The shipped example, pointed at this exporter: the printers' series
// arrive and the jam alert fires.
void TestExporter::prometheusScrapes()
{
    const QString config = PSM_SOURCE_DIR "/data/printer-status-prometheus.yml";
    QVERIFY(runTool("promtool", { "check", "config", config }).startsWith("0 "));
    QTemporaryDir dir;
    QFile shipped(config);
    QFile rules(PSM_SOURCE_DIR "/data/printer-status-alerts.yml");
    QVERIFY(shipped.open(QIODevice::ReadOnly) && rules.open(QIODevice::ReadOnly));
    const QByteArray exporter = "127.0.0.1:" + QByteArray::number(m_networks.port());
    QByteArray text = shipped.readAll()
                          .replace("10.1.2.3", "127.0.0.160")
                          .replace("10.1.2.4", "127.0.0.161")
                          .replace("127.0.0.1:9742", exporter)
                          .replace("60s", "1s")
                          .replace("30s", "1s")
                          .replace("scrape_timeout: 10s", "scrape_timeout: 1s");
    QFile copy(dir.filePath("prometheus.yml"));
    QFile rulesCopy(dir.filePath("printer-status-alerts.yml"));
    QVERIFY(copy.open(QIODevice::WriteOnly) && copy.write(text) > 0);
    QVERIFY(rulesCopy.open(QIODevice::WriteOnly) && rulesCopy.write(rules.readAll().replace("for: 2m", "for: 1s")));
    copy.close();
    rulesCopy.close();
    const QString web = QStringLiteral("127.0.0.1:%1").arg(freeLoopbackPort());
    QProcess prometheus;
    prometheus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    prometheus.start("prometheus",
                     { "--config.file=" + copy.fileName(), "--storage.tsdb.path=" + dir.filePath("data"),
                       "--web.listen-address=" + web, "--log.level=warn" });
    QVERIFY(prometheus.waitForStarted());
    const auto query = [&](const QString& expression) {
        return get("http://" + web + "/api/v1/query?query=" + QUrl::toPercentEncoding(expression)).body;
    };
    QTRY_VERIFY_WITH_TIMEOUT(
        query(R"(ALERTS{alertname="PrinterPaperJam",alertstate="firing"})").contains(R"("printer":"jam")"), 30000);
    QVERIFY(query(R"(printer_toner_level_ratio{job="printers",instance="127.0.0.161"})").contains("\"0.075\""));
    QVERIFY(query("printer_status_exporter_build_info").contains(PSM_VERSION));
    prometheus.terminate();
    prometheus.waitForFinished(10000);
}

QTEST_GUILESS_MAIN(TestExporter)
#include "TestExporter.moc"
