#include "qzThread.h"

#if defined(_WIN32)
#include <cstdint>
#include <memory>
#include <new>

#include <process.h>
#include "qzWindows.h"
#else
#include <thread>
#endif

namespace qzThread {

Mutex::Mutex(bool recursive) : m_recursive(recursive) {}
Mutex::~Mutex() = default;

void Mutex::lock() {
    if (m_recursive) {
        m_recursiveMutex.lock();
    } else {
        m_plainMutex.lock();
    }
}

void Mutex::unlock() {
    if (m_recursive) {
        m_recursiveMutex.unlock();
    } else {
        m_plainMutex.unlock();
    }
}

MutexOp::MutexOp(Mutex& mutex, bool lockNow) : m_mutex(mutex), m_held(false) {
    if (lockNow) lock();
}

MutexOp::~MutexOp() {
    if (m_held) m_mutex.unlock();
}

void MutexOp::lock() {
    if (m_held) return;
    m_mutex.lock();
    m_held = true;
}

void MutexOp::unlock() {
    if (!m_held) return;
    m_held = false;
    m_mutex.unlock();
}

Semaphore::Semaphore(int count) : m_count(count) {}
Semaphore::~Semaphore() = default;

void Semaphore::post() {
    // Notified under the lock: a waiter woken by this post may destroy the semaphore as soon
    // as it returns, so nothing of it may be touched after the mutex is released.
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_count;
    m_available.notify_one();
}

void Semaphore::wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_available.wait(lock, [this] { return m_count > 0; });
    --m_count;
}

Thread::Thread(Function function, void* argument) : m_function(function), m_argument(argument) {}
Thread::~Thread() = default;

#if defined(_WIN32)
namespace {

struct Start {
    Thread::Function function;
    void* argument;
};

unsigned __stdcall runStart(void* data) {
    const std::unique_ptr<Start> start(static_cast<Start*>(data));
    start->function(start->argument);
    return 0;
}

}  // namespace
#endif

qzUtil::Error Thread::start() {
    if (!m_function) return qzUtil::Error(qzUtil::kFailure);
#if defined(_WIN32)
    // Straight from the C runtime: mingw's std::thread goes through winpthreads, whose
    // detached threads now and then never run.
    std::unique_ptr<Start> start(new (std::nothrow) Start{m_function, m_argument});
    if (!start) return qzUtil::Error(qzUtil::kFailure);
    const std::uintptr_t handle = _beginthreadex(nullptr, 0, runStart, start.get(), 0, nullptr);
    if (handle == 0) return qzUtil::Error(qzUtil::kFailure);
    static_cast<void>(start.release());  // the thread owns it now
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return qzUtil::Error();
#else
    try {
        std::thread worker(m_function, m_argument);
        worker.detach();
    } catch (...) {
        return qzUtil::Error(qzUtil::kFailure);
    }
    return qzUtil::Error();
#endif
}

}  // namespace qzThread
