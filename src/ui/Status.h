#ifndef PSM_STATUS_H
#define PSM_STATUS_H

#include "core/PrinterContext.h"

#include <QModelIndex>
#include <QMutex>
#include <QStringList>
#include <QWidget>

class QStandardItemModel;

namespace Ui
{
class Status;
}

// The monitor window: the printer list, and for the selected printer its
// toner, its status log and the refresh and clear buttons. It never talks to
// a printer: it asks the poller for a poll by signal and renders the reports.
//
// A row shows the printer's name; a USB printer's row shows its product text
// and carries its USB identity under PrinterIdRole. The registry, the poller
// and the watcher know a printer by its key: the identity when the row has
// one, the row text otherwise.
class Status : public QWidget
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
    // Lines kept in the shown log while a printer stays selected.
    static constexpr int MaxShownLogLines = 20000;

    explicit Status(QWidget* parent = nullptr);
    ~Status() override;

    // Renders one status entry of the printer into the log.
    void appendPrinterStatus(const QString& printerName, const StatusEntry& entry);

    int currentRow() const { return m_currentRow; }
    // The key of a row, empty when the row does not exist.
    QString printerKey(int row) const;

signals:
    void refreshPrinterStatus(QStringList printerList, bool immediate);
    void startListen(bool ifStart);
    void stopListen(bool ifStop);
    void showSystemTray();
    void hideSystemTray();
    void systemTrayShowText(QString printer, QStringList info);
    void sigUpdatePrinterStatus(QString printerName);
    void showAddPrinter();

public slots:
    void onPrinterStatusChanged(const QString& printerName, const QStringList& status);
    void onAddPrinter(const QString& printerName);
    void onAddUSBPrinter(const QString& printerName, const QString& printerID);
    void onRemovePrinter(const QString& printerName);
    void slotPrinterStatus(const QModelIndex& index);
    void slotListViewtip(const QModelIndex& index);
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void addPrinter_menu();

protected:
    void hideEvent(QHideEvent* event) override;

private:
    // Gives a closed window's drawing buffer back.
    void releaseWindowSystemResources();
    void addRow(const QString& text, const QString& printerID);
    int rowOfKey(const QString& key) const;
    QString selectedKey() const;
    // "打印机：" and the printer as the user knows it.
    QString trayPrinterText(const QString& key) const;
    void renderEntry(const PrinterContextPtr& context, const StatusEntry& entry);
    void showToner(const PrinterContextPtr& context);
    void clearToner();
    void setButtonsEnabled(bool enabled);

    Ui::Status* ui;
    QStandardItemModel* m_model;
    int m_currentRow = -1;
    QMutex m_mutex;
};

#endif // PSM_STATUS_H
