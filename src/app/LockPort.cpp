#include "app/LockPort.h"

#include "app/SocketServerLock.h"
#include "core/DataPaths.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

int readPortFrom(const QString& configPath)
{
    QFile file(configPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "readPort:"
                 << "The config file config file not found!";
        return 0;
    }
    return portFromConfig(file.readAll());
}

int portFromConfig(const QByteArray& content)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (document.isNull() || error.error != QJsonParseError::NoError) {
        return 0;
    }
    return document.object().value(QStringLiteral("excludePort")).toInt(0);
}

quint16 lockPort(int configured)
{
    const auto lowBits = static_cast<quint16>(configured & 0xffff);
    return configured > 0 && lowBits != 0 ? lowBits : SocketServerLock::DefaultPort;
}

int readPort()
{
    return readPortFrom(configFilePath());
}
