#ifndef PSM_SOCKETSERVERLOCK_H
#define PSM_SOCKETSERVERLOCK_H

#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

// Makes sure only one program of the product family runs on the machine:
// whoever listens on the loopback lock port holds the lock. A starter
// connects first and settles with the holder by a short text exchange: it
// sends its user name, the holder answers its user name followed by its role
// ("agent", "tool" or "install"), and "exit" on a fresh connection asks the
// holder to quit.
class SocketServerLock : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 DefaultPort = 57142;
    // A login name is never longer than this; a longer request is no greeting.
    static constexpr int MaxRequestBytes = 256;
    // A request is complete once the peer has been silent this long (or has
    // hung up): a greeting may arrive in pieces.
    static constexpr int RequestQuietMs = 1000;

    // The modal boxes of the handshake go through these: the agent installs
    // message boxes (installLockPrompts), tests answer without a screen, and
    // without either a question is answered "否" and an error only logged.
    // A question returns true for "是".
    using QuestionHandler = std::function<bool(const QString& title, const QString& text)>;
    using ErrorHandler = std::function<void(const QString& title, const QString& text, int closeAfterMs)>;
    static void setQuestionHandler(QuestionHandler handler);
    static void setErrorHandler(ErrorHandler handler);

    // What the holder makes of a starter's request.
    enum class Request {
        SameUser, // this user again (or nothing sent): answer and keep running
        OtherLogin, // another local user's login or the exit request: answer and quit
        Invalid, // anything else (too long, not a known login name): drop it
    };
    // A greeting is compared without a trailing newline; the exit request
    // only counts as sent, "exit" and nothing more.
    static Request classifyRequest(const QByteArray& received, const QString& userName);

    SocketServerLock(const QString& userName, const QString& programName, QObject* parent = nullptr);
    ~SocketServerLock() override;

    void setPort(quint16 port);
    quint16 port() const { return m_port; }

    // 0 when this process now holds the lock, -1 when it must not run.
    int start();
    int listen();

signals:
    // The holder answered a start of the same user's: the user asked for the
    // program again and should see it.
    void sameUserStarted();

public slots:
    void newSocketConnection();

private:
    void collectRequest(QTcpSocket* socket);
    void answerRequest(QTcpSocket* socket, const QByteArray& received);
    void finishConnection(QTcpSocket* socket, bool quitAfterwards);

    QString m_userName;
    QString m_programName;
    QString m_host;
    quint16 m_port = DefaultPort;
    QTcpServer* m_server = nullptr;
};

#endif // PSM_SOCKETSERVERLOCK_H
