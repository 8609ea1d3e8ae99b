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
// Keeps OpenSSL from reading the system's configuration file; called before
// anything uses OpenSSL.
void skipCryptoConfiguration();
// Keeps Qt from setting up OpenGL, which the agent never draws with; called
// before the application object exists.
void avoidOpenGl();
// Keeps the event loop running when the last window closes.
void keepRunningWithoutWindows();
void loadFont();
void loadTranslations();
QString whoami();

#endif // PSM_STARTUP_H
