#ifndef PSM_LISTENPRINTERSTATUS_H
#define PSM_LISTENPRINTERSTATUS_H

#include <QObject>
#include <QStringList>

#include <atomic>
#include <memory>

class QThreadPool;
class QTimer;

// Polls the registered printers over their private RPC channel and reports
// each poll as a list of status codes. The slots and the timer run on the
// poller's own thread; the polls themselves run side by side on a pool of
// its own, at most one per printer, so a printer that does not answer holds
// up nobody but itself. Reports are emitted from the pool's threads as each
// poll ends.
class ListenPrinterStatus : public QObject
{
    Q_OBJECT

public:
    static constexpr int PollIntervalMs = 60000;
    // Polls that run at once; a poll waiting on its printer for longer than
    // StalledPollMs stops counting, so that hung printers cannot hold up the
    // others. Threads are bounded by this plus the hung printers, and by
    // MaxPollThreads in all.
    static constexpr int MaxActivePolls = 8;
    static constexpr int StalledPollMs = 200;
    static constexpr int MaxPollThreads = 128;
    static constexpr int PoolThreadExpiryMs = 5000;

    explicit ListenPrinterStatus(QObject* parent = nullptr);
    // Cuts the connections of polls in flight and waits for them to end.
    ~ListenPrinterStatus() override;

    // One poll of one printer, on the calling thread (any thread); emits
    // printerStatusChanged with the report.
    void getPrinterStatusOnPrivateChannel(const QString& printerName);
    // The same poll, returning the report instead of emitting it; needs no
    // poller.
    static QStringList pollPrinter(const QString& printerName);

signals:
    void printerStatusChanged(QString printerName, QStringList errorList);

public slots:
    void listenPrinterStatus(const QStringList& printerList, bool immediate);
    void startListenPrinterStatus(bool ifStart);
    void stopListenPrinterStatus(bool ifStop);
    void updatePrinterStatus(const QString& printerName);
    void refreshPrinterStatus();

private:
    struct Tracker;

    // Hands the printer's poll to the pool unless one is in flight.
    void startPoll(const QString& printerName);
    // Hands waiting polls to the pool while fewer than MaxActivePolls run;
    // called with the tracker's mutex held.
    void startWaitingPolls();
    void runPoll(const QString& printerName);
    void setStalledPollsAside();
    void cutPollsInFlight();
    void report(const QString& printerName, const QStringList& list);

    QTimer* m_timer;
    QTimer* m_stallTimer;
    QThreadPool* m_pool;
    std::unique_ptr<Tracker> m_tracker;
    std::atomic<bool> m_stopping{ false };
};

#endif // PSM_LISTENPRINTERSTATUS_H
