#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "qzOS.h"
#include "qzString.h"
#include "qzThread.h"
#include "testSupport.h"

using qzString::IString;

namespace {

std::string trunkOf(const char* path) {
    return qzOS::Filename(IString(path, 0)).baseTrunk().asUTF8();
}

std::vector<std::string> sortedNames(const std::vector<IString>& names) {
    std::vector<std::string> out;
    for (const IString& name : names) out.emplace_back(name.asUTF8());
    std::sort(out.begin(), out.end());
    return out;
}

std::string withBackslashes(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

}  // namespace

TEST(Filename, BaseTrunkDropsDirectoryAndExtension) {
    EXPECT_EQ(trunkOf("/a/b/wave.pc2"), "wave");
    EXPECT_EQ(trunkOf("C:\\x\\y.kc"), "y");
    EXPECT_EQ(trunkOf("D:/anim\\mixed/shotFrame1Tick125.kcx"), "shotFrame1Tick125");
    EXPECT_EQ(trunkOf("/a/b/wave"), "wave");
    EXPECT_EQ(trunkOf("wave.pc2"), "wave");
    EXPECT_EQ(trunkOf("wave"), "wave");
    EXPECT_EQ(trunkOf("/a.b/c"), "c");
    EXPECT_EQ(trunkOf("C:\\dir.v2\\take"), "take");
    EXPECT_EQ(trunkOf("/a.b/shotFrame-1.kc"), "shotFrame-1");
    // Only the last extension goes.
    EXPECT_EQ(trunkOf("/cache/shot.v2.kc"), "shot.v2");
    EXPECT_EQ(trunkOf(""), "");
    EXPECT_EQ(trunkOf("/a/b/"), "");
    EXPECT_EQ(trunkOf("/a/\xC3\xA9t\xC3\xA9.xml"), "\xC3\xA9t\xC3\xA9");
}

TEST(Directory, ReadDirListsBareNames) {
    qztest::TempDir dir;
    qztest::writeFileBytes(dir.file("a.kc"), {1});
    qztest::writeFileBytes(dir.file("b"), {});
    qztest::writeFileBytes(dir.file("\xC3\xA9t\xC3\xA9.xml"), {2});
    std::filesystem::create_directory(qztest::fsPath(dir.file("sub")));
    qztest::writeFileBytes(dir.file("sub/inner.kc"), {3});
    const std::vector<std::string> expected = {"a.kc", "b", "sub", "\xC3\xA9t\xC3\xA9.xml"};

    qzOS::File* folder = qzOS::FileFactory::getFileFactory()->createFile(IString(dir.path().c_str(), 0));
    ASSERT_NE(folder, nullptr);
    std::vector<IString> names = {IString("stale", 0)};
    EXPECT_FALSE(folder->readDir(names, false).failed());
    EXPECT_EQ(sortedNames(names), expected);

    // Without the trailing separator, and with "\" separators.
    const std::string bare = dir.path().substr(0, dir.path().size() - 1);
    for (const std::string& path : {bare, withBackslashes(dir.path()), withBackslashes(bare)}) {
        qzOS::File* other = qzOS::FileFactory::getFileFactory()->createFile(IString(path.c_str(), 0));
        ASSERT_NE(other, nullptr) << path;
        std::vector<IString> again;
        EXPECT_FALSE(other->readDir(again, false).failed()) << path;
        EXPECT_EQ(sortedNames(again), expected) << path;
    }
}

TEST(Directory, EmptyPathListsTheCurrentDirectory) {
    qztest::TempDir dir;
    qztest::writeFileBytes(dir.file("here.kc"), {1});
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(qztest::fsPath(dir.path()));
    std::vector<IString> names;
    qzOS::File* folder = qzOS::FileFactory::getFileFactory()->createFile(IString());
    const bool listed = folder && !folder->readDir(names, false).failed();
    std::filesystem::current_path(previous);
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(listed);
    EXPECT_EQ(sortedNames(names), std::vector<std::string>{"here.kc"});
}

TEST(Directory, MissingDirectoryOrFileReportsAnError) {
    qztest::TempDir dir;
    qztest::writeFileBytes(dir.file("plain.kc"), {1});
    for (const std::string& path : {dir.file("missing/"), dir.file("missing"), dir.file("plain.kc")}) {
        qzOS::File* folder = qzOS::FileFactory::getFileFactory()->createFile(IString(path.c_str(), 0));
        if (!folder) continue;  // refusing the object is a failure too
        std::vector<IString> names;
        const qzUtil::Error error = folder->readDir(names, false);
        EXPECT_TRUE(error.failed()) << path;
        EXPECT_NE(error.code(), 0) << path;
        EXPECT_TRUE(names.empty()) << path;
    }
}

namespace {

struct Handoff {
    qzThread::Semaphore go{0};
    qzThread::Semaphore done{0};
    int value = 0;
};

void postAfterGo(void* argument) {
    auto* handoff = static_cast<Handoff*>(argument);
    handoff->go.wait();
    handoff->value = 42;
    handoff->done.post();
}

// Posts, then counts itself done: once every thread is counted, none touches them again.
struct Posts {
    qzThread::Semaphore semaphore{0};
    std::atomic<int> done{0};
};

void postOnce(void* argument) {
    auto* posts = static_cast<Posts*>(argument);
    posts->semaphore.post();
    ++posts->done;
}

}  // namespace

TEST(Threads, ThreadRunsOnAfterItsObjectIsGone) {
    Handoff handoff;
    {
        qzThread::Thread thread(postAfterGo, &handoff);
        EXPECT_FALSE(thread.start().failed());
    }
    // The thread cannot get past its wait before the post, so nothing is written yet.
    EXPECT_EQ(handoff.value, 0);
    handoff.go.post();
    handoff.done.wait();
    EXPECT_EQ(handoff.value, 42);
}

TEST(Threads, EveryStartedThreadRunsAndSemaphoreCountsItsPost) {
    // Many threads at once, so that a thread started but never run (as detached winpthreads
    // threads sometimes were) shows as a missing post within a bound, not as a wait for ever.
    // Static: a thread that runs after the bound must still find it.
    static Posts posts;
    posts.done = 0;
    constexpr int kThreads = 64;
    for (int i = 0; i < kThreads; ++i) {
        qzThread::Thread thread(postOnce, &posts);
        ASSERT_FALSE(thread.start().failed());
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (posts.done < kThreads && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(posts.done, kThreads) << "threads that were started but never ran";
    // Every post is a unit of its own: all of them can be taken, none is lost.
    for (int i = 0; i < kThreads; ++i) posts.semaphore.wait();

    qzThread::Semaphore preset(2);
    preset.wait();
    preset.wait();
    preset.post();
    preset.wait();
}

TEST(Threads, MutexOpExcludesOtherThreads) {
    qzThread::Mutex mutex(true);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            qzThread::MutexOp op(mutex, true);
            op.lock();  // a second lock() on a held op changes nothing
            ++counter;
            op.unlock();
            op.unlock();
        }
    };
    std::thread a(work);
    std::thread b(work);
    work();
    a.join();
    b.join();
    EXPECT_EQ(counter, 60000);
}

TEST(Threads, DestroyingAMutexOpReleasesItsLock) {
    qzThread::Mutex mutex(true);
    {
        qzThread::MutexOp op(mutex, false);
        op.lock();
    }
    {
        qzThread::MutexOp op(mutex, true);
    }
    // Another thread can now take the mutex; if a lock had been kept this would block.
    bool taken = false;
    std::thread other([&] {
        qzThread::MutexOp op(mutex, true);
        taken = true;
    });
    other.join();
    EXPECT_TRUE(taken);

    // An op that was unlocked by hand does not release again when destroyed: the mutex is
    // still held by this thread afterwards.
    mutex.lock();
    {
        qzThread::MutexOp op(mutex, true);
        op.unlock();
    }
    bool blocked = true;
    qzThread::Semaphore started(0);
    std::thread waiter([&] {
        started.post();
        qzThread::MutexOp op(mutex, true);
        blocked = false;
    });
    started.wait();
    EXPECT_TRUE(blocked);
    mutex.unlock();
    waiter.join();
    EXPECT_FALSE(blocked);
}
