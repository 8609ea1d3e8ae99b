// Preloaded into the ThreadSanitizer test run. Qt is not built with
// ThreadSanitizer, so it cannot see QMutex: its lock and unlock happen inside
// libQt5Core. These wrappers forward to Qt's own functions and tell
// ThreadSanitizer about the acquire and release, so that data our code
// guards with a QMutex is checked for real races instead of reported always.
#include <QMutex>

#include <dlfcn.h>

// Weak, so that the preloaded library does nothing in processes of the run
// that are not built with ThreadSanitizer.
extern "C" void __tsan_acquire(void* address) __attribute__((weak));
extern "C" void __tsan_release(void* address) __attribute__((weak));

namespace
{
void tsanAcquire(void* address)
{
    if (__tsan_acquire) {
        __tsan_acquire(address);
    }
}

void tsanRelease(void* address)
{
    if (__tsan_release) {
        __tsan_release(address);
    }
}

template <class F> F next(const char* symbol)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}
} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = next<void (*)(QMutex*)>("_ZN6QMutex4lockEv");
    real(this);
    tsanAcquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = next<bool (*)(QMutex*, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = real(this, timeout);
    if (locked) {
        tsanAcquire(this);
    }
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto real = next<void (*)(QMutex*)>("_ZN6QMutex6unlockEv");
    tsanRelease(this);
    real(this);
}

void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = next<void (*)(QBasicMutex*)>("_ZN11QBasicMutex12lockInternalEv");
    real(this);
    tsanAcquire(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = next<bool (*)(QBasicMutex*, int)>("_ZN11QBasicMutex12lockInternalEi");
    const bool locked = real(this, timeout);
    if (locked) {
        tsanAcquire(this);
    }
    return locked;
}

void QBasicMutex::unlockInternal() noexcept
{
    static const auto real = next<void (*)(QBasicMutex*)>("_ZN11QBasicMutex14unlockInternalEv");
    tsanRelease(this);
    real(this);
}

// Qt's own mutexes, semaphores and wait conditions, inside libQt5Core, wait
// and wake through futexes; a wake orders what the waker did before it with
// what the woken thread does after it.

#include <cstdarg>
#include <linux/futex.h>
#include <sys/syscall.h>

extern "C" long syscall(long number, ...)
{
    static const auto real = next<long (*)(long, ...)>("syscall");
    va_list args;
    va_start(args, number);
    long a[6];
    for (long& value : a) {
        value = va_arg(args, long);
    }
    va_end(args);
    if (number != SYS_futex) {
        return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    }
    void* address = reinterpret_cast<void*>(a[0]);
    const int op = static_cast<int>(a[1]) & FUTEX_CMD_MASK;
    if (op == FUTEX_WAKE || op == FUTEX_WAKE_OP || op == FUTEX_REQUEUE || op == FUTEX_CMP_REQUEUE) {
        tsanRelease(address);
    }
    const long result = real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (op == FUTEX_WAIT || op == FUTEX_WAIT_BITSET) {
        tsanAcquire(address);
    }
    return result;
}

// Cross-thread hand-overs inside Qt: a job given to a thread pool, and an
// event (queued slot call, functor or signal) posted to an object of another
// thread. What the sender did before is ordered before what the receiver
// does, keyed by the job or the receiving object. Queued signals are keyed
// by one address for all of them: the emitter does not know its receivers.
#include <QCoreApplication>
#include <QEvent>
#include <QThreadPool>

#include <functional>

namespace
{
char signalKey;
}

void QThreadPool::start(std::function<void()> functionToRun, int priority)
{
    static const auto real
        = next<void (*)(QThreadPool*, std::function<void()>, int)>("_ZN11QThreadPool5startESt8functionIFvvEEi");
    // A plain pointer: this library is not instrumented, so ThreadSanitizer
    // would not see a shared pointer's count order the job's last use.
    auto* job = new std::function<void()>(std::move(functionToRun));
    tsanRelease(job);
    real(
        this,
        [this, job] {
            tsanAcquire(job);
            (*job)();
            delete job;
            tsanRelease(this);
        },
        priority);
}

// Qt tells the waiter through a wait condition of its own.
bool QThreadPool::waitForDone(int msecs)
{
    static const auto real = next<bool (*)(QThreadPool*, int)>("_ZN11QThreadPool11waitForDoneEi");
    const bool done = real(this, msecs);
    if (done) {
        tsanAcquire(this);
    }
    return done;
}

namespace
{
// Wraps the functor of QMetaObject::invokeMethod: its call, on the receiving
// thread, is ordered after the request and before the deletion, which Qt
// may do on the requesting thread.
class OrderedSlot : public QtPrivate::QSlotObjectBase
{
public:
    explicit OrderedSlot(QtPrivate::QSlotObjectBase* inner)
        : QSlotObjectBase(&OrderedSlot::impl)
        , m_inner(inner)
    {
        tsanRelease(this);
    }

private:
    static void impl(int which, QSlotObjectBase* base, QObject* receiver, void** args, bool* ret)
    {
        auto* self = static_cast<OrderedSlot*>(base);
        switch (which) {
        case Call:
            tsanAcquire(self);
            self->m_inner->call(receiver, args);
            tsanRelease(self);
            break;
        case Destroy:
            tsanAcquire(self);
            self->m_inner->destroyIfLastRef();
            delete self;
            break;
        default:
            *ret = false;
            break;
        }
    }

    QtPrivate::QSlotObjectBase* m_inner;
};
} // namespace

bool QMetaObject::invokeMethodImpl(QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type,
                                   void* ret)
{
    static const auto real = next<bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*)>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    tsanRelease(object);
    const bool invoked = real(object, new OrderedSlot(slot), type, ret);
    tsanAcquire(object);
    return invoked;
}

void QMetaObject::activate(QObject* sender, const QMetaObject* meta, int localSignalIndex, void** argv)
{
    static const auto real
        = next<void (*)(QObject*, const QMetaObject*, int, void**)>("_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    tsanRelease(&signalKey);
    real(sender, meta, localSignalIndex, argv);
    tsanRelease(&signalKey);
}

void QObject::deleteLater()
{
    static const auto real = next<void (*)(QObject*)>("_ZN7QObject11deleteLaterEv");
    tsanRelease(this);
    real(this);
}

void QCoreApplication::postEvent(QObject* receiver, QEvent* event, int priority)
{
    static const auto real
        = next<void (*)(QObject*, QEvent*, int)>("_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    tsanRelease(receiver);
    real(receiver, event, priority);
}

bool QObject::event(QEvent* event)
{
    static const auto real = next<bool (*)(QObject*, QEvent*)>("_ZN7QObject5eventEP6QEvent");
    tsanAcquire(this);
    if (event->type() == QEvent::MetaCall) {
        tsanAcquire(&signalKey);
    }
    const bool handled = real(this, event);
    tsanRelease(this);
    return handled;
}

// A thread's end: QThread::wait() returning true orders everything the
// thread did before what its caller does next, but Qt says so through its
// own mutex. Threads are keyed by their start argument (the QThread); the
// wait also waits for the start function to return, as finish() wakes the
// waiter just before it does.
#include <QDeadlineTimer>
#include <QThread>

#include <mutex>
#include <pthread.h>
#include <thread>
#include <unordered_map>

namespace
{
std::mutex runningMutex;
std::unordered_map<void*, int> running;

struct Start {
    void* (*routine)(void*);
    void* argument;
};

void* startThread(void* data)
{
    const Start start = *static_cast<Start*>(data);
    delete static_cast<Start*>(data);
    void* result = start.routine(start.argument);
    tsanRelease(start.argument);
    std::lock_guard<std::mutex> lock(runningMutex);
    if (--running[start.argument] == 0) {
        running.erase(start.argument);
    }
    return result;
}
} // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument)
{
    static const auto real
        = next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
    {
        std::lock_guard<std::mutex> lock(runningMutex);
        ++running[argument];
    }
    const int result = real(thread, attributes, startThread, new Start{ routine, argument });
    if (result != 0) {
        std::lock_guard<std::mutex> lock(runningMutex);
        if (--running[argument] == 0) {
            running.erase(argument);
        }
    }
    return result;
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto real = next<bool (*)(QThread*, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = real(this, deadline);
    if (ended) {
        for (int i = 0; i < 5000; ++i) {
            {
                std::lock_guard<std::mutex> lock(runningMutex);
                if (running.count(this) == 0) {
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        tsanAcquire(this);
    }
    return ended;
}

bool QThread::wait(unsigned long time)
{
    return wait(time == ULONG_MAX ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(time));
}
