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
    // A copy of its own rather than one sharing the map's data: Qt decides
    // whether to change shared data in place from a relaxed read of its
    // count, which does not order the last reads of a snapshot released on
    // another thread before the next change made here.
    QHash<QString, PrinterContextPtr> snapshot;
    QMutexLocker locker(&m_mutex);
    snapshot.reserve(m_contexts.size());
    for (auto it = m_contexts.constBegin(); it != m_contexts.constEnd(); ++it) {
        snapshot.insert(it.key(), it.value());
    }
    return snapshot;
}

void PrinterRegistry::clear()
{
    QMutexLocker locker(&m_mutex);
    m_contexts.clear();
}
