#include "DiscoveryWorker.h"

#include "CupsProbe.h"
#include "PrinterPoll.h"
#include "core/PrinterRegistry.h"

DiscoveryWorker::DiscoveryWorker()
    : m_thread([this] { run(); })
{
}

DiscoveryWorker::~DiscoveryWorker()
{
    stop();
}

void DiscoveryWorker::request(Clock::duration maxAge, Done done)
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_last && Clock::now() - m_last->at <= maxAge) {
        const Snapshot snapshot = *m_last;
        lock.unlock();
        done(snapshot);
        return;
    }
    if (m_stopping) {
        lock.unlock();
        Snapshot silent;
        silent.serverSilent = true;
        done(silent);
        return;
    }
    m_waiting.push_back(std::move(done));
    m_wake.notify_all();
}

void DiscoveryWorker::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::vector<Done> waiting;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        waiting.swap(m_waiting);
    }
    Snapshot silent;
    silent.serverSilent = true;
    for (const Done& done : waiting) {
        done(silent);
    }
}

void DiscoveryWorker::run()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
        if (m_stopping) {
            return;
        }
        std::vector<Done> waiting;
        waiting.swap(m_waiting);
        lock.unlock();
        const Snapshot snapshot = pass();
        lock.lock();
        m_last = snapshot;
        lock.unlock();
        for (const Done& done : waiting) {
            done(snapshot);
        }
        lock.lock();
    }
}

DiscoveryWorker::Snapshot DiscoveryWorker::pass()
{
    Snapshot snapshot;
    if (probeCupsServer(CupsAnswerTimeoutMs) == CupsServerState::NoAnswer) {
        snapshot.serverSilent = true;
    } else {
        snapshot.names = PrinterPoll::discover(&PrinterPoll::isAddressRecord);
        const auto records = PrinterRegistry::instance().getPrinterContexts();
        for (const QString& name : qAsConst(snapshot.names)) {
            const PrinterContextPtr printer = records.value(name);
            if (printer && !printer->isUSB() && !snapshot.queueByAddress.contains(printer->ip())) {
                snapshot.queueByAddress.insert(printer->ip(), name);
            }
        }
    }
    snapshot.at = Clock::now();
    return snapshot;
}
