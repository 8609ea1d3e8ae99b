#include "TestPorts.h"
#include "core/PrinterRegistry.h"
#include "status/StatusMessage.h"
#include "status/TonerInfo.h"
#include "store/StoreOperations.h"
#include "ui/AboutDialog.h"
#include "ui/ActivityLabel.h"
#include "ui/Barcode.h"
#include "ui/FunctionsetWidget.h"
#include "ui/NetworkPolicy.h"
#include "ui/Othersettings.h"
#include "ui/Status.h"
#include "ui/TipTableWidget.h"
#include "ui/TrayText.h"
#include "ui/UiPrompts.h"
#include "ui/network_detect.h"

#include <QButtonGroup>
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
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QToolTip>
#include <QTreeWidget>

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
    QString button;
};

const QString UsbId = QStringLiteral("2d8f:a62c:SN0042");
const QString UsbProduct = QStringLiteral("TR-C3000");

QString tonerJson(const QList<QPair<QString, int>>& levels)
{
    QJsonArray toners;
    for (const auto& level : levels) {
        toners.append(QJsonObject{ { "tonerId", level.first + "-1" },
                                   { "tonerModel", "T1" },
                                   { "tonerColor", level.first },
                                   { "tonerDescription", "" },
                                   { "maxCapacity", 8000 },
                                   { "suppliesLevel", level.second } });
    }
    QJsonObject reply{ { "model", "TR-C3000" }, { "tonerGroup", QJsonObject{ { "toners", toners } } } };
    return QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact));
}

// An empty settings database as the installation lays it out, made by the
// project's own creation tool.
bool createSettingsDatabase(const QString& path)
{
    QProcess tool;
    tool.start(QStringLiteral(CREATE_SETTINGS_DB), { QStringLiteral("--force"), path });
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

// The stored rows as key -> (value, group).
QMap<QString, QPair<QString, QString>> storedRows(const QString& path)
{
    QString answer;
    queryLocalsettings(path, answer);
    QMap<QString, QPair<QString, QString>> rows;
    const QJsonArray result = QJsonDocument::fromJson(answer.toUtf8()).object().value("result").toArray();
    for (const QJsonValue& value : result) {
        const QJsonObject row = value.toObject();
        rows.insert(row.value("key").toString(), { row.value("value").toString(), row.value("group").toString() });
    }
    return rows;
}

void clickRow(QListView* view, int row)
{
    const QModelIndex index = view->model()->index(row, 0);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

// A loopback port with nobody listening: connections to it are refused.
quint16 closedPort()
{
    return freeLoopbackPort();
}
} // namespace

class TestUi : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // Monitor window
    void firstPrinterBecomesCurrent_data();
    void firstPrinterBecomesCurrent();
    void refreshWithoutSelection();
    void refreshDisablesButtonsUntilReport();
    void clearedLogStaysEmpty();
    void removingSelectedPrinterClearsDisplay_data();
    void removingSelectedPrinterClearsDisplay();
    void usbTooltip_data();
    void usbTooltip();
    void usbRowUsesIdentity();
    void trayTextOncePerChange_data();
    void trayTextOncePerChange();
    void unchangedReportsAfterOutage();
    void busyReport();
    void reportForUnknownPrinterIsDropped();
    void logLayout();
    void tonerDisplay_data();
    void tonerDisplay();
    void tipTableShowsCutTexts();
    void trayBalloonText_data();
    void trayBalloonText();

    // Settings window and pages
    void settingsLoad_data();
    void settingsLoad();
    void settingsLoadBadAnswer();
    void settingsWindowShowsNetworkPage();
    void barcodePositionRanges_data();
    void barcodePositionRanges();
    void barcodeInitFromRecord();
    void generateBoxSavesAtOnce();
    void noContentSavesDashes();
    void failedSaveKeepsChange();
    void secondSaveWritesNothing();
    void outreachSwitch();
    void unreachableProbeShowsNoBalloon();
    void probeRunsOnlyWhileOn();
    void probeTargetFromConfig_data();
    void probeTargetFromConfig();

    // About dialog
    void aboutDialogRowsAndLicence();

private:
    Status* makeStatus();
    void report(const QString& printer, const QStringList& status);
    PrinterContextPtr registerPrinter(const QString& name, const QString& ip, bool usb = false);

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
            m_prompts.append({ icon, text, button });
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

void TestUi::report(const QString& printer, const QStringList& status)
{
    emit m_poller->printerStatusChanged(printer, status);
    QCoreApplication::processEvents();
}

PrinterContextPtr TestUi::registerPrinter(const QString& name, const QString& ip, bool usb)
{
    return PrinterRegistry::instance().addPrinterContext(ip, name, usb, 0, 0);
}

void TestUi::firstPrinterBecomesCurrent_data()
{
    QTest::addColumn<bool>("usb");
    QTest::addColumn<QString>("expectedKey");
    QTest::newRow("network") << false << "P1";
    QTest::newRow("usb") << true << UsbId;
}

void TestUi::firstPrinterBecomesCurrent()
{
    QFETCH(bool, usb);
    QFETCH(QString, expectedKey);
    Status* status = makeStatus();
    auto* list = status->findChild<QListView*>("listView");
    QSignalSpy polls(status, &Status::sigUpdatePrinterStatus);

    if (usb) {
        emit m_watcher->sigAddUSBPrinter(UsbProduct, UsbId);
    } else {
        emit m_watcher->sigAddPrinter("P1");
    }
    QTRY_COMPARE(polls.count(), 1);
    QCOMPARE(polls.at(0).at(0).toString(), expectedKey);
    QCOMPARE(list->currentIndex().row(), 0);
    QCOMPARE(status->currentRow(), 0);

    emit m_watcher->sigAddPrinter("P2");
    emit m_watcher->sigAddPrinter("P3");
    QTRY_COMPARE(list->model()->rowCount(), 3);
    QCOMPARE(polls.count(), 1);
    QCOMPARE(list->currentIndex().row(), 0);
    QCOMPARE(status->printerKey(0), expectedKey);
}

void TestUi::refreshWithoutSelection()
{
    Status* status = makeStatus();
    auto* refresh = status->findChild<QPushButton*>("pushButton");
    auto* clear = status->findChild<QPushButton*>("pushButton_2");
    QSignalSpy polls(status, &Status::sigUpdatePrinterStatus);

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("on_pushButton_clicked.*current item is null"));
    QTest::mouseClick(refresh, Qt::LeftButton);
    QCOMPARE(polls.count(), 0);
    QVERIFY(refresh->isEnabled());
    QVERIFY(clear->isEnabled());
    QVERIFY(status->findChild<QLabel*>("label")->text().isEmpty());
}

void TestUi::refreshDisablesButtonsUntilReport()
{
    Status* status = makeStatus();
    registerPrinter("P1", "10.0.0.1");
    emit m_watcher->sigAddPrinter("P1");
    QTRY_COMPARE(status->printerKey(0), QString("P1"));
    auto* refresh = status->findChild<QPushButton*>("pushButton");
    auto* label = status->findChild<QLabel*>("label");
    QSignalSpy polls(status, &Status::sigUpdatePrinterStatus);

    QTest::mouseClick(refresh, Qt::LeftButton);
    QCOMPARE(polls.count(), 1);
    QCOMPARE(polls.at(0).at(0).toString(), QString("P1"));
    QVERIFY(!refresh->isEnabled());
    QVERIFY(!status->findChild<QPushButton*>("pushButton_2")->isEnabled());
    QCOMPARE(label->text(), QString("正在获取..."));

    report("P1", { "10000" });
    QTRY_VERIFY(refresh->isEnabled());
    QVERIFY(label->text().isEmpty());
}

void TestUi::clearedLogStaysEmpty()
{
    Status* status = makeStatus();
    auto* list = status->findChild<QListView*>("listView");
    auto* log = status->findChild<QTextEdit*>("textEdit");
    registerPrinter("P1", "10.0.0.1");
    registerPrinter("P2", "10.0.0.2");
    emit m_watcher->sigAddPrinter("P1");
    emit m_watcher->sigAddPrinter("P2");
    QTRY_COMPARE(list->model()->rowCount(), 2);

    report("P1", { "10000" });
    report("P2", { "10006" });
    QTRY_VERIFY(log->toPlainText().contains(statusMessage(10000)));

    QTest::mouseClick(status->findChild<QPushButton*>("pushButton_2"), Qt::LeftButton);
    QVERIFY(log->toPlainText().isEmpty());

    clickRow(list, 1);
    QCOMPARE(list->currentIndex().row(), 1);
    QVERIFY(log->toPlainText().isEmpty());
    clickRow(list, 0);
    QCOMPARE(list->currentIndex().row(), 0);
    QVERIFY(log->toPlainText().isEmpty());

    // New reports show again after the clear.
    report("P1", { "10001" });
    QTRY_VERIFY(log->toPlainText().contains(statusMessage(10001)));
}

void TestUi::removingSelectedPrinterClearsDisplay_data()
{
    QTest::addColumn<bool>("usb");
    QTest::newRow("network") << false;
    QTest::newRow("usb") << true;
}

void TestUi::removingSelectedPrinterClearsDisplay()
{
    QFETCH(bool, usb);
    Status* status = makeStatus();
    auto* list = status->findChild<QListView*>("listView");
    auto* log = status->findChild<QTextEdit*>("textEdit");
    auto* toner = status->findChild<QLabel*>("label_toner");
    auto* table = status->findChild<QTableWidget*>("tableWidget");

    const QString key = usb ? UsbId : QStringLiteral("P1");
    PrinterContextPtr context = registerPrinter(key, usb ? UsbProduct : QStringLiteral("10.0.0.1"), usb);
    context->setSupportToner(true);
    context->setTonerText(tonerJson({ { "black", 2000 }, { "cyan", 8000 } }));
    registerPrinter("P2", "10.0.0.2");
    if (usb) {
        emit m_watcher->sigAddUSBPrinter(UsbProduct, UsbId);
    } else {
        emit m_watcher->sigAddPrinter("P1");
    }
    emit m_watcher->sigAddPrinter("P2");
    QTRY_COMPARE(list->model()->rowCount(), 2);
    report(key, { "10000" });
    QTRY_COMPARE(table->rowCount(), 2);
    QVERIFY(!log->toPlainText().isEmpty());

    // Removing another printer leaves the display alone.
    emit m_watcher->sigRemovePrinter("P2");
    QTRY_COMPARE(list->model()->rowCount(), 1);
    QCOMPARE(table->rowCount(), 2);
    QVERIFY(!log->toPlainText().isEmpty());

    emit m_watcher->sigAddPrinter("P2");
    QTRY_COMPARE(list->model()->rowCount(), 2);
    toner->setText("stale");
    emit m_watcher->sigRemovePrinter(key);
    QTRY_COMPARE(list->model()->rowCount(), 1);
    QVERIFY(log->toPlainText().isEmpty());
    QVERIFY(toner->text().isEmpty());
    QCOMPARE(table->rowCount(), 0);
    QCOMPARE(list->currentIndex().row(), 0);
    QCOMPARE(status->printerKey(0), QString("P2"));

    emit m_watcher->sigRemovePrinter("P2");
    QTRY_COMPARE(list->model()->rowCount(), 0);
    QCOMPARE(status->currentRow(), -1);

    // With the list empty, the next printer is current and polled again.
    QSignalSpy polls(status, &Status::sigUpdatePrinterStatus);
    emit m_watcher->sigAddPrinter("P3");
    QTRY_COMPARE(polls.count(), 1);
    QCOMPARE(list->currentIndex().row(), 0);
}

void TestUi::usbTooltip_data()
{
    QTest::addColumn<QString>("printerID");
    QTest::addColumn<QString>("tip");
    QTest::newRow("usb identity") << UsbId << "SN0042";
    QTest::newRow("network printer") << QString() << QString();
    QTest::newRow("two parts") << "2d8f:a62c" << QString();
    QTest::newRow("serial holding a colon") << "2d8f:a62c:SN:1"
                                            << "SN:1";
    QTest::newRow("markup in the serial") << "2d8f:a62c:<b>SN</b>"
                                          << "<p style='white-space:pre'>&lt;b&gt;SN&lt;/b&gt;</p>";
}

void TestUi::usbTooltip()
{
    QFETCH(QString, printerID);
    QFETCH(QString, tip);
    Status* status = makeStatus();
    auto* list = status->findChild<QListView*>("listView");
    emit m_watcher->sigAddPrinter("P0");
    if (printerID.isEmpty()) {
        emit m_watcher->sigAddPrinter("P1");
    } else {
        emit m_watcher->sigAddUSBPrinter(UsbProduct, printerID);
    }
    QTRY_COMPARE(list->model()->rowCount(), 2);

    QToolTip::hideText();
    QTRY_VERIFY(!QToolTip::isVisible());
    emit list->entered(list->model()->index(1, 0));
    QCOMPARE(status->currentRow(), 1);
    if (tip.isEmpty()) {
        QVERIFY(!QToolTip::isVisible());
    } else {
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), tip);
    }
    QToolTip::hideText();
}

void TestUi::usbRowUsesIdentity()
{
    Status* status = makeStatus();
    auto* list = status->findChild<QListView*>("listView");
    auto* log = status->findChild<QTextEdit*>("textEdit");
    registerPrinter(UsbId, UsbProduct, true);
    registerPrinter("P2", "10.0.0.2");
    QSignalSpy polls(status, &Status::sigUpdatePrinterStatus);
    QSignalSpy tray(status, &Status::systemTrayShowText);

    emit m_watcher->sigAddUSBPrinter(UsbProduct, UsbId);
    emit m_watcher->sigAddPrinter("P2");
    QTRY_COMPARE(list->model()->rowCount(), 2);
    QCOMPARE(list->model()->index(0, 0).data().toString(), UsbProduct);
    QCOMPARE(polls.takeFirst().at(0).toString(), UsbId);

    // Refresh and a click ask for the identity, not the product text.
    QTest::mouseClick(status->findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    QCOMPARE(polls.takeFirst().at(0).toString(), UsbId);
    clickRow(list, 1);
    QCOMPARE(polls.takeFirst().at(0).toString(), QString("P2"));
    clickRow(list, 0);
    QCOMPARE(polls.takeFirst().at(0).toString(), UsbId);

    // The poller's report, named by identity, lands in the selected row's log
    // and the tray names the printer by product and serial.
    report(UsbId, { "10000", "20006" });
    QTRY_COMPARE(tray.count(), 1);
    QCOMPARE(tray.at(0).at(0).toString(), QString("打印机：TR-C3000 序列号：SN0042"));
    QVERIFY(log->toPlainText().contains(statusMessage(20006)));
    QCOMPARE(PrinterRegistry::instance().getPrinterContext(UsbId)->statusEntries().size(), 1);

    // A removal by product text is not this printer; by identity it is.
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("onRemovePrinter.*current item is null"));
    emit m_watcher->sigRemovePrinter(UsbProduct);
    QTest::qWait(20);
    QCOMPARE(list->model()->rowCount(), 2);
    emit m_watcher->sigRemovePrinter(UsbId);
    QTRY_COMPARE(list->model()->rowCount(), 1);
    QCOMPARE(status->printerKey(0), QString("P2"));
}

void TestUi::trayTextOncePerChange_data()
{
    QTest::addColumn<QList<QStringList>>("reports");
    QTest::addColumn<QList<QStringList>>("expectedTexts");
    const QString normal = statusMessage(10000);
    const QString jam = statusMessage(20006);
    QTest::newRow("repeat") << QList<QStringList>{ { "10000" }, { "10000" }, { "10000" } }
                            << QList<QStringList>{ { normal } };
    QTest::newRow("change and back") << QList<QStringList>{ { "10000" }, { "10003", "20006" }, { "10000" } }
                                     << QList<QStringList>{ { normal }, { statusMessage(10003), jam }, { normal } };
    QTest::newRow("order counts") << QList<QStringList>{ { "10003", "20006" }, { "20006", "10003" } }
                                  << QList<QStringList>{ { statusMessage(10003), jam }, { jam, statusMessage(10003) } };
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
    Status* status = makeStatus();
    registerPrinter("P1", "10.0.0.1");
    registerPrinter("P2", "10.0.0.2");
    emit m_watcher->sigAddPrinter("P1");
    emit m_watcher->sigAddPrinter("P2");
    QTRY_COMPARE(status->printerKey(1), QString("P2"));
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

// While the print server is down the watcher leaves every record and its
// history in place: the unchanged reports that follow ask for no second tray
// message, however many printers are unreachable.
void TestUi::unchangedReportsAfterOutage()
{
    Status* status = makeStatus();
    const QStringList unreachable{ QString::number(StatusCode::NetworkUnreachable) };
    QStringList names;
    for (int i = 0; i < 300; ++i) {
        names << QString("Q%1").arg(i);
        registerPrinter(names.last(), QString("127.0.%1.%2").arg(i / 200 + 1).arg(i % 200 + 1));
        emit m_watcher->sigAddPrinter(names.last());
    }
    QTRY_COMPARE(status->findChild<QListView*>("listView")->model()->rowCount(), 300);
    QSignalSpy tray(status, &Status::systemTrayShowText);
    for (int round = 0; round < 2; ++round) {
        for (const QString& name : qAsConst(names)) {
            report(name, unreachable);
        }
        QCOMPARE(tray.count(), 300);
    }
    QCOMPARE(PrinterRegistry::instance().getPrinterContext("Q299")->statusEntries().size(), 2);
}

void TestUi::busyReport()
{
    Status* status = makeStatus();
    auto* log = status->findChild<QTextEdit*>("textEdit");
    auto* refresh = status->findChild<QPushButton*>("pushButton");
    registerPrinter("P1", "10.0.0.1");
    emit m_watcher->sigAddPrinter("P1");
    QTRY_COMPARE(status->printerKey(0), QString("P1"));
    QSignalSpy tray(status, &Status::systemTrayShowText);

    QTest::mouseClick(refresh, Qt::LeftButton);
    QVERIFY(!refresh->isEnabled());
    report("P1", { "999999" });
    QVERIFY(refresh->isEnabled());
    QVERIFY(status->findChild<QLabel*>("label")->text().isEmpty());
    QCOMPARE(tray.count(), 0);
    QVERIFY(log->toPlainText().isEmpty());
    QVERIFY(PrinterRegistry::instance().getPrinterContext("P1")->statusEntries().isEmpty());
}

void TestUi::reportForUnknownPrinterIsDropped()
{
    Status* status = makeStatus();
    registerPrinter("P1", "10.0.0.1");
    emit m_watcher->sigAddPrinter("P1");
    QTRY_COMPARE(status->printerKey(0), QString("P1"));
    QSignalSpy tray(status, &Status::systemTrayShowText);

    // The printer left the registry while its poll ran.
    PrinterRegistry::instance().removePrinterContext("P1");
    report("P1", { "30001" });
    report("Gone", { "30001" });
    QCOMPARE(tray.count(), 0);
    QVERIFY(status->findChild<QTextEdit*>("textEdit")->toPlainText().isEmpty());
    // Nothing was kept in the registry's default record either.
    QVERIFY(PrinterRegistry::instance().getPrinterContext("Gone")->statusEntries().isEmpty());
}

void TestUi::logLayout()
{
    Status* status = makeStatus();
    registerPrinter("P1", "192.168.3.7");
    emit m_watcher->sigAddPrinter("P1");
    QTRY_COMPARE(status->printerKey(0), QString("P1"));

    const QDateTime time(QDate(2024, 5, 6), QTime(7, 8, 9, 10));
    status->appendPrinterStatus("P1", StatusEntry{ time, { "打印机卡纸(20006)", "标识码：XYZ", "<b>x</b>" }, "" });
    const QStringList lines = status->findChild<QTextEdit*>("textEdit")->toPlainText().split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0), "时间：" + time.toString("yyyy.MM.dd hh:mm:ss.zzz ddd") + "     打印机IP：192.168.3.7");
    QVERIFY(lines.at(0).startsWith("时间：2024.05.06 07:08:09.010 "));
    QCOMPARE(lines.at(1), QString("打印机卡纸(20006)"));
    QCOMPARE(lines.at(2), QString("状态：标识码：XYZ"));
    QCOMPARE(lines.at(3), QString("<b>x</b>")); // shown as text, never as markup
}

void TestUi::tonerDisplay_data()
{
    QTest::addColumn<bool>("supportToner");
    QTest::addColumn<QString>("tonerText");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QStringList>("rows"); // label and percentage per row
    QTest::newRow("levels") << true << tonerJson({ { "black", 2000 }, { "Magenta", 8000 }, { "", 100 } }) << QString()
                            << QStringList{ "黑色墨盒剩余量: 25%", "品红墨盒剩余量: 100%" };
    QTest::newRow("failure text") << true << QString::fromUtf8(TonerFailureText) << QString::fromUtf8(TonerFailureText)
                                  << QStringList();
    QTest::newRow("markup shown as text") << true << "<b>TR-M400</b>"
                                          << "<b>TR-M400</b>" << QStringList();
    QTest::newRow("no toner support") << false << tonerJson({ { "black", 2000 } }) << QString() << QStringList();
}

void TestUi::tonerDisplay()
{
    QFETCH(bool, supportToner);
    QFETCH(QString, tonerText);
    QFETCH(QString, label);
    QFETCH(QStringList, rows);
    Status* status = makeStatus();
    auto* table = status->findChild<QTableWidget*>("tableWidget");
    PrinterContextPtr context = registerPrinter("P1", "10.0.0.1");
    context->setSupportToner(supportToner);
    context->setTonerText(tonerText);
    emit m_watcher->sigAddPrinter("P1");
    QTRY_COMPARE(status->printerKey(0), QString("P1"));
    report("P1", { "10000" });

    QCOMPARE(status->findChild<QLabel*>("label_toner")->text(), label);
    QCOMPARE(status->findChild<QLabel*>("label_toner")->textFormat(), Qt::PlainText);
    QStringList shown;
    for (int row = 0; row < table->rowCount(); ++row) {
        shown.append(table->item(row, 0)->text() + " " + table->item(row, 2)->text());
        auto* bar = table->cellWidget(row, 1)->findChild<QProgressBar*>();
        QVERIFY(bar);
        QCOMPARE(bar->maximum(), 8000);
    }
    QCOMPARE(shown, rows);
}

void TestUi::tipTableShowsCutTexts()
{
    TipTableWidget table;
    table.setColumnCount(1);
    table.setRowCount(2);
    table.setColumnWidth(0, 60);
    auto* shortItem = new QTableWidgetItem("ab");
    auto* longItem = new QTableWidgetItem(QString(40, QChar(0x58A8)));
    table.setItem(0, 0, shortItem);
    table.setItem(1, 0, longItem);
    QVERIFY(table.tipFor(shortItem).isEmpty());
    QCOMPARE(table.tipFor(longItem), longItem->text());
    QVERIFY(table.hasMouseTracking());
}

void TestUi::trayBalloonText_data()
{
    QTest::addColumn<QString>("printer");
    QTest::addColumn<QStringList>("info");
    QTest::addColumn<QString>("text");
    QTest::newRow("no info") << "打印机：P1" << QStringList() << "打印机：P1\r\n";
    QTest::newRow("two lines") << "打印机：P1" << QStringList{ "a", "b" } << "打印机：P1\r\na\r\nb\r\n";
}

void TestUi::trayBalloonText()
{
    QFETCH(QString, printer);
    QFETCH(QStringList, info);
    QFETCH(QString, text);
    QCOMPARE(::trayBalloonText(printer, info), text);
}

void TestUi::settingsLoad_data()
{
    QTest::addColumn<QString>("file"); // "db", "none", "garbage", "zeroed" or "truncated"
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("illegaLcon");
    QTest::addColumn<QString>("barContent");

    QTest::newRow("stored settings") << "db"
                                     << QList<QStringList>{ { "illegaLcon", "true", "feature" },
                                                            { "barContent", "---Date---", "barcode" },
                                                            { "other", "x", "feature" } }
                                     << 0 << true << "---Date---";
    QTest::newRow("empty table") << "db" << QList<QStringList>{} << 2 << false << QString();
    QTest::newRow("wrong group ignored") << "db"
                                         << QList<QStringList>{ { "illegaLcon", "true", "barcode" },
                                                                { "barContent", "Pages", "feature" } }
                                         << 0 << false << QString();
    QTest::newRow("missing file") << "none" << QList<QStringList>{} << 1 << false << QString();
    QTest::newRow("not a database") << "garbage" << QList<QStringList>{} << 1 << false << QString();
    QTest::newRow("zeroed") << "zeroed" << QList<QStringList>{} << 1 << false << QString();
    QTest::newRow("truncated") << "truncated" << QList<QStringList>{ { "illegaLcon", "true", "feature" } } << 1 << false
                               << QString();
}

void TestUi::settingsLoad()
{
    QFETCH(QString, file);
    QFETCH(QList<QStringList>, rows);
    QFETCH(int, result);
    QFETCH(bool, illegaLcon);
    QFETCH(QString, barContent);

    const QString path = m_dir.filePath(QStringLiteral("load-%1.db").arg(QTest::currentDataTag()));
    if (file == "db" || file == "truncated") {
        QVERIFY(createSettingsDatabase(path));
        for (const QStringList& row : rows) {
            QCOMPARE(addSetting(path, SettingsItem{ row.at(0), row.at(1), row.at(2) }), 0);
        }
    }
    if (file != "db" && file != "none") {
        QFile damaged(path);
        QVERIFY(damaged.open(QIODevice::ReadWrite));
        if (file == "truncated") {
            QVERIFY(damaged.resize(1500));
        } else {
            damaged.write(QByteArray(4096, file == "zeroed" ? '\0' : 'x'));
        }
    }

    SettingsRecord& record = PrinterRegistry::instance().settings();
    QCOMPARE(FunctionsetWidget::loadSettings(path, record), result);
    // The user hears once that the stored settings were not read, and which
    // value is in force; a fresh, empty table is no failure.
    QCOMPARE(FunctionsetWidget::loadNotice(result, record),
             result == 1 ? QString("无法读取设置，违规外联检查现为“关”。") : QString());
    QCOMPARE(record.illegaLcon, illegaLcon);
    NetworkPolicy policy(ProbeTarget{ "127.0.0.1", closedPort() });
    policy.setOn(record.illegaLcon);
    FunctionsetWidget window(path, policy);
    QCOMPARE(record.barContent, barContent);
    // The pages show what the record holds, the defaults without settings.
    QCOMPARE(window.networkPage()->findChild<QRadioButton*>("radioButton_Outreachopen")->isChecked(), illegaLcon);
    QCOMPARE(window.networkPage()->findChild<QRadioButton*>("radioButton_Outreachclose")->isChecked(), !illegaLcon);
    QCOMPARE(window.barcodePage()->positionKey(), QString("upperLeft"));
    QCOMPARE(window.barcodePage()->scale(), QString("1.4"));
}

void TestUi::settingsLoadBadAnswer()
{
    SettingsRecord record;
    QCOMPARE(FunctionsetWidget::applySettingsDocument("not json", record), 3);
    QCOMPARE(FunctionsetWidget::applySettingsDocument("", record), 3);
    QCOMPARE(FunctionsetWidget::applySettingsDocument(R"({"result":[]})", record), 1);
    QCOMPARE(FunctionsetWidget::applySettingsDocument(
                 R"({"resultCode":0,"result":[{"key":"barSize","value":"1.6","group":"barcode"},)"
                 R"({"key":"barSize","value":"2.0","group":"barcode"}]})",
                 record),
             0);
    QCOMPARE(record.barSize, QString("2.0")); // a later row wins
}

void TestUi::settingsWindowShowsNetworkPage()
{
    const QString path = m_dir.filePath("window.db");
    QVERIFY(createSettingsDatabase(path));
    NetworkPolicy policy(ProbeTarget{ "127.0.0.1", closedPort() });
    FunctionsetWidget window(path, policy);
    window.show();
    QCOMPARE(window.windowTitle(), QString("设置"));
    QCOMPARE(window.size(), QSize(880, 490));
    auto* tree = window.findChild<QTreeWidget*>("treeWidget");
    QCOMPARE(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* item = tree->topLevelItem(0);
    QCOMPARE(item->text(0), QString("违规外联"));

    emit tree->itemClicked(item, 0);
    QVERIFY(window.networkPage()->isVisible());
    QVERIFY(!window.barcodePage()->isVisible());

    QTreeWidgetItem barcodeItem(QStringList("条码设置"));
    window.fucSlotTest1(&barcodeItem, 0);
    QVERIFY(window.barcodePage()->isVisible());
    QVERIFY(!window.networkPage()->isVisible());
}

void TestUi::barcodePositionRanges_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("horMin");
    QTest::addColumn<int>("horMax");
    QTest::addColumn<int>("verMin");
    QTest::addColumn<int>("verMax");
    QTest::addColumn<QString>("horText");
    QTest::addColumn<QString>("verText");
    QTest::newRow("右中") << "radioButton_rightMiddle"
                          << "rightMiddle" << -5 << 0 << -26 << 26 << "横向取值范围：-5mm~0mm"
                          << "纵向取值范围：-26mm~26mm";
    QTest::newRow("上中") << "radioButton_upperMiddle"
                          << "upperMiddle" << -26 << 26 << 0 << 5 << "横向取值范围：-26mm~26mm"
                          << "纵向取值范围：0mm~5mm";
    QTest::newRow("下右") << "radioButton_lowerRight"
                          << "lowerRight" << -26 << 0 << -5 << 0 << "横向取值范围：-26mm~0mm"
                          << "纵向取值范围：-5mm~0mm";
    QTest::newRow("左中") << "radioButton_leftMiddle"
                          << "leftMiddle" << 0 << 5 << -26 << 26 << "横向取值范围：0mm~5mm"
                          << "纵向取值范围：-26mm~26mm";
}

void TestUi::barcodePositionRanges()
{
    QFETCH(QString, button);
    QFETCH(QString, key);
    QFETCH(int, horMin);
    QFETCH(int, horMax);
    QFETCH(int, verMin);
    QFETCH(int, verMax);
    QFETCH(QString, horText);
    QFETCH(QString, verText);

    const QString path = m_dir.filePath("ranges.db");
    QVERIFY(QFile::exists(path) || createSettingsDatabase(path));
    Barcode page(path);
    page.initFromSettings();
    page.show();
    auto* hor = page.findChild<QSpinBox*>("spinBox_hor");
    auto* ver = page.findChild<QSpinBox*>("spinBox_ver");
    QCOMPARE(page.findChild<QLabel*>("label_horRange")->text(), QString("横向取值范围：0mm~26mm"));

    QTest::mouseClick(page.findChild<QRadioButton*>(button), Qt::LeftButton);
    QCOMPARE(page.positionKey(), key);
    QCOMPARE(hor->minimum(), horMin);
    QCOMPARE(hor->maximum(), horMax);
    QCOMPARE(ver->minimum(), verMin);
    QCOMPARE(ver->maximum(), verMax);
    QCOMPARE(page.findChild<QLabel*>("label_horRange")->text(), horText);
    QCOMPARE(page.findChild<QLabel*>("label_verRange")->text(), verText);

    QTest::mouseClick(page.findChild<QPushButton*>("pushButton_barcode"), Qt::LeftButton);
    QCOMPARE(storedRows(path).value("barPosition").first, key);
    QCOMPARE(PrinterRegistry::instance().settings().barPosition, key);
}

void TestUi::barcodeInitFromRecord()
{
    SettingsRecord& record = PrinterRegistry::instance().settings();
    record.retroDoc = true;
    record.barContent = "PrinterName---Date---Pages";
    record.barPosition = "lowerMiddle";
    record.barHor = "-12";
    record.barVer = "-3";
    record.barSize = "1.8";
    const QString path = m_dir.filePath("init.db");
    QVERIFY(createSettingsDatabase(path));
    Barcode page(path);
    page.initFromSettings();

    QVERIFY(page.findChild<QCheckBox*>("checkBox_generate")->isChecked());
    QVERIFY(page.findChild<QCheckBox*>("checkBox_printName")->isChecked());
    QVERIFY(!page.findChild<QCheckBox*>("checkBox_printIp")->isChecked());
    QVERIFY(page.findChild<QCheckBox*>("checkBox_date")->isChecked());
    QVERIFY(page.findChild<QCheckBox*>("checkBox_pages")->isChecked());
    QVERIFY(page.findChild<QRadioButton*>("radioButton_lowerMiddle")->isChecked());
    QVERIFY(page.findChild<QRadioButton*>("radioButton_size3")->isChecked());
    QCOMPARE(page.findChild<QSpinBox*>("spinBox_hor")->value(), -12);
    QCOMPARE(page.findChild<QSpinBox*>("spinBox_ver")->value(), -3);
    QCOMPARE(page.contentText(), QString("PrinterName---Date---Pages"));

    // Showing the stored values wrote nothing, and saving now writes nothing.
    QVERIFY(storedRows(path).isEmpty());
    QTest::mouseClick(page.findChild<QPushButton*>("pushButton_barcode"), Qt::LeftButton);
    QVERIFY(storedRows(path).isEmpty());
}

void TestUi::generateBoxSavesAtOnce()
{
    const QString path = m_dir.filePath("generate.db");
    QVERIFY(createSettingsDatabase(path));
    Barcode page(path);
    page.initFromSettings();
    page.show();
    auto* box = page.findChild<QCheckBox*>("checkBox_generate");

    QTest::mouseClick(box, Qt::LeftButton);
    QCOMPARE(storedRows(path).value("retroDoc"), qMakePair(QString("true"), QString("feature")));
    QVERIFY(PrinterRegistry::instance().settings().retroDoc);
    QTest::mouseClick(box, Qt::LeftButton);
    QCOMPARE(storedRows(path).value("retroDoc"), qMakePair(QString("false"), QString("feature")));
    QVERIFY(!PrinterRegistry::instance().settings().retroDoc);
    QVERIFY(m_prompts.isEmpty());
}

void TestUi::noContentSavesDashes()
{
    const QString path = m_dir.filePath("content.db");
    QVERIFY(createSettingsDatabase(path));
    Barcode page(path);
    page.initFromSettings();
    page.show();
    auto* date = page.findChild<QCheckBox*>("checkBox_date");

    QTest::mouseClick(date, Qt::LeftButton);
    QCOMPARE(page.contentText(), QString("---Date---"));
    QTest::mouseClick(date, Qt::LeftButton);
    QTest::mouseClick(page.findChild<QPushButton*>("pushButton_barcode"), Qt::LeftButton);
    QCOMPARE(storedRows(path).value("barContent"), qMakePair(QString("------"), QString("barcode")));
    QCOMPARE(PrinterRegistry::instance().settings().barContent, QString("------"));
    QCOMPARE(m_prompts.size(), 1);
    QCOMPARE(m_prompts.at(0).text, QString("配置成功！"));
    QCOMPARE(m_prompts.at(0).button, QString("确定"));
}

void TestUi::failedSaveKeepsChange()
{
    // No database yet at the page's path: every save fails.
    const QString path = m_dir.filePath("later.db");
    Barcode page(path);
    page.initFromSettings();
    page.show();
    auto* hor = page.findChild<QSpinBox*>("spinBox_hor");
    auto* save = page.findChild<QPushButton*>("pushButton_barcode");

    QTest::mouseClick(page.findChild<QRadioButton*>("radioButton_size2"), Qt::LeftButton);
    hor->setValue(7);
    QTest::mouseClick(save, Qt::LeftButton);
    QCOMPARE(m_prompts.size(), 1);
    QCOMPARE(m_prompts.at(0).icon, QMessageBox::Warning);
    QCOMPARE(m_prompts.at(0).text, QString("配置失败！"));
    QCOMPARE(m_prompts.at(0).button, QString("确定"));
    QVERIFY(PrinterRegistry::instance().settings().barSize.isEmpty());

    // Once the database is there, the next save stores both kept values.
    QVERIFY(createSettingsDatabase(path));
    QTest::mouseClick(save, Qt::LeftButton);
    QCOMPARE(m_prompts.size(), 2);
    QCOMPARE(m_prompts.at(1).icon, QMessageBox::Information);
    QCOMPARE(m_prompts.at(1).text, QString("配置成功！"));
    const auto rows = storedRows(path);
    QCOMPARE(rows.value("barSize").first, QString("1.6"));
    QCOMPARE(rows.value("barHor").first, QString("7"));
    QVERIFY(!rows.contains("barVer"));
    QCOMPARE(PrinterRegistry::instance().settings().barSize, QString("1.6"));
}

void TestUi::secondSaveWritesNothing()
{
    const QString path = m_dir.filePath("twice.db");
    QVERIFY(createSettingsDatabase(path));
    Barcode page(path);
    page.initFromSettings();
    page.show();
    auto* save = page.findChild<QPushButton*>("pushButton_barcode");
    QTest::mouseClick(page.findChild<QRadioButton*>("radioButton_size4"), Qt::LeftButton);
    QTest::mouseClick(save, Qt::LeftButton);
    QCOMPARE(storedRows(path).value("barSize").first, QString("2.0"));

    // Another program changes the row; an unchanged page does not overwrite it.
    QCOMPARE(addSetting(path, SettingsItem{ "barSize", "1.4", "barcode" }), 0);
    QTest::mouseClick(save, Qt::LeftButton);
    QCOMPARE(storedRows(path).value("barSize").first, QString("1.4"));
    QCOMPARE(m_prompts.size(), 2);
    QCOMPARE(m_prompts.at(1).text, QString("配置成功！"));
}

void TestUi::outreachSwitch()
{
    const QString path = m_dir.filePath("outreach.db");
    QVERIFY(createSettingsDatabase(path));
    PrinterRegistry::instance().settings().illegaLcon = true;
    NetworkPolicy policy(ProbeTarget{ "127.0.0.1", closedPort() });
    policy.setOn(true);
    Othersettings page(path, policy);
    page.initFromSettings();
    page.show();
    QVERIFY(page.findChild<QRadioButton*>("radioButton_Outreachopen")->isChecked());

    policy.update_network_state(1);
    QCOMPARE(m_balloons, 1);
    QVERIFY(policy.warningIcon().isVisible());

    // Off hides the warning at once and stops the probe.
    QTest::mouseClick(page.findChild<QRadioButton*>("radioButton_Outreachclose"), Qt::LeftButton);
    QCOMPARE(storedRows(path).value("illegaLcon"), qMakePair(QString("false"), QString("feature")));
    QCOMPARE(policy.policy(), int(NetworkPolicy::PolicyOff));
    QVERIFY(!policy.warningIcon().isVisible());
    QVERIFY(!policy.networkDetect());
    policy.update_network_state(1); // a report queued before the switch
    QCOMPARE(m_balloons, 1);
    QVERIFY(!policy.warningIcon().isVisible());

    // Clicking the checked button again stores the same value again.
    QCOMPARE(addSetting(path, SettingsItem{ "illegaLcon", "other", "feature" }), 0);
    QTest::mouseClick(page.findChild<QRadioButton*>("radioButton_Outreachclose"), Qt::LeftButton);
    QCOMPARE(storedRows(path).value("illegaLcon").first, QString("false"));

    QTest::mouseClick(page.findChild<QRadioButton*>("radioButton_Outreachopen"), Qt::LeftButton);
    QCOMPARE(storedRows(path).value("illegaLcon").first, QString("true"));
    QVERIFY(PrinterRegistry::instance().settings().illegaLcon);
    QVERIFY(policy.networkDetect());
    policy.update_network_state(0);
    QCOMPARE(m_balloons, 1);
}

void TestUi::unreachableProbeShowsNoBalloon()
{
    NetworkPolicy policy(ProbeTarget{ "127.0.0.1", closedPort() });
    policy.setOn(true);
    QSignalSpy reports(policy.networkDetect(), &network_detect::send_network_connect_state);
    QVERIFY(reports.wait(10000));
    QCOMPARE(reports.at(0).at(0).toInt(), 0);
    QCOMPARE(m_balloons, 0);
    QVERIFY(!policy.warningIcon().isVisible());
    QVERIFY(!policy.networkDetect()->isConnected());
}

void TestUi::probeRunsOnlyWhileOn()
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
    NetworkPolicy policy(ProbeTarget{ "127.0.0.1", server.serverPort() });
    const int quiet = network_detect::ProbeIntervalMs + 1000;
    QTest::qWait(quiet);
    QCOMPARE(probes, 0);

    policy.setOn(true);
    QTRY_VERIFY_WITH_TIMEOUT(probes >= 1, 10000);
    QTRY_COMPARE(m_balloons, 1);
    QVERIFY(policy.warningIcon().isVisible());

    QElapsedTimer timer;
    timer.start();
    policy.setOn(false);
    // Stopping does not sit out the pause between probes.
    QVERIFY(timer.elapsed() < network_detect::ProbeIntervalMs);
    QVERIFY(!policy.warningIcon().isVisible());
    const int seen = probes;
    QTest::qWait(quiet);
    QCOMPARE(probes, seen);
    QCOMPARE(m_balloons, 1);
}

void TestUi::probeTargetFromConfig_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    const QString builtIn = QString::fromLatin1(ProbeTarget::DefaultHost);
    QTest::newRow("absent") << QByteArray(R"({"excludePort": 1})") << builtIn << 80;
    QTest::newRow("host and port") << QByteArray(R"({"networkProbe": {"host": "127.0.0.9", "port": 8080}})")
                                   << "127.0.0.9" << 8080;
    QTest::newRow("host only") << QByteArray(R"({"networkProbe": {"host": "::1"}})") << "::1" << 80;
    QTest::newRow("port as text") << QByteArray(R"({"networkProbe": {"host": "127.0.0.9", "port": "81"}})") << builtIn
                                  << 80;
    QTest::newRow("port 0") << QByteArray(R"({"networkProbe": {"host": "127.0.0.9", "port": 0}})") << builtIn << 80;
    QTest::newRow("port too big") << QByteArray(R"({"networkProbe": {"host": "127.0.0.9", "port": 70000}})") << builtIn
                                  << 80;
    QTest::newRow("port fraction") << QByteArray(R"({"networkProbe": {"host": "127.0.0.9", "port": 80.5}})") << builtIn
                                   << 80;
    QTest::newRow("empty host") << QByteArray(R"({"networkProbe": {"host": " ", "port": 81}})") << builtIn << 80;
    QTest::newRow("host a number") << QByteArray(R"({"networkProbe": {"host": 7, "port": 81}})") << builtIn << 80;
    QTest::newRow("not an object") << QByteArray(R"({"networkProbe": "127.0.0.9"})") << builtIn << 80;
    QTest::newRow("not JSON") << QByteArray("{networkProbe") << builtIn << 80;
}

void TestUi::probeTargetFromConfig()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, host);
    QFETCH(int, port);
    const ProbeTarget target = ProbeTarget::fromConfig(config);
    QCOMPARE(target.host, host);
    QCOMPARE(int(target.port), port);
}

void TestUi::aboutDialogRowsAndLicence()
{
    AboutDialog dialog;
    dialog.setInfo({ { "产品名称： ", "打印机状态监视器 " },
                     { "产品说明： ", "支持TR-C3000 TR-M400打印机 " },
                     { "版本号： ", "2.5.1-1+0 " },
                     { "版权： ", QString(60, QChar(0x7248)) } });
    QCOMPARE(dialog.windowTitle(), QString("关于"));
    const QList<QLabel*> labels = dialog.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    QStringList texts;
    for (QLabel* label : labels) {
        texts.append(label->text());
    }
    QCOMPARE(texts.mid(0, 6),
             (QStringList{ "产品名称： ", "打印机状态监视器 ", "产品说明： ", "支持TR-C3000 TR-M400打印机 ",
                           "版本号： ", "2.5.1-1+0 " }));
    // The long value is broken into lines that fit the value column.
    const QStringList lines = texts.at(7).split('\n');
    QVERIFY(lines.size() > 1);
    for (const QString& line : lines) {
        QVERIFY(labels.at(7)->fontMetrics().horizontalAdvance(line) <= AboutDialog::ValueWidth);
    }
    QCOMPARE(lines.join(QString()), QString(60, QChar(0x7248)));

    auto* link = dialog.findChild<ActivityLabel*>();
    QVERIFY(link);
    QCOMPARE(link->text(), QString("第三方模块版权信息"));
    QVERIFY(link->font().underline());

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    QTest::mouseClick(link, Qt::RightButton);
    QCOMPARE(catcher.urls.size(), 0);
    QTest::mouseClick(link, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(catcher.urls.size(), 1);
    QVERIFY(catcher.urls.at(0).isLocalFile());
    QVERIFY(catcher.urls.at(0).toLocalFile().endsWith("/../data/LICENCE.txt"));
}

QTEST_MAIN(TestUi)
#include "TestUi.moc"
