#include "ui/Status.h"
#include "ui_Status.h"

#include "core/Log.h"
#include "core/PrinterRegistry.h"
#include "core/UsbIdentity.h"
#include "status/TonerInfo.h"
#include "ui/NoFocusDelegate.h"

#include <QCursor>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QMutexLocker>
#include <QProgressBar>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>

namespace
{
// The level bar takes the colour of its cartridge.
QString tonerBarColor(const QString& color)
{
    const QString name = color.toLower();
    if (name == QLatin1String("magenta")) {
        return QStringLiteral("#d4177f");
    }
    if (name == QLatin1String("yellow")) {
        return QStringLiteral("#f2c200");
    }
    if (name == QLatin1String("black")) {
        return QStringLiteral("#333333");
    }
    if (name == QLatin1String("cyan")) {
        return QStringLiteral("#0096d6");
    }
    if (name == QLatin1String("red")) {
        return QStringLiteral("#d7282f");
    }
    return QStringLiteral("#8c8c8c");
}

QWidget* makeLevelBar(const TonerEntry& entry)
{
    const TonerBar level = tonerBar(entry);
    auto* bar = new QProgressBar;
    bar->setRange(0, level.maximum);
    bar->setValue(level.value);
    bar->setTextVisible(false);
    bar->setStyleSheet(QStringLiteral("QProgressBar { border: 1px solid #9a9a9a; border-radius: 3px;"
                                      " background: #f2f2f2; }"
                                      "QProgressBar::chunk { background-color: %1; border-radius: 2px; }")
                           .arg(tonerBarColor(entry.tonerColor)));
    // The bar sits in the middle of its cell, not stretched to the row height.
    auto* cell = new QWidget;
    auto* layout = new QHBoxLayout(cell);
    layout->setContentsMargins(4, 8, 8, 8);
    layout->addWidget(bar);
    return cell;
}

// The serial number of a USB identity "vid:pid:serial", empty for other texts.
QString serialOf(const QString& printerID)
{
    UsbIdentity identity;
    return UsbIdentity::parse(printerID, identity) ? identity.serial : QString();
}
} // namespace

Status::Status(PrinterList& printers, QWidget* parent)
    : QWidget(parent)
    , m_printers(printers)
    , ui(new Ui::Status)
{
    ui->setupUi(this);
    // The toner line may show a printer's own text, which must not render as markup.
    ui->label_toner->setTextFormat(Qt::PlainText);
    // A printer left selected for weeks adds a report a minute.
    ui->textEdit->document()->setMaximumBlockCount(MaxShownLogLines);
    setFixedSize(size());

    ui->listView->setModel(m_printers.model());
    ui->listView->setSelectionModel(m_printers.selectionModel());
    ui->listView->setContextMenuPolicy(Qt::CustomContextMenu);
    ui->listView->setMouseTracking(true);
    connect(ui->listView, &QListView::clicked, this, &Status::slotPrinterStatus);
    connect(ui->listView, &QListView::entered, this, &Status::slotListViewtip);
    connect(ui->pushButton, &QPushButton::clicked, this, &Status::on_pushButton_clicked);
    connect(ui->pushButton_2, &QPushButton::clicked, this, &Status::on_pushButton_2_clicked);
    connect(&m_printers, &PrinterList::reportHandled, this, &Status::onReportHandled);
    connect(&m_printers, &PrinterList::selectedRemoved, this, &Status::onSelectedRemoved);

    // The toner table: label, level bar and percentage per cartridge.
    QTableWidget* table = ui->tableWidget;
    table->setItemDelegate(new NoFocusDelegate(table));
    table->setColumnCount(3);
    table->horizontalHeader()->hide();
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(30);
    table->setShowGrid(false);
    table->setFocusPolicy(Qt::NoFocus);
    table->setColumnWidth(0, 150);
    table->setColumnWidth(1, 300);
    table->setColumnWidth(2, 70);

    // Built after the fact: the selected printer's kept history is shown at once.
    const QString key = m_printers.selectedKey();
    if (!key.isEmpty()) {
        const PrinterContextPtr context = PrinterRegistry::instance().getPrinterContext(key);
        for (const StatusEntry& entry : context->statusEntries()) {
            renderEntry(context, entry);
        }
        showToner(context);
    }
}

Status::~Status()
{
    delete ui;
}

void Status::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    // A minimised window comes back as it was; a closed one is announced
    // once its hiding has finished, unless it was shown again meanwhile.
    if (!event->spontaneous()) {
        QTimer::singleShot(0, this, [this] {
            if (!isVisible()) {
                emit closed();
            }
        });
    }
}

void Status::onSelectedRemoved()
{
    ui->textEdit->clear();
    clearToner();
}

bool Status::showPrinter(const QString& printerKey)
{
    if (!m_printers.select(printerKey)) {
        return false;
    }
    slotPrinterStatus(m_printers.model()->index(m_printers.rowOfKey(printerKey), 0));
    return true;
}

void Status::slotListViewtip(const QModelIndex& index)
{
    const QStandardItem* item = m_printers.model()->itemFromIndex(index);
    if (!item) {
        PSM_LOG << "current item is null";
        return;
    }
    m_printers.setCurrentRow(index.row());
    const QString serial = serialOf(item->data(PrinterList::PrinterIdRole).toString());
    if (!serial.isEmpty()) {
        // A tooltip renders anything that looks like markup; the serial comes from the device.
        const QString tip = Qt::mightBeRichText(serial)
            ? QStringLiteral("<p style='white-space:pre'>") + serial.toHtmlEscaped() + QStringLiteral("</p>")
            : serial;
        QToolTip::showText(QCursor::pos(), tip, ui->listView);
    }
}

void Status::slotPrinterStatus(const QModelIndex& index)
{
    QString key;
    {
        QMutexLocker locker(&m_mutex);
        ui->textEdit->clear();
        if (!m_printers.model()->itemFromIndex(index)) {
            PSM_LOG << "current item is null";
            clearToner();
            return;
        }
        m_printers.setCurrentRow(index.row());
        key = m_printers.printerKey(index.row());
        const PrinterContextPtr context = PrinterRegistry::instance().getPrinterContext(key);
        const QList<StatusEntry> entries = context->statusEntries();
        for (const StatusEntry& entry : entries) {
            renderEntry(context, entry);
        }
        showToner(context);
    }
    emit sigUpdatePrinterStatus(key);
}

void Status::on_pushButton_clicked()
{
    m_printers.setCurrentRow(m_printers.selectedRow());
    const QString key = m_printers.selectedKey();
    if (key.isEmpty()) {
        PSM_LOG << "current item is null";
        return;
    }
    setButtonsEnabled(false);
    ui->label->setText(QStringLiteral("正在获取..."));
    emit sigUpdatePrinterStatus(key);
}

void Status::on_pushButton_2_clicked()
{
    ui->textEdit->clear();
    // Forget the kept entries too, or the log comes back on the next click.
    const auto contexts = PrinterRegistry::instance().getPrinterContexts();
    for (const PrinterContextPtr& context : contexts) {
        context->setStatusEntries({});
    }
}

void Status::addPrinter_menu()
{
    emit showAddPrinter();
}

void Status::onReportHandled(const QString& printerName, bool kept)
{
    setButtonsEnabled(true);
    ui->label->clear();
    if (!kept || printerName != m_printers.selectedKey()) {
        return;
    }
    const QList<StatusEntry> entries = PrinterRegistry::instance().getPrinterContext(printerName)->statusEntries();
    if (!entries.isEmpty()) {
        appendPrinterStatus(printerName, entries.last());
    }
}

void Status::appendPrinterStatus(const QString& printerName, const StatusEntry& entry)
{
    QMutexLocker locker(&m_mutex);
    if (m_printers.rowOfKey(printerName) < 0) {
        PSM_LOG << "current item is null";
        return;
    }
    const PrinterContextPtr context = PrinterRegistry::instance().getPrinterContext(printerName);
    renderEntry(context, entry);
    showToner(context);
}

void Status::renderEntry(const PrinterContextPtr& context, const StatusEntry& entry)
{
    QStringList lines;
    lines.append(QStringLiteral("时间：") + entry.time.toString(QStringLiteral("yyyy.MM.dd hh:mm:ss.zzz ddd"))
                 + QStringLiteral("     打印机IP：") + context->ip());
    for (const QString& item : entry.statusList) {
        lines.append(item.contains(QStringLiteral("标识码")) ? QStringLiteral("状态：") + item : item);
    }

    // Plain text paragraphs: a printer's texts are never read as markup.
    QTextDocument* document = ui->textEdit->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    for (const QString& line : lines) {
        if (!document->isEmpty()) {
            cursor.insertBlock();
        }
        cursor.insertText(line);
    }
    QScrollBar* scrollBar = ui->textEdit->verticalScrollBar();
    scrollBar->setValue(scrollBar->maximum());
}

void Status::clearToner()
{
    ui->label_toner->clear();
    ui->tableWidget->clearContents();
    ui->tableWidget->setRowCount(0);
}

void Status::showToner(const PrinterContextPtr& context)
{
    clearToner();
    if (!context->supportToner()) {
        return;
    }
    const TonerView view = tonerView(context->tonerText(), true);
    ui->label_toner->setText(view.label);
    QTableWidget* table = ui->tableWidget;
    table->setRowCount(view.entries.size());
    for (int row = 0; row < view.entries.size(); ++row) {
        const TonerEntry& entry = view.entries.at(row);
        table->setItem(row, 0, new QTableWidgetItem(tonerColorLabel(entry.tonerColor)));
        table->setCellWidget(row, 1, makeLevelBar(entry));
        auto* percent = new QTableWidgetItem(tonerPercentText(entry));
        percent->setTextAlignment(Qt::AlignCenter);
        table->setItem(row, 2, percent);
    }
}

void Status::setButtonsEnabled(bool enabled)
{
    ui->pushButton->setEnabled(enabled);
    ui->pushButton_2->setEnabled(enabled);
}
