#ifndef PSM_STARTUP_H
#define PSM_STARTUP_H

#include <QString>

// Set from the first command-line argument and logged; nothing reads it.
extern bool needMemory;

// The steps of start-up, each used once by main().
// "--version" as the only argument: prints the version and returns true,
// before anything needs a display.
bool printVersionIfAsked(int argc, char** argv);
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
// In a Wayland session without an X server (no DISPLAY), runs on the Wayland
// platform; everywhere else on X11, directly or through XWayland. Called
// before the application object exists; a platform the user chose stays.
void choosePlatform();
// Qt ends the process with exit() when the display connection breaks (the
// session ended, the X server or compositor died), while the workers still
// run: from the event loop's start to its end, such an exit is logged and
// taken at once, without tearing down what the workers use.
void endAtOnceOnDisplayLoss();
void eventLoopEnded();
// Keeps the event loop running when the last window closes.
void keepRunningWithoutWindows();
void loadFont();
void loadTranslations();
QString whoami();

#endif // PSM_STARTUP_H
