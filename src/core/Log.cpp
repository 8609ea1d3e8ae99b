#include "core/Log.h"

#include <QDateTime>

QDebug logLine(const char* operation)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    QDebug line = qDebug();
    line << "[" << stamp << ", " << operation << "]";
    return line;
}
