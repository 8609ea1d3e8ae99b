// Preloaded into the ThreadSanitizer test run: these wrappers forward to Qt, which is not built with ThreadSanitizer,
// and tell ThreadSanitizer about Qt's locks and cross-thread hand-overs. libQt5Core binds the calls within itself, so
// only calls from our code and other libraries come through here.
#include <QCoreApplication>
#include <QMutex>
#include <QThreadPool>

#include <cstdarg>
#include <dlfcn.h>
#include <linux/futex.h>
#include <mutex>
#include <pthread.h>
#include <sys/syscall.h>
#include <thread>
#include <unordered_map>

// Weak: processes of the run not built with ThreadSanitizer have none.
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

// Queued signals share one key: the emitter does not know its receivers.
char signalKey;

// Wraps the functor of QMetaObject::invokeMethod: its call, on the receiving thread, is ordered after the request and
// before the deletion, which Qt may do on the requesting thread.
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
    static void impl(int which, QSlotObjectBase* base, QObject* receiver, void** args, bool*)
    {
        auto* self = static_cast<OrderedSlot*>(base);
        tsanAcquire(self);
        if (which == Call) {
            self->m_inner->call(receiver, args);
            tsanRelease(self);
        } else if (which == Destroy) {
            self->m_inner->destroyIfLastRef();
            delete self;
        }
    }

    QtPrivate::QSlotObjectBase* m_inner;
};

std::mutex runningMutex;
std::unordered_map<void*, int> running;

// Changes and returns the count of threads of a start argument whose start routine has not returned yet.
int countRunning(void* argument, int change)
{
    std::lock_guard<std::mutex> lock(runningMutex);
    const int count = running[argument] += change;
    if (count == 0) {
        running.erase(argument);
    }
    return count;
}

using Start = std::pair<void* (*)(void*), void*>; // routine and argument

void* startThread(void* data)
{
    const Start start = *static_cast<Start*>(data);
    delete static_cast<Start*>(data);
    void* result = start.first(start.second);
    tsanRelease(start.second);
    countRunning(start.second, -1);
    return result;
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

// Qt's own mutexes, semaphores and wait conditions wait and wake through futexes; a wake orders what the waker did
// before with what the woken does.
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

// A pool's job is keyed by the job, then by the pool for its waiter; a posted event by its receiver.
void QThreadPool::start(std::function<void()> functionToRun, int priority)
{
    static const auto real
        = next<void (*)(QThreadPool*, std::function<void()>, int)>("_ZN11QThreadPool5startESt8functionIFvvEEi");
    // A plain pointer: this library is not instrumented, so ThreadSanitizer would not see a shared pointer's count
    // order the job's last use.
    auto* job = new std::function<void()>(std::move(functionToRun));
    tsanRelease(job);
    const auto run = [this, job] {
        tsanAcquire(job);
        (*job)();
        delete job;
        tsanRelease(this);
    };
    real(this, run, priority);
}

bool QThreadPool::waitForDone(int msecs)
{
    static const auto real = next<bool (*)(QThreadPool*, int)>("_ZN11QThreadPool11waitForDoneEi");
    const bool done = real(this, msecs);
    if (done) {
        tsanAcquire(this);
    }
    return done;
}

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
    static const auto real = next<decltype(&postEvent)>("_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
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

// A thread's end, which QThread::wait() tells through Qt's own mutex, is keyed by the start argument (the QThread). The
// wait also waits for the start routine to return: finish() wakes the waiter just before it does.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument)
{
    static const auto real = next<decltype(&pthread_create)>("pthread_create");
    countRunning(argument, 1);
    const int result = real(thread, attributes, startThread, new Start(routine, argument));
    if (result != 0) {
        countRunning(argument, -1);
    }
    return result;
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto real = next<bool (*)(QThread*, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool finished = real(this, deadline);
    if (finished) {
        for (int i = 0; i < 5000 && countRunning(this, 0) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        tsanAcquire(this);
    }
    return finished;
}

bool QThread::wait(unsigned long time)
{
    return wait(time == ULONG_MAX ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(time));
}
