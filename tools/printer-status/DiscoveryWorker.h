#ifndef PSM_DISCOVERYWORKER_H
#define PSM_DISCOVERYWORKER_H

#include <QHash>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// The exporter's discovery passes, one at a time on a thread of its own. A
// request is answered from the last pass when that pass is recent enough,
// otherwise by the next pass, which every request arriving meanwhile shares:
// a fleet scraped target by target costs one pass every few seconds, not one
// per scrape.
class DiscoveryWorker
{
public:
    using Clock = std::chrono::steady_clock;
    struct Snapshot {
        bool serverSilent = false; // the print server accepted but did not answer
        QStringList names; // the printers found, in order
        QHash<QString, QString> queueByAddress; // network address → its first queue
        Clock::time_point at;
    };
    using Done = std::function<void(const Snapshot&)>;

    // How long the print server may take to answer before a pass gives up.
    static constexpr int CupsAnswerTimeoutMs = 2000;

    DiscoveryWorker();
    ~DiscoveryWorker();

    // Answers on the calling thread when the last pass is at most maxAge
    // old, else on the worker after the next pass.
    void request(Clock::duration maxAge, Done done);
    // Ends the worker; waiting requests get a silent-server snapshot.
    void stop();

private:
    void run();
    static Snapshot pass();

    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::vector<Done> m_waiting;
    std::optional<Snapshot> m_last;
    std::thread m_thread;
};

#endif // PSM_DISCOVERYWORKER_H
