#ifndef PSM_PROBESCHEDULER_H
#define PSM_PROBESCHEDULER_H

#include "PrinterResult.h"

#include <QString>
#include <QThreadPool>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Runs the exporter's printer polls: at most maxPolls at once, one at a time
// per printer, each request answered by its deadline.
//
// Requests for a printer whose poll waits or runs share that poll. A request
// whose deadline comes first is answered without a result; a poll that every
// request has given up on is cut (its connections fail at once, again every
// 100 ms until it ends), so that a hung printer holds its slot no longer than
// the scrape that asked for it. A later request for that printer waits for
// the cut poll to end and then polls afresh.
//
// Threads: request() from any thread; polls on a pool of maxPolls threads; a
// keeper thread of its own for the deadlines and the cuts. Answers run on a
// pool thread or the keeper, never under the scheduler's lock.
class ProbeScheduler
{
public:
    using Clock = std::chrono::steady_clock;
    // Polls the printer; cancelled is set once nobody waits for the result.
    using Work = std::function<PrinterResult(const std::atomic<bool>& cancelled)>;
    // Makes the printer's calls in flight fail (callable from any thread).
    using Cut = std::function<void()>;
    // Called once per request: with the result, or null when the deadline
    // came first or the scheduler stopped.
    using Done = std::function<void(const PrinterResult* result)>;

    explicit ProbeScheduler(int maxPolls);
    // Answers every request still waiting and ends the polls in flight.
    ~ProbeScheduler();

    // key names the printer (its registry name).
    void request(const QString& key, const Work& work, const Cut& cut, Clock::time_point deadline, Done done);
    void stop();

    int runningPolls() const;

private:
    struct Waiter {
        Clock::time_point deadline;
        Done done;
    };
    struct Job {
        QString key;
        Work work;
        Cut cut;
        std::vector<Waiter> waiters;
        std::atomic<bool> cancelled{ false };
    };
    using JobPtr = std::shared_ptr<Job>;

    void startWaitingJobs(); // with m_lock held
    bool keyRunning(const QString& key) const;
    void runJob(const JobPtr& job);
    void keep();
    // Takes the waiters whose deadline has passed; with m_lock held.
    void expireWaiters(Clock::time_point now, std::vector<Done>& expired, std::vector<Cut>& cuts);

    const int m_maxPolls;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    quint64 m_changes = 0; // wakes the keeper
    std::map<QString, JobPtr> m_current; // the job new requests for a key join
    std::deque<JobPtr> m_waiting;
    std::vector<JobPtr> m_running;
    QThreadPool m_pool;
    std::thread m_keeper;
};

#endif // PSM_PROBESCHEDULER_H
