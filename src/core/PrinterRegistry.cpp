#include "core/PrinterRegistry.h"

#include "core/Log.h"

#include <QMutexLocker>

PrinterRegistry::PrinterRegistry()
    : m_defaultContext(std::make_shared<PrinterContext>(QString(), QString(), 7, 1))
{
}

PrinterRegistry& PrinterRegistry::instance()
{
    // A function-local static is initialised once even when two threads
    // arrive at the same time; it is deliberately never destroyed.
    static PrinterRegistry* registry = new PrinterRegistry;
    return *registry;
}

PrinterContextPtr PrinterRegistry::addPrinterContext(const QString& ip, const QString& printerName, bool isUSB,
                                                     quint16 usbClassA, quint16 usbClassB)
{
    PSM_LOG << "IP:" << ip << "Name:" << printerName << "isUSB:" << isUSB;

    QMutexLocker locker(&m_mutex);
    auto it = m_contexts.constFind(printerName);
    if (it != m_contexts.constEnd()) {
        return it.value();
    }
    auto context = std::make_shared<PrinterContext>(ip, printerName, usbClassA, usbClassB);
    context->setIsUSB(isUSB);
    m_contexts.insert(printerName, context);
    return context;
}

PrinterContextPtr PrinterRegistry::getPrinterContext(const QString& printerName)
{
    QMutexLocker locker(&m_mutex);
    return m_contexts.value(printerName, m_defaultContext);
}

int PrinterRegistry::removePrinterContext(const QString& printerName)
{
    QMutexLocker locker(&m_mutex);
    return m_contexts.remove(printerName);
}

QHash<QString, PrinterContextPtr> PrinterRegistry::getPrinterContexts()
{
    QMutexLocker locker(&m_mutex);
    return m_contexts;
}

void PrinterRegistry::clear()
{
    QMutexLocker locker(&m_mutex);
    m_contexts.clear();
}
