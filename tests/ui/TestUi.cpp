#include "TestPorts.h"
#include "app/PrintAgentClient.h"
#include "core/PrinterRegistry.h"
#include "status/StatusMessage.h"
#include "store/StoreOperations.h"
#include "ui/AboutDialog.h"
#include "ui/ActivityLabel.h"
#include "ui/Barcode.h"
#include "ui/FunctionsetWidget.h"
#include "ui/NetworkPolicy.h"
#include "ui/Othersettings.h"
#include "ui/Status.h"
#include "ui/UiPrompts.h"
#include "ui/network_detect.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListView>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QToolTip>

// Stand-ins for the watcher and the poller: objects on the test's side of
// real queued connections, as the tray controller wires the real ones.
class FakeWatcher : public QObject
{
    Q_OBJECT
signals:
    void sigAddPrinter(QString printerName);
    void sigAddUSBPrinter(QString printerName, QString printerID);
    void sigRemovePrinter(QString printerName);
};

class FakePoller : public QObject
{
    Q_OBJECT
signals:
    void printerStatusChanged(QString printerName, QStringList errorList);
};

// Receives the URLs that the desktop would open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

namespace
{
struct Prompt {
    QMessageBox::Icon icon;
    QString text;
};

// A serial may itself hold ":".
const QString UsbId = QStringLiteral("2d8f:a62c:SN:0042");
const QString UsbProduct = QStringLiteral("TR-C3000");

QString tonerJson(const QList<QPair<QString, int>>& levels)
{
    QJsonArray toners;
    for (const auto& level : levels) {
        toners.append(
            QJsonObject{ { "tonerColor", level.first }, { "maxCapacity", 8000 }, { "suppliesLevel", level.second } });
    }
    QJsonObject reply{ { "model", "TR-C3000" }, { "tonerGroup", QJsonObject{ { "toners", toners } } } };
    return QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact));
}

// An empty settings database as the installation lays it out.
bool createSettingsDatabase(const QString& path)
{
    QProcess tool;
    tool.start(QStringLiteral(CREATE_SETTINGS_DB), { QStringLiteral("--force"), path });
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

// What the pages wrote, as "key=value" in the stored order.
QStringList storedRows(const QString& path)
{
    QString answer;
    queryLocalsettings(path, answer);
    QStringList rows;
    for (const QJsonValue& value : QJsonDocument::fromJson(answer.toUtf8()).object().value("result").toArray()) {
        rows << value["key"].toString() + '=' + value["value"].toString();
    }
    return rows;
}

void clickRow(QListView* view, int row)
{
    const QModelIndex index = view->model()->index(row, 0);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

template <typename T> T* child(QObject* parent, const char* name)
{
    return parent->findChild<T*>(QLatin1String(name));
}
} // namespace

class TestUi : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // Monitor window
    void monitorWindow();
    void trayTextOncePerChange_data();
    void trayTextOncePerChange();
    void historyIsBounded();
    void unchangedReportsAfterOutage();

    // Settings window and pages
    void settingsLoad_data();
    void settingsLoad();
    void barcodePositionRanges_data();
    void barcodePositionRanges();
    void barcodeSaves_data();
    void barcodeSaves();
    void probeTarget_data();
    void probeTarget();
    void outreachSwitch();

    void aboutDialog();

private:
    Status* makeStatus();
    void report(const QString& printer, const QStringList& status);
    PrinterContextPtr registerPrinter(const QString& name, const QString& ip, bool usb = false);
    // Adds P1 (and P2) to a fresh window; P1 is current.
    Status* statusWith(int printers);

    std::unique_ptr<Status> m_status;
    std::unique_ptr<FakeWatcher> m_watcher;
    std::unique_ptr<FakePoller> m_poller;
    QList<Prompt> m_prompts;
    int m_balloons = 0;
    QTemporaryDir m_dir;
};

void TestUi::init()
{
    PrinterRegistry::instance().clear();
    PrinterRegistry::instance().settings() = SettingsRecord();
    m_prompts.clear();
    m_balloons = 0;
    UiPrompts::setMessageHandler(
        [this](QMessageBox::Icon icon, const QString&, const QString& text, const QString& button) {
            QCOMPARE(button, QString("确定"));
            m_prompts.append({ icon, text });
        });
    UiPrompts::setBalloonHandler(
        [this](QSystemTrayIcon&, const QString&, const QString&, QSystemTrayIcon::MessageIcon, int) { ++m_balloons; });
    QVERIFY(m_dir.isValid());
}

void TestUi::cleanup()
{
    m_status.reset();
    m_watcher.reset();
    m_poller.reset();
    UiPrompts::setMessageHandler({});
    UiPrompts::setBalloonHandler({});
}

Status* TestUi::makeStatus()
{
    m_status = std::make_unique<Status>();
    m_watcher = std::make_unique<FakeWatcher>();
    m_poller = std::make_unique<FakePoller>();
    connect(m_watcher.get(), &FakeWatcher::sigAddPrinter, m_status.get(), &Status::onAddPrinter, Qt::QueuedConnection);
    connect(m_watcher.get(), &FakeWatcher::sigAddUSBPrinter, m_status.get(), &Status::onAddUSBPrinter,
            Qt::QueuedConnection);
    connect(m_watcher.get(), &FakeWatcher::sigRemovePrinter, m_status.get(), &Status::onRemovePrinter,
            Qt::QueuedConnection);
    connect(m_poller.get(), &FakePoller::printerStatusChanged, m_status.get(), &Status::onPrinterStatusChanged,
            Qt::QueuedConnection);
    m_status->show();
    if (!QTest::qWaitForWindowExposed(m_status.get())) {
        qWarning("monitor window not exposed");
    }
    return m_status.get();
}

Status* TestUi::statusWith(int printers)
{
    Status* status = makeStatus();
    for (int i = 1; i <= printers; ++i) {
        registerPrinter(QStringLiteral("P%1").arg(i), QStringLiteral("10.0.0.%1").arg(i));
        emit m_watcher->sigAddPrinter(QStringLiteral("P%1").arg(i));
    }
    if (!QTest::qWaitFor([&] { return status->printerKey(printers - 1) == QStringLiteral("P%1").arg(printers); })) {
        qWarning("printers not listed");
    }
    return status;
}

void TestUi::report(const QString& printer, const QStringList& status)
{
    emit m_poller->printerStatusChanged(printer, status);
    QCoreApplication::processEvents();
}

PrinterContextPtr TestUi::registerPrinter(const QString& name, const QString& ip, bool usb)
{
    return PrinterRegistry::instance().addPrinterContext(ip, name, usb, 0, 0);
}

void TestUi::monitorWindow()
{
    Status* status = makeStatus();
    auto* list = child<QListView>(status, "listView");
    auto* log = child<QTextEdit>(status, "textEdit");
    auto* refresh = child<QPushButton>(status, "pushButton");
    auto* clear = child<QPushButton>(status, "pushButton_2");
    auto* table = child<QTableWidget>(status, "tableWidget");
    QSignalSpy polls(status, &Status::sigUpdatePrinterStatus);
    QSignalSpy tray(status, &Status::systemTrayShowText);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("on_pushButton_clicked.*current item is null"));
    QTest::mouseClick(refresh, Qt::LeftButton);
    QCOMPARE(polls.count(), 0);

    // The first printer becomes current and is polled, by identity for USB.
    PrinterContextPtr usb = registerPrinter(UsbId, UsbProduct, true);
    usb->setSupportToner(true);
    usb->setTonerText(tonerJson({ { "black", 2000 }, { "cyan", 8000 } }));
    registerPrinter("P2", "10.0.0.2");
    emit m_watcher->sigAddUSBPrinter(UsbProduct, UsbId);
    emit m_watcher->sigAddPrinter("P2");
    QTRY_COMPARE(list->model()->rowCount(), 2);
    QCOMPARE(list->model()->index(0, 0).data().toString(), UsbProduct);
    QCOMPARE(list->currentIndex().row(), 0);
    QCOMPARE(polls.takeFirst().at(0).toString(), UsbId);
    QVERIFY(polls.isEmpty());

    // The USB row's tooltip is its serial, shown as text.
    emit list->entered(list->model()->index(0, 0));
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QString("SN:0042"));
    QToolTip::hideText();

    // Refresh disables the buttons until the report; a busy channel has
    // nothing new to show or keep.
    QTest::mouseClick(refresh, Qt::LeftButton);
    QCOMPARE(polls.takeFirst().at(0).toString(), UsbId);
    QVERIFY(!refresh->isEnabled() && !clear->isEnabled());
    QCOMPARE(child<QLabel>(status, "label")->text(), QString("正在获取..."));
    report(UsbId, { "999999" });
    QVERIFY(refresh->isEnabled() && clear->isEnabled());
    QVERIFY(child<QLabel>(status, "label")->text().isEmpty());
    QCOMPARE(tray.count(), 0);
    QVERIFY(usb->statusEntries().isEmpty());

    clickRow(list, 1);
    QCOMPARE(polls.takeFirst().at(0).toString(), QString("P2"));
    clickRow(list, 0);
    QCOMPARE(polls.takeFirst().at(0).toString(), UsbId);

    // The report lands in the selected row's log; the tray names the printer
    // by product and serial.
    report(UsbId, { "10000", "20006" });
    report("P2", { "10001" });
    QCOMPARE(tray.count(), 2);
    QCOMPARE(tray.at(0).at(0).toString(), QString("打印机：TR-C3000 序列号：SN:0042"));
    QVERIFY(log->toPlainText().contains(statusMessage(20006)));
    QVERIFY(!log->toPlainText().contains(statusMessage(10001)));
    // Toner rows: a label with the percentage and a bar of the capacity.
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(table->item(0, 0)->text() + " " + table->item(0, 2)->text(), QString("黑色墨盒剩余量: 25%"));
    QCOMPARE(table->cellWidget(0, 1)->findChild<QProgressBar*>()->maximum(), 8000);

    // A cleared log stays empty when rows are clicked, and fills again.
    QTest::mouseClick(clear, Qt::LeftButton);
    clickRow(list, 1);
    clickRow(list, 0);
    QVERIFY(log->toPlainText().isEmpty());
    report(UsbId, { "10000" });
    QVERIFY(log->toPlainText().contains(statusMessage(10000)));

    // Reports for printers gone from the registry are dropped.
    report("Gone", { "30001" });
    QCOMPARE(tray.count(), 3);
    QVERIFY(PrinterRegistry::instance().getPrinterContext("Gone")->statusEntries().isEmpty());

    // A removal by product text is not this printer; by identity it is, and
    // the display goes with it.
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("onRemovePrinter.*current item is null"));
    emit m_watcher->sigRemovePrinter(UsbProduct);
    QTest::qWait(20);
    QCOMPARE(list->model()->rowCount(), 2);
    emit m_watcher->sigRemovePrinter(UsbId);
    QTRY_COMPARE(list->model()->rowCount(), 1);
    QVERIFY(log->toPlainText().isEmpty());
    QCOMPARE(table->rowCount(), 0);
    QCOMPARE(status->printerKey(0), QString("P2"));
    QCOMPARE(list->currentIndex().row(), 0);
    emit m_watcher->sigRemovePrinter("P2");
    QTRY_COMPARE(status->currentRow(), -1);
    polls.clear();
    emit m_watcher->sigAddPrinter("P3");
    QTRY_COMPARE(polls.count(), 1);
}

void TestUi::trayTextOncePerChange_data()
{
    QTest::addColumn<QList<QStringList>>("reports");
    QTest::addColumn<QList<QStringList>>("expectedTexts");
    const QString normal = statusMessage(10000);
    const QString jam = statusMessage(20006);
    const QString urgent = statusMessage(10003);
    QTest::newRow("repeat") << QList<QStringList>{ { "10000" }, { "10000" }, { "10000" } }
                            << QList<QStringList>{ { normal } };
    QTest::newRow("change and back") << QList<QStringList>{ { "10000" }, { "10003", "20006" }, { "10000" } }
                                     << QList<QStringList>{ { normal }, { urgent, jam }, { normal } };
    QTest::newRow("order counts") << QList<QStringList>{ { "10003", "20006" }, { "20006", "10003" } }
                                  << QList<QStringList>{ { urgent, jam }, { jam, urgent } };
    QTest::newRow("longer list") << QList<QStringList>{ { "10000" }, { "10000", "10000" } }
                                 << QList<QStringList>{ { normal }, { normal, normal } };
    QTest::newRow("empty report") << QList<QStringList>{ {}, {} } << QList<QStringList>{ { "打印机状态正常。" } };
    QTest::newRow("busy in between") << QList<QStringList>{ { "10000" }, { "999999" }, { "10000" } }
                                     << QList<QStringList>{ { normal } };
    QTest::newRow("unknown code and id text")
        << QList<QStringList>{ { "123", "标识码：ABC" }, { "123", "标识码：ABC" } }
        << QList<QStringList>{ { "未知错误，请重新启动或呼叫维修(123)", "标识码：ABC" } };
}

void TestUi::trayTextOncePerChange()
{
    QFETCH(QList<QStringList>, reports);
    QFETCH(QList<QStringList>, expectedTexts);
    Status* status = statusWith(2);
    QSignalSpy tray(status, &Status::systemTrayShowText);
    // P2 is not selected: its changes reach the tray all the same.
    for (const QStringList& list : reports) {
        report("P2", list);
    }
    QCOMPARE(tray.count(), expectedTexts.size());
    for (int i = 0; i < tray.count(); ++i) {
        QCOMPARE(tray.at(i).at(0).toString(), QString("打印机：P2"));
        QCOMPARE(tray.at(i).at(1).toStringList(), expectedTexts.at(i));
    }
}

void TestUi::historyIsBounded()
{
    statusWith(1);
    const int reports = Status::MaxStatusEntries + 3;
    for (int i = 0; i < reports; ++i) {
        report("P1", { i == reports - 1 ? "10001" : "10000" });
    }
    const QList<StatusEntry> entries = PrinterRegistry::instance().getPrinterContext("P1")->statusEntries();
    QCOMPARE(entries.size(), int(Status::MaxStatusEntries));
    // The oldest go; the newest stays last.
    QCOMPARE(entries.last().statusList, QStringList{ statusMessage(10001) });

    // Long reports are bounded by the characters the history holds too.
    QStringList longReport;
    for (int code = 20001; code <= 20064; ++code) {
        longReport << QString::number(code);
    }
    for (int i = 0; i < 300; ++i) {
        report("P1", longReport);
    }
    int chars = 0;
    const QList<StatusEntry> bounded = PrinterRegistry::instance().getPrinterContext("P1")->statusEntries();
    for (const StatusEntry& entry : bounded) {
        chars += entry.text.size() + entry.statusList.join(QString()).size();
    }
    QVERIFY2(chars <= Status::MaxStatusLogChars, qPrintable(QString::number(chars)));
    QCOMPARE(bounded.last().statusList.size(), longReport.size());
}

// While the print server is down the watcher keeps every record and its
// history: the unchanged reports that follow ask for no second tray message,
// however many printers are unreachable.
void TestUi::unchangedReportsAfterOutage()
{
    statusWith(300);
    QSignalSpy tray(m_status.get(), &Status::systemTrayShowText);
    for (int round = 0; round < 2; ++round) {
        for (int i = 1; i <= 300; ++i) {
            report(QString("P%1").arg(i), { QString::number(StatusCode::NetworkUnreachable) });
        }
        QCOMPARE(tray.count(), 300);
    }
}

void TestUi::settingsLoad_data()
{
    QTest::addColumn<bool>("database");
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("illegaLcon");
    QTest::addColumn<QString>("barContent");
    QTest::newRow("stored settings") << true
                                     << QList<QStringList>{ { "illegaLcon", "true", "feature" },
                                                            { "barContent", "---Date---", "barcode" },
                                                            { "other", "x", "feature" } }
                                     << 0 << true << "---Date---";
    QTest::newRow("empty table") << true << QList<QStringList>{} << 2 << false << QString();
    QTest::newRow("wrong group ignored") << true
                                         << QList<QStringList>{ { "illegaLcon", "true", "barcode" },
                                                                { "barContent", "Pages", "feature" } }
                                         << 0 << false << QString();
    QTest::newRow("unreadable") << false << QList<QStringList>{} << 1 << false << QString();
}

void TestUi::settingsLoad()
{
    QFETCH(bool, database);
    QFETCH(QList<QStringList>, rows);
    QFETCH(int, result);
    QFETCH(bool, illegaLcon);
    QFETCH(QString, barContent);

    const QString path = m_dir.filePath(QStringLiteral("load-%1.db").arg(QTest::currentDataTag()));
    QVERIFY(!database || createSettingsDatabase(path));
    for (const QStringList& row : rows) {
        QCOMPARE(addSetting(path, SettingsItem{ row.at(0), row.at(1), row.at(2) }), 0);
    }
    SettingsRecord& record = PrinterRegistry::instance().settings();
    QCOMPARE(FunctionsetWidget::loadSettings(path, record), result);
    // The user hears once that the stored settings were not read, and which
    // value is in force; a fresh, empty table is no failure.
    QCOMPARE(FunctionsetWidget::loadNotice(result, record),
             result == 1 ? QString("无法读取设置，违规外联检查现为“关”。") : QString());
    QCOMPARE(record.illegaLcon, illegaLcon);
    QCOMPARE(record.barContent, barContent);
    NetworkPolicy policy(ProbeTarget{ "127.0.0.1", freeLoopbackPort() });
    policy.setOn(record.illegaLcon);
    FunctionsetWidget window(path, policy);
    // The pages show what the record holds, the defaults without settings.
    QCOMPARE(child<QRadioButton>(window.networkPage(), "radioButton_Outreachopen")->isChecked(), illegaLcon);
    QCOMPARE(child<QRadioButton>(window.networkPage(), "radioButton_Outreachclose")->isChecked(), !illegaLcon);
    QCOMPARE(window.barcodePage()->positionKey(), QString("upperLeft"));
    QCOMPARE(window.barcodePage()->scale(), QString("1.4"));
}

void TestUi::barcodePositionRanges_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QList<int>>("ranges"); // horizontal min, max, vertical min, max
    QTest::newRow("上左") << "upperLeft" << QList<int>{ 0, 26, 0, 5 };
    QTest::newRow("上中") << "upperMiddle" << QList<int>{ -26, 26, 0, 5 };
    QTest::newRow("上右") << "upperRight" << QList<int>{ -26, 0, 0, 5 };
    QTest::newRow("左中") << "leftMiddle" << QList<int>{ 0, 5, -26, 26 };
    QTest::newRow("右中") << "rightMiddle" << QList<int>{ -5, 0, -26, 26 };
    QTest::newRow("下左") << "lowerLeft" << QList<int>{ 0, 26, -5, 0 };
    QTest::newRow("下中") << "lowerMiddle" << QList<int>{ -26, 26, -5, 0 };
    QTest::newRow("下右") << "lowerRight" << QList<int>{ -26, 0, -5, 0 };
}

void TestUi::barcodePositionRanges()
{
    QFETCH(QString, key);
    QFETCH(QList<int>, ranges);
    const QString path = m_dir.filePath("ranges.db");
    QVERIFY(QFile::exists(path) || createSettingsDatabase(path));
    Barcode page(path);
    page.initFromSettings();
    page.show();
    // Start from another position, so that every row is a click that changes.
    QTest::mouseClick(
        child<QRadioButton>(&page, key == "upperMiddle" ? "radioButton_upperLeft" : "radioButton_upperMiddle"),
        Qt::LeftButton);
    QTest::mouseClick(page.findChild<QRadioButton*>("radioButton_" + key), Qt::LeftButton);
    QCOMPARE(page.positionKey(), key);
    auto* hor = child<QSpinBox>(&page, "spinBox_hor");
    auto* ver = child<QSpinBox>(&page, "spinBox_ver");
    QCOMPARE((QList<int>{ hor->minimum(), hor->maximum(), ver->minimum(), ver->maximum() }), ranges);
    QCOMPARE(child<QLabel>(&page, "label_horRange")->text(),
             QStringLiteral("横向取值范围：%1mm~%2mm").arg(ranges[0]).arg(ranges[1]));
    QCOMPARE(child<QLabel>(&page, "label_verRange")->text(),
             QStringLiteral("纵向取值范围：%1mm~%2mm").arg(ranges[2]).arg(ranges[3]));

    QTest::mouseClick(child<QPushButton>(&page, "pushButton_barcode"), Qt::LeftButton);
    QVERIFY(storedRows(path).contains("barPosition=" + key));
    QCOMPARE(PrinterRegistry::instance().settings().barPosition, key);
}

void TestUi::barcodeSaves_data()
{
    // Widgets clicked in turn; "save" clicks the save button, "other" has
    // another program store barSize=1.4, "no file" and "file" take the
    // database away and make it anew. Then the stored rows and the prompts.
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("prompts");
    const QString ok = "配置成功！";
    QTest::newRow("nothing changed") << QStringList{ "save" } << QStringList{} << QStringList{ ok };
    QTest::newRow("generate box saves at once")
        << QStringList{ "checkBox_generate" } << QStringList{ "retroDoc=true" } << QStringList{};
    QTest::newRow("generate box twice") << QStringList{ "checkBox_generate", "checkBox_generate" }
                                        << QStringList{ "retroDoc=false" } << QStringList{};
    QTest::newRow("size only") << QStringList{ "radioButton_size4", "save" } << QStringList{ "barSize=2.0" }
                               << QStringList{ ok };
    QTest::newRow("content joined in its order")
        << QStringList{ "checkBox_pages", "checkBox_printName", "checkBox_time", "checkBox_printIp", "save" }
        << QStringList{ "barContent=PrinterName-PrinterIP---Time--Pages" } << QStringList{ ok };
    QTest::newRow("no content saves dashes") << QStringList{ "checkBox_date", "checkBox_date", "save" }
                                             << QStringList{ "barContent=------" } << QStringList{ ok };
    QTest::newRow("all content") << QStringList{ "checkBox_printName", "checkBox_printIp",
                                                 "checkBox_userName",  "checkBox_date",
                                                 "checkBox_time",      "checkBox_copies",
                                                 "checkBox_pages",     "save" }
                                 << QStringList{ "barContent=PrinterName-PrinterIP-PCName-Date-Time-Copies-Pages" }
                                 << QStringList{ ok };
    QTest::newRow("position and scale") << QStringList{ "radioButton_lowerRight", "radioButton_size2", "save" }
                                        << QStringList{ "barPosition=lowerRight", "barSize=1.6" } << QStringList{ ok };
    // Saved once, an unchanged page writes nothing over another program's row.
    QTest::newRow("second save") << QStringList{ "radioButton_size4", "save", "other", "save" }
                                 << QStringList{ "barSize=1.4" } << QStringList{ ok, ok };
    // A failed save keeps its changes for the next one.
    QTest::newRow("failed save kept") << QStringList{ "no file", "radioButton_size2", "hor 7", "save", "file", "save" }
                                      << QStringList{ "barHor=7", "barSize=1.6" } << QStringList{ "配置失败！", ok };
}

void TestUi::barcodeSaves()
{
    QFETCH(QStringList, clicks);
    QFETCH(QStringList, stored);
    QFETCH(QStringList, prompts);
    const QString path = m_dir.filePath(QStringLiteral("save-%1.db").arg(QTest::currentDataTag()));
    QVERIFY(createSettingsDatabase(path));
    Barcode page(path);
    page.initFromSettings();
    page.show();
    for (const QString& name : clicks) {
        if (name == "other") {
            QCOMPARE(addSetting(path, SettingsItem{ "barSize", "1.4", "barcode" }), 0);
        } else if (name == "no file" || name == "file") {
            QVERIFY(name == "file" ? createSettingsDatabase(path) : QFile::remove(path));
        } else if (name == "hor 7") {
            child<QSpinBox>(&page, "spinBox_hor")->setValue(7);
        } else if (name == "save") {
            QTest::mouseClick(child<QPushButton>(&page, "pushButton_barcode"), Qt::LeftButton);
        } else {
            QTest::mouseClick(page.findChild<QWidget*>(name), Qt::LeftButton);
        }
    }
    QCOMPARE(storedRows(path), stored);
    QStringList shown;
    for (const Prompt& prompt : qAsConst(m_prompts)) {
        shown << prompt.text;
        QCOMPARE(prompt.icon, prompt.text == "配置成功！" ? QMessageBox::Information : QMessageBox::Warning);
    }
    QCOMPARE(shown, prompts);
    // The record follows what was stored.
    const SettingsRecord& record = PrinterRegistry::instance().settings();
    const QString size = stored.filter("barSize=").value(0).mid(8);
    QCOMPARE(record.barSize, clicks.contains("other") ? QString("2.0") : size);
}

void TestUi::probeTarget_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("host"); // empty: the built-in target
    QTest::addColumn<int>("port");
    QTest::newRow("host and port") << QByteArray(R"({"networkProbe": {"host": "127.0.0.1", "port": 9}})") << "127.0.0.1"
                                   << 9;
    QTest::newRow("port left out") << QByteArray(R"({"networkProbe": {"host": "::1"}})") << "::1" << 80;
    QTest::newRow("absent") << QByteArray(R"({"excludePort": 57142})") << "" << 80;
    QTest::newRow("empty host") << QByteArray(R"({"networkProbe": {"host": "", "port": 9}})") << "" << 80;
    QTest::newRow("port 0") << QByteArray(R"({"networkProbe": {"host": "127.0.0.1", "port": 0}})") << "" << 80;
    QTest::newRow("port as text") << QByteArray(R"({"networkProbe": {"host": "127.0.0.1", "port": "9"}})") << "" << 80;
    QTest::newRow("not json") << QByteArray("{") << "" << 80;
}

void TestUi::probeTarget()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, host);
    QFETCH(int, port);
    const ProbeTarget target = ProbeTarget::fromConfig(config);
    QCOMPARE(target.host, host.isEmpty() ? QString(ProbeTarget::DefaultHost) : host);
    QCOMPARE(int(target.port), port);
}

void TestUi::outreachSwitch()
{
    // The listener stands in for the probe host and counts the probes.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    int probes = 0;
    connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            ++probes;
            socket->deleteLater();
        }
    });
    const QString path = m_dir.filePath("outreach.db");
    QVERIFY(createSettingsDatabase(path));
    NetworkPolicy policy(ProbeTarget{ "127.0.0.1", server.serverPort() });
    Othersettings page(path, policy);
    page.initFromSettings();
    page.show();
    QVERIFY(child<QRadioButton>(&page, "radioButton_Outreachclose")->isChecked());
    const int quiet = network_detect::ProbeIntervalMs + 1000;
    QTest::qWait(quiet);
    QCOMPARE(probes, 0);

    // On: stored, probing, and a reachable host warns once.
    QTest::mouseClick(child<QRadioButton>(&page, "radioButton_Outreachopen"), Qt::LeftButton);
    QCOMPARE(storedRows(path), QStringList{ "illegaLcon=true" });
    QVERIFY(PrinterRegistry::instance().settings().illegaLcon);
    QTRY_VERIFY_WITH_TIMEOUT(probes >= 1, 10000);
    QTRY_COMPARE(m_balloons, 1);
    QVERIFY(policy.warningIcon().isVisible());

    // Off hides the warning at once and stops the probe.
    QTest::mouseClick(child<QRadioButton>(&page, "radioButton_Outreachclose"), Qt::LeftButton);
    QCOMPARE(storedRows(path), QStringList{ "illegaLcon=false" });
    QCOMPARE(policy.policy(), int(NetworkPolicy::PolicyOff));
    QVERIFY(!policy.warningIcon().isVisible());
    policy.update_network_state(1); // a report queued before the switch
    QVERIFY(!policy.warningIcon().isVisible());
    const int seen = probes;
    QTest::qWait(quiet);
    QCOMPARE(probes, seen);
    QCOMPARE(m_balloons, 1);
}

void TestUi::aboutDialog()
{
    // The controller's own rows, the long value broken into lines that fit.
    AboutDialog dialog;
    const QList<AboutDialog::InfoRow> rows = PrintAgentClient::aboutRows();
    dialog.setInfo(rows);
    const QList<QLabel*> labels = dialog.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    QStringList keys;
    for (int i = 0; i < rows.size(); ++i) {
        keys << labels.at(2 * i)->text();
        QCOMPARE(labels.at(2 * i + 1)->text().remove('\n').trimmed(), rows.at(i).second.trimmed());
        for (const QString& line : labels.at(2 * i + 1)->text().split('\n')) {
            QVERIFY(labels.at(2 * i + 1)->fontMetrics().horizontalAdvance(line) <= AboutDialog::ValueWidth);
        }
    }
    QCOMPARE(keys, (QStringList{ "产品名称： ", "产品说明： ", "版本号： ", "版权： " }));
    QCOMPARE(rows.at(0).second, QString("打印机状态监视器 "));
    QVERIFY(rows.at(2).second.contains(QRegularExpression(R"(^\d+\.\d+\.\d+)")));

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    QTest::mouseClick(dialog.findChild<ActivityLabel*>(), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(catcher.urls.size(), 1);
    QVERIFY(catcher.urls.at(0).toLocalFile().endsWith("/../data/LICENCE.txt"));
}

QTEST_MAIN(TestUi)
#include "TestUi.moc"
