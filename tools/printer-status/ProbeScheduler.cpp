#include "ProbeScheduler.h"

#include <algorithm>

namespace
{
// How often a cut poll is cut again: it may have been between two calls.
constexpr std::chrono::milliseconds RecutInterval(100);
} // namespace

ProbeScheduler::ProbeScheduler(int maxPolls)
    : m_maxPolls(maxPolls)
{
    m_pool.setMaxThreadCount(maxPolls);
    m_keeper = std::thread([this] { keep(); });
}

ProbeScheduler::~ProbeScheduler()
{
    stop();
}

void ProbeScheduler::request(const QString& key, const Work& work, const Cut& cut, Clock::time_point deadline,
                             Done done)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_stopping) {
            JobPtr& job = m_current[key];
            if (!job) {
                job = std::make_shared<Job>();
                job->key = key;
                job->work = work;
                job->cut = cut;
                m_waiting.push_back(job);
            }
            job->waiters.push_back({ deadline, std::move(done) });
            startWaitingJobs();
            ++m_changes;
            m_wake.notify_all();
            return;
        }
    }
    done(nullptr);
}

bool ProbeScheduler::keyRunning(const QString& key) const
{
    return std::any_of(m_running.begin(), m_running.end(), [&](const JobPtr& job) { return job->key == key; });
}

void ProbeScheduler::startWaitingJobs()
{
    for (auto it = m_waiting.begin(); it != m_waiting.end() && int(m_running.size()) < m_maxPolls;) {
        // A cut poll of the same printer still running goes first.
        if (keyRunning((*it)->key)) {
            ++it;
            continue;
        }
        const JobPtr job = *it;
        it = m_waiting.erase(it);
        m_running.push_back(job);
        m_pool.start([this, job] { runJob(job); });
    }
}

void ProbeScheduler::runJob(const JobPtr& job)
{
    const PrinterResult result = job->work(job->cancelled);
    std::vector<Waiter> waiters;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_running.erase(std::find(m_running.begin(), m_running.end(), job));
        const auto current = m_current.find(job->key);
        if (current != m_current.end() && current->second == job) {
            m_current.erase(current);
        }
        waiters.swap(job->waiters);
        if (!m_stopping) {
            startWaitingJobs();
        }
        ++m_changes;
    }
    m_wake.notify_all();
    for (const Waiter& waiter : waiters) {
        waiter.done(job->cancelled ? nullptr : &result);
    }
}

void ProbeScheduler::expireWaiters(Clock::time_point now, std::vector<Done>& expired, std::vector<Cut>& cuts)
{
    auto expire = [&](Job& job) {
        auto& waiters = job.waiters;
        for (auto it = waiters.begin(); it != waiters.end();) {
            if (m_stopping || it->deadline <= now) {
                expired.push_back(std::move(it->done));
                it = waiters.erase(it);
            } else {
                ++it;
            }
        }
    };
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        expire(**it);
        if ((*it)->waiters.empty()) {
            m_current.erase((*it)->key);
            it = m_waiting.erase(it);
        } else {
            ++it;
        }
    }
    for (const JobPtr& job : m_running) {
        expire(*job);
        if (job->waiters.empty() && !job->cancelled) {
            job->cancelled = true;
            const auto current = m_current.find(job->key);
            if (current != m_current.end() && current->second == job) {
                m_current.erase(current);
            }
        }
        if (job->cancelled) {
            cuts.push_back(job->cut);
        }
    }
}

void ProbeScheduler::keep()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        std::vector<Done> expired;
        std::vector<Cut> cuts;
        expireWaiters(Clock::now(), expired, cuts);
        if (m_stopping && m_running.empty()) {
            break;
        }
        Clock::time_point next = cuts.empty() ? Clock::time_point::max() : Clock::now() + RecutInterval;
        auto earliest = [&next](const JobPtr& job) {
            for (const Waiter& waiter : job->waiters) {
                next = std::min(next, waiter.deadline);
            }
        };
        std::for_each(m_waiting.begin(), m_waiting.end(), earliest);
        std::for_each(m_running.begin(), m_running.end(), earliest);
        const quint64 seen = m_changes;
        lock.unlock();
        for (const Done& done : expired) {
            done(nullptr);
        }
        for (const Cut& cut : cuts) {
            cut();
        }
        lock.lock();
        // A request or an ended poll meanwhile may bring an earlier deadline.
        const auto changed = [this, seen] { return m_changes != seen; };
        if (next == Clock::time_point::max()) {
            m_wake.wait(lock, changed);
        } else {
            m_wake.wait_until(lock, next, changed);
        }
    }
}

void ProbeScheduler::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_stopping) {
            return;
        }
        m_stopping = true;
        ++m_changes;
    }
    m_wake.notify_all();
    m_keeper.join();
    m_pool.waitForDone();
}

int ProbeScheduler::runningPolls() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return int(m_running.size());
}
