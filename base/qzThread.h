// Threads and locks: a few lines over the standard library.
#pragma once

#include <condition_variable>
#include <mutex>

#include "qzCacheExport.h"
#include "qzUtil.h"

namespace qzThread {

class QZCACHE_API Mutex {
public:
    // The flag asks for a mutex that the same thread may lock again while holding it.
    explicit Mutex(bool recursive = true);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void unlock();

private:
    std::recursive_mutex m_mutex;
};

// Scoped lock: lock() blocks until held; destroying it while held releases the mutex.
class QZCACHE_API MutexOp {
public:
    // With `lockNow` false the mutex is taken only by lock().
    explicit MutexOp(Mutex& mutex, bool lockNow = false);
    ~MutexOp();
    MutexOp(const MutexOp&) = delete;
    MutexOp& operator=(const MutexOp&) = delete;

    void lock();
    void unlock();

private:
    Mutex& m_mutex;
    bool m_held;
};

class QZCACHE_API Semaphore {
public:
    explicit Semaphore(int count = 0);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void post();
    void wait();

private:
    std::mutex m_mutex;
    std::condition_variable m_available;
    long m_count;
};

// A thread that runs a function once. The object may be destroyed right after start(): the
// thread runs on until its function returns.
class QZCACHE_API Thread {
public:
    using Function = void (*)(void*);
    Thread(Function function, void* argument);
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    qzUtil::Error start();

private:
    Function m_function;
    void* m_argument;
};

}  // namespace qzThread
