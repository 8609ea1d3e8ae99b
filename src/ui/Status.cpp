#include "ui/Status.h"
#include "ui_Status.h"

#include "core/Log.h"
#include "core/PrinterRegistry.h"
#include "core/UsbIdentity.h"
#include "status/StatusMessage.h"
#include "status/TonerInfo.h"
#include "ui/NoFocusDelegate.h"
#include "ui/TrayText.h"

#include <QBackingStore>
#include <QCursor>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QMutexLocker>
#include <QProgressBar>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace
{
const QString BusyCode = QString::number(StatusCode::ChannelBusy);

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

int entryChars(const StatusEntry& entry)
{
    int chars = entry.text.size();
    for (const QString& item : entry.statusList) {
        chars += item.size();
    }
    return chars;
}

// Drops the oldest entries beyond the count or the character bound.
void trimHistory(QList<StatusEntry>& entries)
{
    int chars = 0;
    for (const StatusEntry& entry : entries) {
        chars += entryChars(entry);
    }
    while (entries.size() > Status::MaxStatusEntries || (entries.size() > 1 && chars > Status::MaxStatusLogChars)) {
        chars -= entryChars(entries.first());
        entries.removeFirst();
    }
}

// The serial number of a USB identity "vid:pid:serial", empty for other texts.
QString serialOf(const QString& printerID)
{
    UsbIdentity identity;
    return UsbIdentity::parse(printerID, identity) ? identity.serial : QString();
}
} // namespace

Status::Status(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::Status)
{
    ui->setupUi(this);
    // The toner line may show a printer's own text, which must not render as markup.
    ui->label_toner->setTextFormat(Qt::PlainText);
    m_currentRow = -1;
    setFixedSize(size());

    m_model = new QStandardItemModel(this);
    ui->listView->setModel(m_model);
    ui->listView->setContextMenuPolicy(Qt::CustomContextMenu);
    ui->listView->setMouseTracking(true);
    connect(ui->listView, &QListView::clicked, this, &Status::slotPrinterStatus);
    connect(ui->listView, &QListView::entered, this, &Status::slotListViewtip);
    connect(ui->pushButton, &QPushButton::clicked, this, &Status::on_pushButton_clicked);
    connect(ui->pushButton_2, &QPushButton::clicked, this, &Status::on_pushButton_2_clicked);

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
}

Status::~Status()
{
    delete ui;
}

void Status::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    // A minimised window comes back as it was; a closed one is let go once
    // its hiding has finished.
    if (!event->spontaneous()) {
        QTimer::singleShot(0, this, &Status::releaseWindowSystemResources);
    }
}

void Status::releaseWindowSystemResources()
{
    QBackingStore* store = backingStore();
    if (isVisible() || store == nullptr) {
        return;
    }
    // Most of a session the window is closed, yet its drawing buffer (about
    // 1.5 MiB shared with the X server) would stay. Shrunk now, it is made
    // whole again and repainted when the window next shows.
    store->resize(QSize(1, 1));
#ifdef __GLIBC__
    // Hand the freed heap pages back too, not only those at the heap's top.
    malloc_trim(0);
#endif
}

QString Status::printerKey(int row) const
{
    const QStandardItem* item = row >= 0 ? m_model->item(row) : nullptr;
    if (!item) {
        return QString();
    }
    const QString printerID = item->data(PrinterIdRole).toString();
    return printerID.isEmpty() ? item->text() : printerID;
}

int Status::rowOfKey(const QString& key) const
{
    for (int row = 0; row < m_model->rowCount(); ++row) {
        if (printerKey(row) == key) {
            return row;
        }
    }
    return -1;
}

QString Status::selectedKey() const
{
    return printerKey(ui->listView->currentIndex().row());
}

QString Status::trayPrinterText(const QString& key) const
{
    const QString prefix = QStringLiteral("打印机：");
    const QStandardItem* item = m_model->item(rowOfKey(key));
    if (!item) {
        return prefix + key;
    }
    // A USB identity means nothing to the user; its product text and serial do.
    const QString serial = serialOf(item->data(PrinterIdRole).toString());
    if (!serial.isEmpty()) {
        return prefix + item->text() + QStringLiteral(" 序列号：") + serial;
    }
    return prefix + item->text();
}

void Status::addRow(const QString& text, const QString& printerID)
{
    const QString key = printerID.isEmpty() ? text : printerID;
    if (rowOfKey(key) >= 0) {
        PSM_LOG << "printer already listed" << key;
        return;
    }
    auto* item = new QStandardItem(text);
    if (!printerID.isEmpty()) {
        item->setData(printerID, PrinterIdRole);
    }
    m_model->appendRow(item);

    if (m_currentRow < 0) {
        // The first printer is shown and polled at once.
        m_currentRow = item->row();
        ui->listView->setCurrentIndex(item->index());
        emit sigUpdatePrinterStatus(key);
    }
}

void Status::onAddPrinter(const QString& printerName)
{
    addRow(printerName, QString());
}

void Status::onAddUSBPrinter(const QString& printerName, const QString& printerID)
{
    addRow(printerName, printerID);
}

void Status::onRemovePrinter(const QString& printerName)
{
    QList<int> rows;
    for (int row = m_model->rowCount() - 1; row >= 0; --row) {
        if (printerKey(row) == printerName) {
            rows.append(row);
        }
    }
    if (rows.isEmpty()) {
        PSM_LOG << "current item is null";
        return;
    }

    const int selectedRow = ui->listView->currentIndex().row();
    bool removedSelected = false;
    for (int row : rows) { // descending, so the rows still to go keep their numbers
        removedSelected = removedSelected || row == selectedRow;
        m_model->removeRow(row);
    }

    if (removedSelected) {
        ui->textEdit->clear();
        clearToner();
        ui->listView->setCurrentIndex(m_model->index(0, 0));
    }
    m_currentRow = ui->listView->currentIndex().row();
}

void Status::slotListViewtip(const QModelIndex& index)
{
    const QStandardItem* item = m_model->itemFromIndex(index);
    if (!item) {
        PSM_LOG << "current item is null";
        return;
    }
    m_currentRow = index.row();
    const QString serial = serialOf(item->data(PrinterIdRole).toString());
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
        if (!m_model->itemFromIndex(index)) {
            PSM_LOG << "current item is null";
            clearToner();
            return;
        }
        m_currentRow = index.row();
        key = printerKey(m_currentRow);
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
    m_currentRow = ui->listView->currentIndex().row();
    const QString key = printerKey(m_currentRow);
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

void Status::onPrinterStatusChanged(const QString& printerName, const QStringList& status)
{
    setButtonsEnabled(true);
    ui->label->clear();

    // The printer's channel was busy: there is nothing new to show.
    if (status.contains(BusyCode)) {
        return;
    }

    const PrinterContextPtr context = PrinterRegistry::instance().getPrinterContext(printerName);
    if (context->printerNameIsEmpty() || context->printerName() != printerName) {
        // Removed while the poll ran; its history went with it.
        PSM_LOG << "printer is not registered" << printerName;
        return;
    }

    const QStringList messages = statusMessageList(status);
    QList<StatusEntry> entries = context->statusEntries();
    if (entries.isEmpty() || entries.last().statusList != messages) {
        emit systemTrayShowText(trayPrinterText(printerName), messages);
    }

    const StatusEntry entry{ QDateTime::currentDateTime(), messages, status.join(QLatin1Char(',')) };
    entries.append(entry);
    trimHistory(entries);
    context->setStatusEntries(entries);

    if (printerName == selectedKey()) {
        appendPrinterStatus(printerName, entry);
    }
}

void Status::appendPrinterStatus(const QString& printerName, const StatusEntry& entry)
{
    QMutexLocker locker(&m_mutex);
    if (rowOfKey(printerName) < 0) {
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
