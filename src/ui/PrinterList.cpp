#include "ui/PrinterList.h"

#include "core/Log.h"
#include "core/PrinterRegistry.h"
#include "core/UsbIdentity.h"
#include "status/StatusMessage.h"
#include "ui/TrayText.h"

namespace
{
const QString BusyCode = QString::number(StatusCode::ChannelBusy);

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
    while (entries.size() > PrinterList::MaxStatusEntries
           || (entries.size() > 1 && chars > PrinterList::MaxStatusLogChars)) {
        chars -= entryChars(entries.first());
        entries.removeFirst();
    }
}
} // namespace

PrinterList::PrinterList(QObject* parent)
    : QObject(parent)
    , m_selection(&m_model)
{
}

QString PrinterList::printerKey(int row) const
{
    const QStandardItem* item = row >= 0 ? m_model.item(row) : nullptr;
    if (!item) {
        return QString();
    }
    const QString printerID = item->data(PrinterIdRole).toString();
    return printerID.isEmpty() ? item->text() : printerID;
}

int PrinterList::rowOfKey(const QString& key) const
{
    for (int row = 0; row < m_model.rowCount(); ++row) {
        if (printerKey(row) == key) {
            return row;
        }
    }
    return -1;
}

bool PrinterList::select(const QString& key)
{
    const int row = rowOfKey(key);
    if (row < 0) {
        return false;
    }
    m_currentRow = row;
    m_selection.setCurrentIndex(m_model.index(row, 0), QItemSelectionModel::ClearAndSelect);
    return true;
}

QString PrinterList::trayPrinterText(const QString& key) const
{
    const QString prefix = QStringLiteral("打印机：");
    const QStandardItem* item = m_model.item(rowOfKey(key));
    if (!item) {
        return prefix + key;
    }
    // A USB identity means nothing to the user; its product text and serial do.
    UsbIdentity identity;
    if (UsbIdentity::parse(item->data(PrinterIdRole).toString(), identity) && !identity.serial.isEmpty()) {
        return prefix + item->text() + QStringLiteral(" 序列号：") + identity.serial;
    }
    return prefix + item->text();
}

void PrinterList::addRow(const QString& text, const QString& printerID)
{
    const QString key = printerID.isEmpty() ? text : printerID;
    if (rowOfKey(key) >= 0) {
        PSM_LOG << "printer already listed" << key;
        return;
    }
    auto* item = new QStandardItem(text);
    item->setEditable(false);
    if (!printerID.isEmpty()) {
        item->setData(printerID, PrinterIdRole);
    }
    m_model.appendRow(item);

    if (m_currentRow < 0) {
        // The first printer is shown and polled at once.
        select(key);
        emit sigUpdatePrinterStatus(key);
    }
}

void PrinterList::onAddPrinter(const QString& printerName)
{
    addRow(printerName, QString());
}

void PrinterList::onAddUSBPrinter(const QString& printerName, const QString& printerID)
{
    addRow(printerName, printerID);
}

void PrinterList::onRemovePrinter(const QString& printerName)
{
    QList<int> rows;
    for (int row = m_model.rowCount() - 1; row >= 0; --row) {
        if (printerKey(row) == printerName) {
            rows.append(row);
        }
    }
    if (rows.isEmpty()) {
        PSM_LOG << "current item is null";
        return;
    }

    const int selected = selectedRow();
    bool removedSelected = false;
    for (int row : rows) { // descending, so the rows still to go keep their numbers
        removedSelected = removedSelected || row == selected;
        m_model.removeRow(row);
    }
    if (removedSelected) {
        m_selection.setCurrentIndex(m_model.index(0, 0), QItemSelectionModel::ClearAndSelect);
        emit selectedRemoved();
    }
    m_currentRow = selectedRow();
}

void PrinterList::onPrinterStatusChanged(const QString& printerName, const QStringList& status)
{
    // The printer's channel was busy: there is nothing new to show.
    if (status.contains(BusyCode)) {
        emit reportHandled(printerName, false);
        return;
    }
    const PrinterContextPtr context = PrinterRegistry::instance().getPrinterContext(printerName);
    if (context->printerNameIsEmpty() || context->printerName() != printerName) {
        // Removed while the poll ran; its history went with it.
        PSM_LOG << "printer is not registered" << printerName;
        emit reportHandled(printerName, false);
        return;
    }

    const QStringList messages = statusMessageList(status);
    QList<StatusEntry> entries = context->statusEntries();
    if (entries.isEmpty() || entries.last().statusList != messages) {
        emit systemTrayShowText(trayPrinterText(printerName), trayLines(messages), printerName);
    }
    entries.append(StatusEntry{ QDateTime::currentDateTime(), messages, status.join(QLatin1Char(',')) });
    trimHistory(entries);
    context->setStatusEntries(entries);
    emit reportHandled(printerName, true);
}
