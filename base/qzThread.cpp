#include "qzThread.h"

#include <thread>

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

qzUtil::Error Thread::start() {
    if (!m_function) return qzUtil::Error(qzUtil::kFailure);
    try {
        std::thread worker(m_function, m_argument);
        worker.detach();
    } catch (...) {
        return qzUtil::Error(qzUtil::kFailure);
    }
    return qzUtil::Error();
}

}  // namespace qzThread
