#ifndef PSM_STARTUP_H
#define PSM_STARTUP_H

#include <QString>

// Set from the first command-line argument and logged; nothing reads it.
extern bool needMemory;

// The steps of start-up, each used once by main().
bool parseNeedMemory(int argc, char** argv);
void ensureDataDirectory();
// Caps glibc's malloc arenas; called before any thread starts.
void limitMallocArenas();
// Keeps Qt from setting up OpenGL, which the agent never draws with; called
// before the application object exists.
void avoidOpenGl();
// Keeps the event loop running when the last window closes.
void keepRunningWithoutWindows();
void loadFont();
void loadTranslations();
// The lock port from config.json "excludePort", 0 when there is none.
int readPort();
int readPortFrom(const QString& configPath);
int portFromConfig(const QByteArray& content);
// The lock port for a configured value: its low 16 bits, or the built-in
// port when the value is not positive or those bits are all 0 (port 0 would
// let the lock listen on a random port that no later start can find).
quint16 lockPort(int configured);
QString whoami();

#endif // PSM_STARTUP_H
