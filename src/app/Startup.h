#ifndef PSM_STARTUP_H
#define PSM_STARTUP_H

#include <QString>

// Set from the first command-line argument and logged; nothing reads it.
extern bool needMemory;

// The steps of start-up, each used once by main().
bool parseNeedMemory(int argc, char** argv);
// The application directory followed by "/../data", not normalised.
QString dataDirectory();
void ensureDataDirectory();
// Keeps Qt from setting up OpenGL, which the agent never draws with; called
// before the application object exists.
void avoidOpenGl();
void loadFont();
void loadTranslations();
// The lock port from config.json "excludePort", 0 when there is none.
int readPort();
int readPortFrom(const QString& configPath);
int portFromConfig(const QByteArray& content);
QString whoami();

#endif // PSM_STARTUP_H
