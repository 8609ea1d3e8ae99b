#ifndef PSM_SIMSCENARIO_H
#define PSM_SIMSCENARIO_H

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

// How a simulated printer misbehaves (see README.md).
enum class SimFault {
    None,
    Refuse, // nobody listens: connections are refused
    Silent, // accept and read, never answer
    Delay, // answer after delayMs
    CloseMidFrame, // send half of the reply frame, then close
    Garbage, // answer with bytes that are not a valid frame
    Oversized, // answer with a frame length far above any maximum
    Dribble, // announce a 1 MiB frame, then send one byte every delayMs
    BadToken, // answer as if the login's token had expired
};

// One printer of a scenario file.
struct SimPrinterConfig {
    QString address;
    int port = 0; // 0: the server's default port
    QString model;
    QString deviceId;
    QString mac;
    int state = 0;
    QVector<int> flags;
    QString detail;
    QJsonArray toners; // objects: tonerId, tonerModel, tonerColor, tonerDescription, maxCapacity, suppliesLevel
    int loginResult = 0;
    QString password; // empty: the default account's derived password
    QString versionFirmware = QStringLiteral("2.1.0");
    QString versionEngine = QStringLiteral("1.4.2");
    QString versionProtocol = QStringLiteral("1.2.9");
    SimFault fault = SimFault::None;
    int delayMs = 3000;
    QStringList faultMethods; // empty: every method
};

struct SimScenario {
    QList<SimPrinterConfig> printers;
};

// Parses scenario JSON; returns false and sets error on a bad document.
bool parseScenario(const QByteArray& json, SimScenario& scenario, QString* error);

QString faultName(SimFault fault);

#endif // PSM_SIMSCENARIO_H
