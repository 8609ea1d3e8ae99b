#ifndef PSM_LOCKPORT_H
#define PSM_LOCKPORT_H

#include <QByteArray>
#include <QString>

// The lock port from config.json "excludePort", 0 when there is none.
int readPort();
int readPortFrom(const QString& configPath);
int portFromConfig(const QByteArray& content);
// The lock port for a configured value: its low 16 bits, or the built-in
// port when the value is not positive or those bits are all 0 (port 0 would
// let the lock listen on a random port that no later start can find).
quint16 lockPort(int configured);

#endif // PSM_LOCKPORT_H
