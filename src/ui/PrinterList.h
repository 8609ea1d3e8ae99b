#ifndef PSM_PRINTERLIST_H
#define PSM_PRINTERLIST_H

#include "core/PrinterContext.h"

#include <QItemSelectionModel>
#include <QObject>
#include <QStandardItemModel>
#include <QStringList>

// The printers the watcher announced, in the order they came, with the one
// selected, and what each report changes: the printer's kept history and a
// tray message when its messages differ from the last ones. It lives for the
// whole session; the monitor window, built only when the user opens it, is a
// view over it and the registry.
//
// A row shows the printer's name; a USB printer's row shows its product text
// and carries its USB identity under PrinterIdRole. The registry, the poller
// and the watcher know a printer by its key: the identity when the row has
// one, the row text otherwise.
class PrinterList : public QObject
{
    Q_OBJECT

public:
    static constexpr int PrinterIdRole = Qt::UserRole + 1;
    // Each printer keeps this many status entries at most; older ones go, so
    // that an agent left running for weeks neither grows nor stalls on a click.
    static constexpr int MaxStatusEntries = 500;
    // A printer's history is also bounded by the characters it holds, so a
    // printer whose reports are long cannot make it grow without end; the
    // newest entry is always kept.
    static constexpr int MaxStatusLogChars = 256 * 1024;

    explicit PrinterList(QObject* parent = nullptr);

    QStandardItemModel* model() { return &m_model; }
    QItemSelectionModel* selectionModel() { return &m_selection; }

    // The key of a row, empty when the row does not exist.
    QString printerKey(int row) const;
    int rowOfKey(const QString& key) const;
    int selectedRow() const { return m_selection.currentIndex().row(); }
    QString selectedKey() const { return printerKey(selectedRow()); }
    // Makes the printer's row the selected one; false when it is not listed.
    bool select(const QString& key);
    // "打印机：" and the printer as the user knows it.
    QString trayPrinterText(const QString& key) const;

    // The row last clicked, hovered, refreshed or added first; -1 before any.
    int currentRow() const { return m_currentRow; }
    void setCurrentRow(int row) { m_currentRow = row; }

signals:
    // Poll this printer now.
    void sigUpdatePrinterStatus(QString printerName);
    // A tray message about the printer whose key is printerKey.
    void systemTrayShowText(QString printer, QStringList info, QString printerKey);
    // A report was handled; kept is false when there was nothing new to keep
    // (a busy channel, a printer removed while its poll ran).
    void reportHandled(QString printerKey, bool kept);
    // The selected printer was taken out of the list.
    void selectedRemoved();

public slots:
    void onAddPrinter(const QString& printerName);
    void onAddUSBPrinter(const QString& printerName, const QString& printerID);
    void onRemovePrinter(const QString& printerName);
    void onPrinterStatusChanged(const QString& printerName, const QStringList& status);

private:
    void addRow(const QString& text, const QString& printerID);

    QStandardItemModel m_model;
    QItemSelectionModel m_selection;
    int m_currentRow = -1;
};

#endif // PSM_PRINTERLIST_H
