// Threads and locks: a few lines over the standard library.
#pragma once

#include <condition_variable>
#include <mutex>

#include "qzCacheExport.h"

namespace qzUtil {

// Result of a platform operation: code 0 is success.
class QZCACHE_API Error {
public:
    Error() : m_code(0) {}
    explicit Error(int code) : m_code(code) {}
    int code() const { return m_code; }
    bool failed() const { return m_code != 0; }

private:
    int m_code;
};

enum ErrorCode { kSuccess = 0, kNotFound = 1, kNotADirectory = 2, kAccessDenied = 3, kFailure = 4 };

}  // namespace qzUtil

namespace qzThread {

class QZCACHE_API Mutex {
public:
    // With `recursive` the thread holding the mutex may lock it again (and unlocks it as
    // often); without, it must not, and the mutex is a plain one.
    explicit Mutex(bool recursive = true);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void unlock();

private:
    const bool m_recursive;
    std::recursive_mutex m_recursiveMutex;
    std::mutex m_plainMutex;
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
