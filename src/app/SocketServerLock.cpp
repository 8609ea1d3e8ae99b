#include "app/SocketServerLock.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextCodec>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <pwd.h>

#include <memory>
#include <vector>

namespace
{
constexpr int ConnectWaitMs = 2000;
constexpr int WriteWaitMs = 30000;
constexpr int ReadWaitMs = 10000;
constexpr int MaxAttempts = 12;
constexpr int ErrorBoxCloseMs = 100000;

// Without prompts installed (a program with no widgets) nobody is asked:
// the running program is left alone and errors are only logged.
bool answerNo(const QString& title, const QString& text)
{
    qDebug() << "lock question not asked:" << title << text;
    return false;
}

void logError(const QString& title, const QString& text, int)
{
    qDebug() << "lock error:" << title << text;
}

SocketServerLock::QuestionHandler questionHandler = answerNo;
SocketServerLock::ErrorHandler errorHandler = logError;

QString textUpToNul(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul >= 0 ? bytes.left(nul) : bytes);
}

void writeText(QTcpSocket& socket, const QString& text)
{
    QTextStream stream(&socket);
    stream.setCodec("UTF-8");
    stream << text;
    stream.flush();
    socket.flush();
}
} // namespace

void SocketServerLock::setQuestionHandler(QuestionHandler handler)
{
    questionHandler = handler ? std::move(handler) : answerNo;
}

void SocketServerLock::setErrorHandler(ErrorHandler handler)
{
    errorHandler = handler ? std::move(handler) : logError;
}

SocketServerLock::SocketServerLock(const QString& userName, const QString& programName, QObject* parent)
    : QObject(parent)
    , m_userName(userName)
    , m_programName(programName)
    , m_host(QStringLiteral("127.0.0.1"))
{
}

SocketServerLock::~SocketServerLock()
{
    if (m_server) {
        m_server->close();
        delete m_server;
    }
}

void SocketServerLock::setPort(quint16 port)
{
    m_port = port;
}

int SocketServerLock::start()
{
    qDebug() << m_userName;

    QTcpSocket socket;
    socket.connectToHost(m_host, m_port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    int attempt = 0;
    QString answer;

    for (;;) {
        if (!socket.waitForConnected(ConnectWaitMs)) {
            return listen();
        }
        qDebug() << "connected to server";
        answer.clear();

        if (attempt == 0) {
            writeText(socket, m_userName);
            socket.waitForBytesWritten(WriteWaitMs);
            socket.waitForReadyRead(ReadWaitMs);
            const QByteArray received = socket.readAll();
            if (!received.isEmpty()) {
                answer = textUpToNul(received);
                qDebug() << answer;
            }
        }

        QString question;
        if (answer == m_userName + QLatin1String("tool")) {
            question = tr("启动打印机状态监视器将自动退出配置管理工具，请确定是否继续？");
        } else if (answer == m_userName + QLatin1String("agent")) {
            qDebug() << "already running,program will quit";
            return -1;
        } else if (answer == m_userName + QLatin1String("install")) {
            question = tr("启动打印机状态监视器将自动退出安装向导，请确定是否继续？");
        } else {
            qDebug() << "continue to connect server";
            socket.disconnectFromHost();
            if (socket.state() != QAbstractSocket::UnconnectedState) {
                socket.waitForDisconnected(WriteWaitMs);
            }
            socket.close();
        }

        if (!question.isEmpty()) {
            if (!questionHandler(tr("提示"), question)) {
                return -1;
            }
            socket.close();
            socket.connectToHost(m_host, m_port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
            socket.waitForConnected(ConnectWaitMs);
            writeText(socket, QStringLiteral("exit"));
            if (socket.bytesToWrite() == 0 || socket.waitForBytesWritten(WriteWaitMs)) {
                socket.disconnectFromHost();
                if (socket.state() != QAbstractSocket::UnconnectedState) {
                    socket.waitForDisconnected(WriteWaitMs);
                }
                socket.close();
                QThread::sleep(1);
            } else {
                qDebug() << "cannot exit!";
            }
        }

        if (++attempt >= MaxAttempts) {
            qDebug() << "connect error, please relogin";
            return -1;
        }
        // A closed socket makes the next attempt fail to connect at once, and
        // the agent then tries to become the holder through listen().
    }
}

int SocketServerLock::listen()
{
    m_server = new QTcpServer;
    connect(m_server, &QTcpServer::newConnection, this, &SocketServerLock::newSocketConnection);

    if (m_server->listen(QHostAddress(m_host), m_port)) {
        qDebug() << "start listen success 2";
        return 0;
    }
    if (m_server->listen(QHostAddress(m_host), m_port)) {
        qDebug() << "start listen success";
        return 0;
    }
    errorHandler(tr("错误"), tr("启动错误，请重启电脑"), ErrorBoxCloseMs);
    qDebug() << "start listen failed 1, " << m_server->errorString();
    return -1;
}

void SocketServerLock::newSocketConnection()
{
    QTcpSocket* socket = m_server ? m_server->nextPendingConnection() : nullptr;
    if (socket) {
        collectRequest(socket);
    }
}

void SocketServerLock::collectRequest(QTcpSocket* socket)
{
    // The request is gathered from the event loop: a peer that connects and
    // sends nothing must not freeze the agent while it waits, and a greeting
    // that arrives in pieces is judged whole.
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    auto* quiet = new QTimer(socket);
    quiet->setSingleShot(true);
    auto received = std::make_shared<QByteArray>();
    auto handled = std::make_shared<bool>(false);
    auto handle = [this, socket, received, handled] {
        if (!*handled) {
            *handled = true;
            answerRequest(socket, *received);
        }
    };
    auto gather = [socket, received, handled, quiet, handle] {
        if (*handled) {
            return;
        }
        received->append(socket->read(MaxRequestBytes + 1 - received->size()));
        if (received->size() > MaxRequestBytes || socket->state() != QAbstractSocket::ConnectedState) {
            handle();
        } else if (!received->isEmpty()) {
            quiet->start(RequestQuietMs);
        }
    };
    connect(socket, &QTcpSocket::readyRead, this, gather);
    connect(socket, &QTcpSocket::disconnected, this, gather);
    connect(quiet, &QTimer::timeout, this, handle);
    connect(deadline, &QTimer::timeout, this, handle);
    deadline->start(ReadWaitMs);
    gather();
}

namespace
{
// A name that the user database knows; text that could not be a login name
// (undecodable, control characters) is not looked up at all.
bool isLocalLoginName(const QByteArray& name)
{
    QTextCodec::ConverterState state;
    const QString text = QTextCodec::codecForName("UTF-8")->toUnicode(name.constData(), name.size(), &state);
    if (name.isEmpty() || state.invalidChars > 0) {
        return false;
    }
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c.isSpace()) {
            return false;
        }
    }
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    return getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
}
} // namespace

SocketServerLock::Request SocketServerLock::classifyRequest(const QByteArray& received, const QString& userName)
{
    if (received.size() > MaxRequestBytes) {
        return Request::Invalid;
    }
    if (received == "exit") {
        return Request::OtherLogin;
    }
    QByteArray greeting = received;
    if (greeting.endsWith('\n')) {
        greeting.chop(greeting.endsWith("\r\n") ? 2 : 1);
    }
    if (greeting.isEmpty() || QString::fromUtf8(greeting) == userName) {
        return Request::SameUser;
    }
    return isLocalLoginName(greeting) ? Request::OtherLogin : Request::Invalid;
}

void SocketServerLock::answerRequest(QTcpSocket* socket, const QByteArray& received)
{
    const Request kind = classifyRequest(received, m_userName);
    if (kind == Request::Invalid) {
        if (received.size() > MaxRequestBytes) {
            qDebug() << "ignore oversized request from port" << socket->peerPort();
        } else {
            qDebug() << "ignore request" << received << "from port" << socket->peerPort();
        }
        socket->abort();
        socket->deleteLater();
        return;
    }
    const QString request = QString::fromUtf8(received);
    const bool otherLogin = kind == Request::OtherLogin;
    if (otherLogin) {
        qDebug() << "get socket data: " << request << " login, this program will exit";
        m_server->close();
    }
    if (socket->state() == QAbstractSocket::ConnectedState) {
        writeText(*socket, m_userName + m_programName);
    }
    finishConnection(socket, otherLogin);
    if (!otherLogin) {
        qDebug() << "this user login again : " << request;
        // A peer that connected and said nothing is not a start by the user.
        if (!received.isEmpty() || m_userName.isEmpty()) {
            emit sameUserStarted();
        }
    }
}

void SocketServerLock::finishConnection(QTcpSocket* socket, bool quitAfterwards)
{
    auto done = std::make_shared<bool>(false);
    auto finish = [socket, quitAfterwards, done] {
        if (*done) {
            return;
        }
        *done = true;
        socket->close();
        socket->deleteLater();
        if (quitAfterwards) {
            QCoreApplication::quit();
        }
    };
    if (socket->bytesToWrite() == 0 || socket->state() != QAbstractSocket::ConnectedState) {
        finish();
        return;
    }
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(socket, &QTcpSocket::bytesWritten, this, [socket, finish] {
        if (socket->bytesToWrite() == 0) {
            finish();
        }
    });
    connect(socket, &QTcpSocket::disconnected, this, finish);
    connect(deadline, &QTimer::timeout, this, finish);
    deadline->start(WriteWaitMs);
}
