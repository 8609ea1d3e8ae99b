#ifndef PSM_STATUS_H
#define PSM_STATUS_H

#include "core/PrinterContext.h"
#include "ui/PrinterList.h"

#include <QModelIndex>
#include <QMutex>
#include <QStringList>
#include <QWidget>

namespace Ui
{
class Status;
}

// The monitor window: the printer list, and for the selected printer its
// toner, its status log and the refresh and clear buttons. It is a view over
// the session's PrinterList and the registry, built when the user first opens
// it: the list, the selection and every printer's history live on without it.
// It never talks to a printer: it asks the poller for a poll by signal and
// renders the reports.
class Status : public QWidget
{
    Q_OBJECT

public:
    // Lines kept in the shown log while a printer stays selected.
    static constexpr int MaxShownLogLines = 20000;

    explicit Status(PrinterList& printers, QWidget* parent = nullptr);
    ~Status() override;

    // Renders one status entry of the printer into the log.
    void appendPrinterStatus(const QString& printerName, const StatusEntry& entry);
    // Selects the printer and shows its log and toner, as a click on its row
    // does; false when it is not listed.
    bool showPrinter(const QString& printerKey);

    int currentRow() const { return m_printers.currentRow(); }

signals:
    void refreshPrinterStatus(QStringList printerList, bool immediate);
    void startListen(bool ifStart);
    void stopListen(bool ifStop);
    void showSystemTray();
    void hideSystemTray();
    void sigUpdatePrinterStatus(QString printerName);
    void showAddPrinter();
    // The window was closed (not minimised).
    void closed();

public slots:
    void onReportHandled(const QString& printerName, bool kept);
    void onSelectedRemoved();
    void slotPrinterStatus(const QModelIndex& index);
    void slotListViewtip(const QModelIndex& index);
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void addPrinter_menu();

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void renderEntry(const PrinterContextPtr& context, const StatusEntry& entry);
    void showToner(const PrinterContextPtr& context);
    void clearToner();
    void setButtonsEnabled(bool enabled);

    PrinterList& m_printers;
    Ui::Status* ui;
    QMutex m_mutex;
};

#endif // PSM_STATUS_H
