#include "SettingsDatabase.h"
#include "TestPorts.h"
#include "app/PrintAgentClient.h"
#include "core/PrinterRegistry.h"
#include "status/StatusMessage.h"
#include "status/TonerInfo.h"
#include "store/StoreOperations.h"
#include "ui/AboutDialog.h"
#include "ui/Barcode.h"
#include "ui/FunctionsetWidget.h"
#include "ui/NetworkPolicy.h"
#include "ui/Othersettings.h"
#include "ui/PrinterList.h"
#include "ui/Status.h"
#include "ui/UiPrompts.h"
#include "ui/network_detect.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QToolTip>
#include <QTreeWidget>

namespace
{
// A serial may itself hold ":".
const QString UsbId = QStringLiteral("2d8f:a62c:SN:0042");

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
    void monitorWindow();
    void selectionShowsItsLogAndToner();
    void trayTextOncePerChange_data();
    void trayTextOncePerChange();
    void historyIsBounded();
    void settingsLoad_data();
    void settingsLoad();
    void storedSettingsFillThePages();
    void barcodeSaves_data();
    void barcodeSaves();
    void barcodeSurvivesRestart_data();
    void barcodeSurvivesRestart();
    void probeOnlyWhileOn();
    void malformedProbeTargetFallsBack();
    void aboutDialog();

private:
    struct Monitor {
        PrinterList list;
        Status window{ list };
    };
    // A shown monitor window listing P1..Pn, P1 current.
    std::unique_ptr<Monitor> statusWith(int printers);

    QStringList m_prompts;
    int m_balloons = 0;
    QTemporaryDir m_dir;
};

void TestUi::init()
{
    PrinterRegistry::instance().clear();
    PrinterRegistry::instance().settings() = SettingsRecord();
    m_prompts.clear();
    m_balloons = 0;
    UiPrompts::setMessageHandler([this](QMessageBox::Icon icon, const QString&, const QString& text, const QString&) {
        m_prompts << (icon == QMessageBox::Information ? "i " : "w ") + text;
    });
    UiPrompts::setBalloonHandler(
        [this](QSystemTrayIcon&, const QString&, const QString&, QSystemTrayIcon::MessageIcon, int) { ++m_balloons; });
}

std::unique_ptr<TestUi::Monitor> TestUi::statusWith(int printers)
{
    auto monitor = std::make_unique<Monitor>();
    monitor->window.show();
    for (int i = 1; i <= printers; ++i) {
        PrinterRegistry::instance().addPrinterContext(QStringLiteral("10.0.0.%1").arg(i), QStringLiteral("P%1").arg(i),
                                                      false, 0, 0);
        monitor->list.onAddPrinter(QStringLiteral("P%1").arg(i));
    }
    return monitor;
}

void TestUi::monitorWindow()
{
    auto monitor = statusWith(0);
    Status* status = &monitor->window;
    auto* list = child<QListView>(status, "listView");
    auto* log = child<QTextEdit>(status, "textEdit");
    auto* refresh = child<QPushButton>(status, "pushButton");
    QSignalSpy firstPolls(&monitor->list, &PrinterList::sigUpdatePrinterStatus);
    QSignalSpy polls(status, &Status::sigUpdatePrinterStatus);
    QSignalSpy tray(&monitor->list, &PrinterList::systemTrayShowText);

    // The first printer becomes current and is polled, by identity for USB.
    PrinterRegistry::instance().addPrinterContext("TR-C3000", UsbId, true, 0, 0);
    PrinterRegistry::instance().addPrinterContext("10.0.0.2", "P2", false, 0, 0);
    monitor->list.onAddUSBPrinter("TR-C3000", UsbId);
    monitor->list.onAddPrinter("P2");
    QCOMPARE(list->currentIndex().row(), 0);
    QCOMPARE(firstPolls.takeFirst().at(0).toString(), UsbId);
    QVERIFY(firstPolls.isEmpty());

    // The USB row's tooltip is its serial.
    emit list->entered(list->model()->index(0, 0));
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QString("SN:0042"));

    // Refresh disables the buttons until the report; a busy channel has
    // nothing new to show or keep.
    QTest::mouseClick(refresh, Qt::LeftButton);
    QCOMPARE(polls.takeFirst().at(0).toString(), UsbId);
    QVERIFY(!refresh->isEnabled());
    QCOMPARE(child<QLabel>(status, "label")->text(), QString("正在获取..."));
    monitor->list.onPrinterStatusChanged(UsbId, { "999999" });
    QVERIFY(refresh->isEnabled());
    QVERIFY(child<QLabel>(status, "label")->text().isEmpty());
    QCOMPARE(tray.count(), 0);
    QVERIFY(log->toPlainText().isEmpty());

    // The report lands in the selected row's log, a printer's text as plain
    // text; the tray names a USB printer by product and serial, and the
    // message carries the printer's key.
    monitor->list.onPrinterStatusChanged(UsbId, { "20006", "标识码：<b>A&amp;B</b>" });
    monitor->list.onPrinterStatusChanged("P2", { "10001" });
    QCOMPARE(tray.count(), 2);
    QCOMPARE(tray.at(0).at(0).toString(), QString("打印机：TR-C3000 序列号：SN:0042"));
    QCOMPARE(tray.at(1).at(2).toString(), QString("P2"));
    QVERIFY(log->toPlainText().contains(statusMessage(20006) + "\n状态：标识码：<b>A&amp;B</b>"));
    QVERIFY(!log->toPlainText().contains(statusMessage(10001)));

    // A message clicked shows its printer as a click on its row does.
    QVERIFY(status->showPrinter("P2"));
    QCOMPARE(list->currentIndex().row(), 1);
    QCOMPARE(polls.takeFirst().at(0).toString(), QString("P2"));
    QVERIFY(log->toPlainText().contains(statusMessage(10001)));
    QVERIFY(!status->showPrinter("gone"));

    // A window built later, over the same list, shows what was kept.
    Status later(monitor->list);
    QCOMPARE(child<QListView>(&later, "listView")->currentIndex().row(), 1);
    QCOMPARE(child<QTextEdit>(&later, "textEdit")->toPlainText(), log->toPlainText());
}

// Clicking a printer shows its own kept log and toner and asks for a poll;
// clearing the log forgets what was kept.
void TestUi::selectionShowsItsLogAndToner()
{
    auto monitor = statusWith(3);
    Status* status = &monitor->window;
    auto* list = child<QListView>(status, "listView");
    auto* log = child<QTextEdit>(status, "textEdit");
    auto* toner = child<QLabel>(status, "label_toner");
    auto* table = child<QTableWidget>(status, "tableWidget");
    const auto cartridge = [](const char* colour, int level) {
        return QJsonObject{ { "tonerColor", colour }, { "maxCapacity", 200 }, { "suppliesLevel", level } };
    };
    const QJsonObject group{ { "toners", QJsonArray{ cartridge("black", 50), cartridge("cyan", 200) } } };
    auto p1 = PrinterRegistry::instance().getPrinterContext("P1");
    p1->setSupportToner(true);
    p1->setTonerText(QJsonDocument(QJsonObject{ { "tonerGroup", group } }).toJson());
    auto p3 = PrinterRegistry::instance().getPrinterContext("P3");
    p3->setSupportToner(true);
    p3->setTonerText(QString::fromUtf8(TonerFailureText));
    monitor->list.onPrinterStatusChanged("P1", { "20006" });
    monitor->list.onPrinterStatusChanged("P2", { "10001" });
    monitor->list.onPrinterStatusChanged("P3", { "30001" });

    // P1's jam and its two cartridges, each bar at its own level and colour.
    QVERIFY(log->toPlainText().contains(statusMessage(20006)));
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(table->item(0, 0)->text(), tonerColorLabel("black"));
    QCOMPARE(table->item(1, 2)->text(), tonerPercentText(parseToners(p1->tonerText()).at(1)));
    const auto bar = [table](int row) { return table->cellWidget(row, 1)->findChild<QProgressBar*>(); };
    QCOMPARE(bar(0)->value() * 4, bar(0)->maximum());
    QCOMPARE(bar(1)->value(), bar(1)->maximum());
    QVERIFY(bar(0)->styleSheet() != bar(1)->styleSheet());

    QSignalSpy polls(status, &Status::sigUpdatePrinterStatus);
    const auto click = [list](int row) {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(list->model()->index(row, 0)).center());
    };
    click(1); // P2 keeps no toner
    QCOMPARE(polls.takeFirst().at(0).toString(), QString("P2"));
    QVERIFY(log->toPlainText().contains(statusMessage(10001)));
    QVERIFY(!log->toPlainText().contains(statusMessage(20006)));
    QCOMPARE(table->rowCount(), 0);
    click(2); // P3's toner could not be read
    QCOMPARE(toner->text(), QString::fromUtf8(TonerFailureText));
    QCOMPARE(table->rowCount(), 0);

    QTest::mouseClick(child<QPushButton>(status, "pushButton_2"), Qt::LeftButton);
    QVERIFY(log->toPlainText().isEmpty());
    click(0);
    QVERIFY(log->toPlainText().isEmpty());
    QCOMPARE(table->rowCount(), 2);
}

void TestUi::trayTextOncePerChange_data()
{
    QTest::addColumn<int>("printers");
    QTest::addColumn<QList<QStringList>>("reports");
    QTest::addColumn<QList<QStringList>>("expectedTexts");
    const QString normal = statusMessage(10000);
    const QString jam = statusMessage(20006);
    const QString urgent = statusMessage(10003);
    QTest::newRow("change and back") << 2 << QList<QStringList>{ { "10000" }, { "10003", "20006" }, { "10000" } }
                                     << QList<QStringList>{ { normal }, { urgent, jam }, { normal } };
    QTest::newRow("order counts") << 2 << QList<QStringList>{ { "10003", "20006" }, { "20006", "10003" } }
                                  << QList<QStringList>{ { urgent, jam }, { jam, urgent } };
    QTest::newRow("busy in between") << 2 << QList<QStringList>{ { "10000" }, { "999999" }, { "10000" } }
                                     << QList<QStringList>{ { normal } };
    // While the print server is down every record keeps its history.
    QTest::newRow("300 unreachable") << 300 << QList<QStringList>{ { "30001" }, { "30001" } }
                                     << QList<QStringList>{ { statusMessage(StatusCode::NetworkUnreachable) } };
}

void TestUi::trayTextOncePerChange()
{
    QFETCH(int, printers);
    QFETCH(QList<QStringList>, reports);
    QFETCH(QList<QStringList>, expectedTexts);
    auto monitor = statusWith(printers);
    QSignalSpy tray(&monitor->list, &PrinterList::systemTrayShowText);
    // Only P1 is selected: the others reach the tray all the same.
    for (const QStringList& report : reports) {
        for (int i = 1; i <= printers; ++i) {
            monitor->list.onPrinterStatusChanged(QStringLiteral("P%1").arg(i), report);
        }
    }
    QCOMPARE(tray.count(), expectedTexts.size() * printers);
    for (int i = 0; i < tray.count(); ++i) {
        QCOMPARE(tray.at(i).at(0).toString(), QStringLiteral("打印机：P%1").arg(i % printers + 1));
        QCOMPARE(tray.at(i).at(1).toStringList(), expectedTexts.at(i / printers));
    }
}

void TestUi::historyIsBounded()
{
    auto monitor = statusWith(1);
    const int reports = PrinterList::MaxStatusEntries + 3;
    for (int i = 0; i < reports; ++i) {
        monitor->list.onPrinterStatusChanged("P1", { i == reports - 1 ? "10001" : "10000" });
    }
    const auto history = [] { return PrinterRegistry::instance().getPrinterContext("P1")->statusEntries(); };
    QCOMPARE(history().size(), int(PrinterList::MaxStatusEntries));
    QCOMPARE(history().last().statusList, QStringList{ statusMessage(10001) }); // the oldest go

    // Long reports are bounded by the characters the history holds too.
    QStringList longReport;
    for (int code = 20001; code <= 20064; ++code) {
        longReport << QString::number(code);
    }
    for (int i = 0; i < 300; ++i) {
        monitor->list.onPrinterStatusChanged("P1", longReport);
    }
    int chars = 0;
    for (const StatusEntry& entry : history()) {
        chars += entry.text.size() + entry.statusList.join(QString()).size();
    }
    QVERIFY2(chars <= PrinterList::MaxStatusLogChars, qPrintable(QString::number(chars)));
    QCOMPARE(history().last().statusList.size(), longReport.size());
}

void TestUi::settingsLoad_data()
{
    QTest::addColumn<bool>("database");
    QTest::addColumn<QString>("group"); // where illegaLcon=true is stored, if anywhere
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("illegaLcon");
    QTest::newRow("stored") << true << "feature" << 0 << true;
    QTest::newRow("wrong group ignored") << true << "barcode" << 0 << false;
    QTest::newRow("empty table") << true << QString() << 2 << false;
    QTest::newRow("unreadable") << false << QString() << 1 << false;
}

void TestUi::settingsLoad()
{
    QFETCH(bool, database);
    QFETCH(QString, group);
    QFETCH(int, result);
    QFETCH(bool, illegaLcon);
    const QString path = m_dir.filePath(QStringLiteral("load-%1.db").arg(QTest::currentDataTag()));
    QVERIFY(!database || createSettingsDatabase(path));
    QVERIFY(group.isEmpty() || addSetting(path, SettingsItem{ "illegaLcon", "true", group }) == 0);
    SettingsRecord& record = PrinterRegistry::instance().settings();
    QCOMPARE(FunctionsetWidget::loadSettings(path, record), result);
    // The user hears that the stored settings were not read, and which value
    // is in force; a fresh, empty table is no failure.
    QCOMPARE(FunctionsetWidget::loadNotice(result, record),
             result == 1 ? QString("无法读取设置，违规外联检查现为“关”。") : QString());
    QCOMPARE(record.illegaLcon, illegaLcon);
    NetworkPolicy policy(ProbeTarget{ "127.0.0.1", freeLoopbackPort() });
    policy.setOn(record.illegaLcon);
    FunctionsetWidget window(path, policy);
    QCOMPARE(child<QRadioButton>(window.networkPage(), "radioButton_Outreachopen")->isChecked(), illegaLcon);
}

// What another program stored fills the record, then the pages built from it,
// and showing it writes nothing back.
void TestUi::storedSettingsFillThePages()
{
    const QString path = m_dir.filePath("stored.db");
    QVERIFY(createSettingsDatabase(path));
    const QList<SettingsItem> items{ { "retroDoc", "true", "feature" },
                                     { "illegaLcon", "true", "feature" },
                                     { "barContent", "PCName-Time", "barcode" },
                                     { "barPosition", "lowerRight", "barcode" },
                                     { "barHor", "-7", "barcode" },
                                     { "barVer", "-3", "barcode" },
                                     { "barSize", "1.8", "barcode" } };
    for (const SettingsItem& item : items) {
        QVERIFY(addSetting(path, item) == 0);
    }
    const QStringList stored = storedRows(path);
    SettingsRecord& record = PrinterRegistry::instance().settings();
    QCOMPARE(FunctionsetWidget::loadSettings(path, record), int(FunctionsetWidget::LoadOk));
    QVERIFY(record.retroDoc && record.illegaLcon);
    QCOMPARE((QStringList{ record.barContent, record.barPosition, record.barHor, record.barVer, record.barSize }),
             (QStringList{ "PCName-Time", "lowerRight", "-7", "-3", "1.8" }));

    NetworkPolicy policy(ProbeTarget{ "127.0.0.1", freeLoopbackPort() });
    FunctionsetWidget window(path, policy);
    Barcode* page = window.barcodePage();
    QVERIFY(child<QCheckBox>(page, "checkBox_generate")->isChecked());
    QStringList checked;
    for (QCheckBox* box : page->findChildren<QCheckBox*>(QRegularExpression("checkBox_(?!generate)"))) {
        if (box->isChecked()) {
            checked << box->objectName();
        }
    }
    checked.sort();
    QCOMPARE(checked, (QStringList{ "checkBox_time", "checkBox_userName" }));
    QVERIFY(child<QRadioButton>(page, "radioButton_lowerRight")->isChecked());
    QVERIFY(child<QRadioButton>(page, "radioButton_size3")->isChecked());
    QCOMPARE(child<QSpinBox>(page, "spinBox_hor")->value(), -7);
    QCOMPARE(child<QSpinBox>(page, "spinBox_ver")->value(), -3);
    QCOMPARE(storedRows(path), stored);

    // The tree shows the page of the item clicked.
    window.show();
    auto* tree = child<QTreeWidget>(&window, "treeWidget");
    emit tree->itemClicked(tree->topLevelItem(0), 0);
    QVERIFY(window.networkPage()->isVisible() && !page->isVisible());
}

void TestUi::barcodeSaves_data()
{
    // Widgets clicked in turn ("other": another program stores barSize=1.4;
    // "no file", "file": the database taken away, made anew), then the stored
    // rows, the prompts and the offset ranges (horizontal, vertical min, max).
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("prompts");
    QTest::addColumn<QList<int>>("ranges");
    const QString ok = "i 配置成功！";
    const QList<int> upperLeft{ 0, 26, 0, 5 };
    QTest::newRow("nothing changed") << QStringList{ "save" } << QStringList{} << QStringList{ ok } << upperLeft;
    QTest::newRow("generate box saves at once") << QStringList{ "checkBox_generate", "checkBox_generate" }
                                                << QStringList{ "retroDoc=false" } << QStringList{} << upperLeft;
    QTest::newRow("content joined in its order")
        << QStringList{ "checkBox_pages", "checkBox_printName", "checkBox_time", "checkBox_printIp", "save" }
        << QStringList{ "barContent=PrinterName-PrinterIP---Time--Pages" } << QStringList{ ok } << upperLeft;
    QTest::newRow("no content saves dashes") << QStringList{ "checkBox_date", "checkBox_date", "save" }
                                             << QStringList{ "barContent=------" } << QStringList{ ok } << upperLeft;
    // Saved once, an unchanged page writes nothing over another program's row.
    QTest::newRow("second save") << QStringList{ "radioButton_size4", "save", "other", "save" }
                                 << QStringList{ "barSize=1.4" } << QStringList{ ok, ok } << upperLeft;
    // A failed save keeps its changes for the next one.
    QTest::newRow("failed save kept") << QStringList{ "no file", "radioButton_size2", "hor 7", "save", "file", "save" }
                                      << QStringList{ "barHor=7", "barSize=1.6" } << QStringList{ "w 配置失败！", ok }
                                      << upperLeft;
    const QList<QPair<QString, QList<int>>> positions{
        { "upperMiddle", { -26, 26, 0, 5 } }, { "upperRight", { -26, 0, 0, 5 } },
        { "leftMiddle", { 0, 5, -26, 26 } },  { "rightMiddle", { -5, 0, -26, 26 } },
        { "lowerLeft", { 0, 26, -5, 0 } },    { "lowerMiddle", { -26, 26, -5, 0 } },
        { "lowerRight", { -26, 0, -5, 0 } },
    };
    for (const auto& position : positions) {
        QTest::newRow(qPrintable(position.first))
            << QStringList{ "radioButton_" + position.first, "save" } << QStringList{ "barPosition=" + position.first }
            << QStringList{ ok } << position.second;
    }
}

void TestUi::barcodeSaves()
{
    QFETCH(QStringList, clicks);
    QFETCH(QStringList, stored);
    QFETCH(QStringList, prompts);
    QFETCH(QList<int>, ranges);
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
        } else {
            QTest::mouseClick(page.findChild<QWidget*>(name == "save" ? "pushButton_barcode" : name), Qt::LeftButton);
        }
    }
    QCOMPARE(storedRows(path), stored);
    QCOMPARE(m_prompts, prompts);
    auto* hor = child<QSpinBox>(&page, "spinBox_hor");
    auto* ver = child<QSpinBox>(&page, "spinBox_ver");
    QCOMPARE((QList<int>{ hor->minimum(), hor->maximum(), ver->minimum(), ver->maximum() }), ranges);
    const QString verRange = QStringLiteral("纵向取值范围：%1mm~%2mm").arg(ranges[2]).arg(ranges[3]);
    QCOMPARE(child<QLabel>(&page, "label_verRange")->text(), verRange);
    // The record follows what this page stored.
    const QString size = clicks.contains("other") ? "2.0" : stored.filter("barSize=").value(0).mid(8);
    QCOMPARE(PrinterRegistry::instance().settings().barSize, size);
}

void TestUi::barcodeSurvivesRestart_data()
{
    // What the user sets before saving: widgets clicked, "hor N" and "ver N"
    // typed into the offset boxes.
    QTest::addColumn<QStringList>("clicks");
    const QList<QPair<QString, QStringList>> positions{
        { "upperLeft", { "hor 26", "ver 5" } },    { "upperMiddle", { "hor -26", "ver 5" } },
        { "upperRight", { "hor -26", "ver 1" } },  { "leftMiddle", { "hor 5", "ver -26" } },
        { "rightMiddle", { "hor -5", "ver 26" } }, { "lowerLeft", { "hor 26", "ver -5" } },
        { "lowerMiddle", { "hor 26", "ver -5" } }, { "lowerRight", { "hor -26", "ver -5" } },
    };
    for (const auto& position : positions) {
        QTest::newRow(qPrintable(position.first)) << QStringList{ "radioButton_" + position.first } + position.second;
    }
    for (int size = 1; size <= 4; ++size) {
        QTest::newRow(qPrintable(QStringLiteral("size %1").arg(size)))
            << QStringList{ QStringLiteral("radioButton_size%1").arg(size) };
    }
    const QStringList content{ "checkBox_printName", "checkBox_printIp", "checkBox_userName", "checkBox_date",
                               "checkBox_time",      "checkBox_copies",  "checkBox_pages" };
    for (const QString& box : content) {
        QTest::newRow(qPrintable(box)) << QStringList{ box };
    }
    QTest::newRow("all content") << content;
    QTest::newRow("generate on, then off") << QStringList{ "checkBox_generate", "checkBox_generate" };
    QTest::newRow("generate on") << QStringList{ "checkBox_generate" };
}

// Every value the page stores comes back as it was when the page is built
// again from what another start of the agent reads from the file.
void TestUi::barcodeSurvivesRestart()
{
    QFETCH(QStringList, clicks);
    const QString path = m_dir.filePath(QStringLiteral("restart-%1.db").arg(QTest::currentDataTag()));
    QVERIFY(createSettingsDatabase(path));
    const auto controls = [](Barcode& page) {
        QStringList shown;
        for (QAbstractButton* button : page.findChildren<QAbstractButton*>(QRegularExpression("^(checkBox|radio)"))) {
            shown << button->objectName() + (button->isChecked() ? " on" : " off");
        }
        for (QSpinBox* box : page.findChildren<QSpinBox*>()) {
            shown << box->objectName() + ' ' + QString::number(box->value());
        }
        shown.sort();
        return shown;
    };
    QStringList before;
    {
        Barcode page(path);
        page.initFromSettings();
        page.show();
        for (const QString& click : clicks) {
            if (click.startsWith("hor ") || click.startsWith("ver ")) {
                child<QSpinBox>(&page, click.startsWith("hor") ? "spinBox_hor" : "spinBox_ver")
                    ->setValue(click.mid(4).toInt());
            } else {
                QTest::mouseClick(child<QWidget>(&page, qPrintable(click)), Qt::LeftButton);
            }
        }
        QTest::mouseClick(child<QWidget>(&page, "pushButton_barcode"), Qt::LeftButton);
        before = controls(page);
    }
    SettingsRecord& record = PrinterRegistry::instance().settings();
    record = SettingsRecord();
    QCOMPARE(FunctionsetWidget::loadSettings(path, record), int(FunctionsetWidget::LoadOk));
    Barcode again(path);
    again.initFromSettings();
    QCOMPARE(controls(again), before);
}

void TestUi::malformedProbeTargetFallsBack()
{
    // Absent or malformed: the built-in target, never half of a bad one.
    for (const char* config :
         { R"({})", R"({"networkProbe": {"host": ""}})", R"({"networkProbe": {"host": "127.0.0.1", "port": 0}})",
           R"({"networkProbe": {"host": "127.0.0.1", "port": "9"}})", "{" }) {
        const ProbeTarget target = ProbeTarget::fromConfig(config);
        QCOMPARE(target.host, QString(ProbeTarget::DefaultHost));
        QCOMPARE(int(target.port), 80);
    }
    QCOMPARE(int(ProbeTarget::fromConfig(R"({"networkProbe": {"host": "::1"}})").port), 80);
}

void TestUi::probeOnlyWhileOn()
{
    // The listener stands in for the probe host named in config.json and
    // counts the probes.
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
    NetworkPolicy policy(ProbeTarget::fromConfig(
        QStringLiteral(R"({"networkProbe": {"host": "127.0.0.1", "port": %1}})").arg(server.serverPort()).toUtf8()));
    Othersettings page(path, policy);
    page.initFromSettings();
    page.show();
    const int quiet = network_detect::ProbeIntervalMs + 1000;
    QTest::qWait(quiet);
    QCOMPARE(probes, 0);

    // On: stored, probing, and a reachable host warns once.
    QTest::mouseClick(child<QRadioButton>(&page, "radioButton_Outreachopen"), Qt::LeftButton);
    QCOMPARE(storedRows(path), QStringList{ "illegaLcon=true" });
    QTRY_VERIFY_WITH_TIMEOUT(probes >= 1, 10000);
    QTRY_COMPARE(m_balloons, 1);
    QVERIFY(policy.warningIcon().isVisible());

    // Off hides the warning at once, even from a report queued before, and
    // stops the probe.
    QTest::mouseClick(child<QRadioButton>(&page, "radioButton_Outreachclose"), Qt::LeftButton);
    policy.update_network_state(1);
    QVERIFY(!policy.warningIcon().isVisible());
    const int seen = probes;
    QTest::qWait(quiet);
    QCOMPARE(probes, seen);
    QCOMPARE(m_balloons, 1);
}

void TestUi::aboutDialog()
{
    // The controller's own rows, the long value broken into lines.
    AboutDialog dialog;
    const QList<AboutDialog::InfoRow> rows = PrintAgentClient::aboutRows();
    dialog.setInfo(rows);
    const QList<QLabel*> labels = dialog.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    QStringList keys;
    for (int i = 0; i < rows.size(); ++i) {
        keys << labels.at(2 * i)->text();
        QCOMPARE(labels.at(2 * i + 1)->text().remove('\n').trimmed(), rows.at(i).second.trimmed());
    }
    QCOMPARE(keys, (QStringList{ "产品名称： ", "产品说明： ", "版本号： ", "版权： " }));
    QCOMPARE(rows.at(0).second, QString("打印机状态监视器 "));
}

QTEST_MAIN(TestUi)
#include "TestUi.moc"
