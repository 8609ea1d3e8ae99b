#ifndef PSM_PRINTERREGISTRY_H
#define PSM_PRINTERREGISTRY_H

#include "core/PrinterContext.h"
#include "core/SettingsRecord.h"

#include <QHash>
#include <QMutex>

// The process-wide map from printer name to printer record. Every operation
// holds the registry lock for its whole run and calls nothing out while
// holding it, so the lock never nests with another one.
class PrinterRegistry
{
public:
    static PrinterRegistry& instance();

    PrinterContextPtr addPrinterContext(const QString& ip, const QString& printerName, bool isUSB, quint16 usbClassA,
                                        quint16 usbClassB);
    // Never null: an unknown name yields the default record (empty name).
    PrinterContextPtr getPrinterContext(const QString& printerName);
    int removePrinterContext(const QString& printerName);
    QHash<QString, PrinterContextPtr> getPrinterContexts();
    void clear();

    // Used on the GUI thread only (settings window and its pages).
    SettingsRecord& settings() { return m_settings; }

private:
    PrinterRegistry();
    Q_DISABLE_COPY(PrinterRegistry)

    PrinterContextPtr m_defaultContext;
    QHash<QString, PrinterContextPtr> m_contexts;
    SettingsRecord m_settings;
    QMutex m_mutex;
};

#endif // PSM_PRINTERREGISTRY_H
