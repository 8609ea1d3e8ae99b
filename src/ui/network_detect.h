#ifndef PSM_NETWORK_DETECT_H
#define PSM_NETWORK_DETECT_H

#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>

class QEventLoop;

// Where the reachability probe connects to: by default a well-known public
// web server; config.json may name another ("networkProbe").
struct ProbeTarget {
    static constexpr const char* DefaultHost = "www.baidu.com";
    static constexpr quint16 DefaultPort = 80;

    QString host = QString::fromLatin1(DefaultHost);
    quint16 port = DefaultPort;

    // The "networkProbe" object of a config.json content: {"host": text,
    // "port": 1..65535, optional}. The built-in target when the key is
    // absent or anything about it is malformed.
    static ProbeTarget fromConfig(const QByteArray& content);
    static ProbeTarget readConfig(const QString& path);
};

// Checks every few seconds whether the workstation reaches the internet, by
// opening a TCP connection to a public host, and reports each result.
class network_detect : public QThread
{
    Q_OBJECT

public:
    static constexpr int ConnectTimeoutMs = 5000;
    static constexpr int ProbeIntervalMs = 3000;

    explicit network_detect(QObject* parent = nullptr);
    // Ends the polling loop and waits for it; neither wait is longer than the
    // time the loop needs to notice.
    ~network_detect() override;

    void setTarget(const ProbeTarget& target);
    ProbeTarget target() const;

    void startDetect();
    void stopDetect();
    bool isConnected() const { return m_connected; }

signals:
    void send_network_connect_state(int state);
    void sig_isOnLine(bool onLine);
    void sig_start();

public slots:
    // Reports the last result again.
    void slot_timeout();

protected:
    void run() override;

private:
    bool probe(QEventLoop& loop, const ProbeTarget& target);
    void pause(QEventLoop& loop, int msecs);

    mutable QMutex m_lock; // guards m_target and m_loop
    ProbeTarget m_target;
    QEventLoop* m_loop = nullptr;
    std::atomic_bool m_running{ false };
    std::atomic_bool m_connected{ false };
};

#endif // PSM_NETWORK_DETECT_H
