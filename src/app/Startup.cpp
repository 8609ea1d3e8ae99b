#include "app/Startup.h"

#include "core/DataPaths.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QProcess>
#include <QTranslator>

#include <malloc.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include <cstdio>
#include <cstring>

bool needMemory = false;

bool printVersionIfAsked(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[1], "--version") != 0) {
        return false;
    }
    std::fputs("printer-status-monitor " PSM_VERSION "\n", stdout);
    return std::fflush(stdout) == 0;
}

bool parseNeedMemory(int argc, char** argv)
{
    if (argc < 2) {
        return false;
    }
    // toInt() yields 0 for a text that is not a decimal number, and 1 for "01".
    return QString::fromLocal8Bit(argv[1]).toInt() == 1;
}

void ensureDataDirectory()
{
    QDir dir(dataDirectory());
    if (!dir.exists()) {
        dir.mkdir(dir.absolutePath());
    }
}

void limitMallocArenas()
{
    // glibc gives each thread that allocates an arena of its own, up to
    // eight per core, and each keeps the memory its thread freed. The
    // agent's threads (poll workers included) allocate little, so two
    // arenas serve them all.
    mallopt(M_ARENA_MAX, 2);
    // Blocks of a megabyte and more (a printer's huge reply, a frame) get
    // pages of their own that go back to the system when freed. Left to
    // glibc, the threshold grows with each such block freed, and the next
    // ones stay in the heap for good.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
}

void skipCryptoConfiguration()
{
    // The agent's ciphers and digests (SM4, MD5, the store's AES and key
    // derivation) are all in OpenSSL's default provider, which is there
    // without configuration. Reading and applying the system's file (its
    // settings are for TLS, which the agent does not speak) would keep about
    // 0.4 MiB more of the library resident. Nothing prints OpenSSL's error
    // texts either, so its table of them (about 0.1 MiB of heap) is not built.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS, nullptr);
}

void avoidOpenGl()
{
    // Widgets would otherwise ask for GL-capable windows, and the xcb
    // platform then sets up GLX and, at the first tray balloon, a software
    // GL driver (tens of MB). Nothing in the environment is changed, so
    // programs started from the agent (the licence viewer) keep their GL.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
}

void choosePlatform()
{
    // X11 first: a tray agent needs the tray protocols (XEmbed and
    // StatusNotifierItem both work there, StatusNotifierItem only on Wayland)
    // and to raise its own window when asked, which Wayland does not let a
    // program do. Without an X server Qt would try X11 and abort.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "wayland");
    }
}

namespace
{
std::atomic<bool> eventLoopRunning{ false };

void exitWhileRunning()
{
    if (!eventLoopRunning.load()) {
        return;
    }
    qDebug() << "the display connection is gone: the agent ends";
    _exit(1);
}
} // namespace

void endAtOnceOnDisplayLoss()
{
    eventLoopRunning = true;
    std::atexit(exitWhileRunning);
}

void eventLoopEnded()
{
    eventLoopRunning = false;
}

void keepRunningWithoutWindows()
{
    // The agent lives in the tray: closing the monitor window, or a message
    // box while no window is open, must not end it. It ends through the
    // tray menu's quit entry or the lock's exit request.
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

void loadFont()
{
    const int id = QFontDatabase::addApplicationFont(QCoreApplication::applicationDirPath() + "/wqy-zenhei.ttf");
    if (id < 0) {
        return;
    }
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    if (families.isEmpty()) {
        return;
    }
    QGuiApplication::setFont(QFont(families.first(), 11, QFont::Normal, false));
}

void loadTranslations()
{
    struct Entry {
        const char* file;
        const char* message;
    };
    static const Entry entries[] = {
        { "qt_zh_CN.qm", "qt_zh_CN loaded" },
        { "httpservices_zh_CN.qm", "httpservices lang loaded" },
        { "widgets.qm", "widgets lang loaded" },
    };
    for (const Entry& entry : entries) {
        // Owned by the application, installed until it ends.
        auto* translator = new QTranslator(QCoreApplication::instance());
        if (translator->load(QString::fromLatin1(entry.file), QStringLiteral(":/"))) {
            QCoreApplication::installTranslator(translator);
            qDebug() << entry.message;
        } else {
            delete translator;
        }
    }
}

QString whoami()
{
    QProcess process;
    process.start(QStringLiteral("whoami"), QStringList());
    process.waitForFinished(30000);
    QByteArray output = process.readAllStandardOutput();
    const int nul = output.indexOf('\0');
    if (nul >= 0) {
        output.truncate(nul);
    }
    const QStringList parts = QString::fromLocal8Bit(output).split(QRegExp("\\s+"), Qt::SkipEmptyParts);
    return parts.isEmpty() ? QString() : parts.first();
}
