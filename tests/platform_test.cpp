#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qzFaultFileSystem.h"
#include "qzFileSystem.h"
#include "qzMemoryFileSystem.h"
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

// Callers never release the directory objects: a process that lists many directories must not
// keep one for each, a thread's objects must not change under another thread, and they go
// with their thread without touching memory that other threads allocate meanwhile.
TEST(Directory, ListingManyPathsKeepsNoObjectPerPath) {
    qztest::TempDir dir;
    std::filesystem::create_directory(qztest::fsPath(dir.file("a")));
    std::filesystem::create_directory(qztest::fsPath(dir.file("b")));
    qztest::writeFileBytes(dir.file("a/1.kc"), {1});
    qztest::writeFileBytes(dir.file("b/2.kc"), {2});
    const auto listing = [](qzOS::File* folder) {
        std::vector<IString> names;
        return folder && !folder->readDir(names, false).failed() ? sortedNames(names)
                                                                  : std::vector<std::string>{"(failed)"};
    };
    const auto listBoth = [&] {
        std::set<qzOS::File*> objects;
        for (int i = 0; i < 2000; ++i) {
            const std::string path = dir.file("missing" + std::to_string(i));
            objects.insert(qzOS::FileFactory::getFileFactory()->createFile(IString(path.c_str(), 0)));
        }
        EXPECT_LE(objects.size(), qzOS::FileFactory::kFilesPerThread);
        for (int round = 0; round < 50; ++round) {
            qzOS::File* a = qzOS::FileFactory::getFileFactory()->createFile(IString(dir.file("a").c_str(), 0));
            qzOS::File* b = qzOS::FileFactory::getFileFactory()->createFile(IString(dir.file("b").c_str(), 0));
            ASSERT_EQ(listing(a), std::vector<std::string>{"1.kc"});
            ASSERT_EQ(listing(b), std::vector<std::string>{"2.kc"});
        }
    };
    std::atomic<bool> listed{false};
    std::thread churn([&] {
        while (!listed) {
            std::vector<std::vector<char>> blocks;
            for (std::size_t size = 8; size < 256; size += 8) blocks.emplace_back(size, '\xA5');
        }
    });
    for (int round = 0; round < 8; ++round) {
        std::thread other(listBoth);
        listBoth();
        other.join();
    }
    listed = true;
    churn.join();
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

// Runs `work` on a thread of its own and waits for it at most 30 s; false when it did not end
// (left blocked: what it uses must be kept alive by the lambda itself). The thread is the
// library's: a detached std::thread of mingw now and then never runs.
bool endsInTime(std::function<void()> work) {
    struct Run {
        std::function<void()> work;
        std::promise<void> ended;
    };
    auto run = std::make_unique<Run>(Run{std::move(work), {}});
    std::future<void> done = run->ended.get_future();
    qzThread::Thread thread(
        [](void* argument) {
            const std::unique_ptr<Run> own(static_cast<Run*>(argument));
            own->work();
            own->ended.set_value();
        },
        run.get());
    if (thread.start().failed()) return false;
    static_cast<void>(run.release());  // the thread's now
    return done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

}  // namespace

TEST(Threads, ThreadRunsOnAfterItsObjectIsGone) {
    auto handoff = std::make_shared<Handoff>();
    {
        qzThread::Thread thread(postAfterGo, handoff.get());
        EXPECT_FALSE(thread.start().failed());
    }
    handoff->go.post();
    ASSERT_TRUE(endsInTime([handoff] { handoff->done.wait(); })) << "the thread did not run on";
    EXPECT_EQ(handoff->value, 42);
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
    EXPECT_TRUE(endsInTime([] {
        for (int i = 0; i < kThreads; ++i) posts.semaphore.wait();
    })) << "a post was lost";
    auto preset = std::make_shared<qzThread::Semaphore>(2);
    EXPECT_TRUE(endsInTime([preset] {
        preset->wait();
        preset->wait();
        preset->post();
        preset->wait();
    })) << "the initial count was not taken";
}

TEST(Threads, MutexOpExcludesOtherThreads) {
    for (const bool recursive : {true, false}) {
        qzThread::Mutex mutex(recursive);
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
        EXPECT_EQ(counter, 60000) << recursive;
    }
}

TEST(Threads, ARecursiveMutexIsTakenAgainByItsHolder) {
    auto mutex = std::make_shared<qzThread::Mutex>(true);
    EXPECT_TRUE(endsInTime([mutex] {
        mutex->lock();
        mutex->lock();
        mutex->unlock();
        mutex->unlock();
    })) << "the holder could not take its own mutex again";
    EXPECT_TRUE(endsInTime([mutex] { qzThread::MutexOp op(*mutex, true); })) << "still held";
}

TEST(Threads, DestroyingAMutexOpReleasesItsLock) {
    auto mutex = std::make_shared<qzThread::Mutex>(true);
    {
        qzThread::MutexOp op(*mutex, false);
        op.lock();
    }
    {
        qzThread::MutexOp op(*mutex, true);
    }
    EXPECT_TRUE(endsInTime([mutex] { qzThread::MutexOp op(*mutex, true); })) << "a lock was kept";

    // An op that was unlocked by hand does not release again when destroyed: the mutex is
    // still held by this thread afterwards, and another thread gets it only once released.
    mutex->lock();
    {
        qzThread::MutexOp op(*mutex, true);
        op.unlock();
    }
    auto taken = std::make_shared<std::atomic<bool>>(false);
    std::thread waiter([mutex, taken] {
        qzThread::MutexOp op(*mutex, true);
        *taken = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(*taken) << "taken while held";
    mutex->unlock();
    waiter.join();
    EXPECT_TRUE(*taken);
}

// ---------------------------------------------------------------------------------------
// The file interface: the same contract from the operating system's files and from memory.

namespace {

using Bytes = std::vector<unsigned char>;

class FileSystemContract : public ::testing::TestWithParam<std::string> {
protected:
    FileSystemContract() {
        if (GetParam() == "memory") {
            m_memory = std::make_unique<qzOS::MemoryFileSystem>();
            m_root = "mem/";
        } else if (GetParam() == "osLongPaths") {
            // Deeper than the 260 characters of Windows' classic path limit.
            m_root = m_dir.path() + std::string(100, 'd') + "/" + std::string(100, 'e') + "/" +
                     std::string(100, 'f') + "/";
            std::filesystem::create_directories(qztest::fsPath(m_root));
        } else {
            m_root = m_dir.path();
        }
    }
    qzOS::FileSystem& files() { return m_memory ? *m_memory : qzOS::systemFileSystem(); }
    std::string path(const std::string& name) const { return m_root + name; }

    std::unique_ptr<qzOS::FileHandle> create(const std::string& name, const std::string& text) {
        auto file = files().open(path(name).c_str(), qzOS::OpenMode::kCreate);
        EXPECT_TRUE(file && file->write(0, text.data(), text.size()));
        return file;
    }
    std::string contents(const std::string& name) {
        auto file = files().open(path(name).c_str(), qzOS::OpenMode::kRead);
        qzOS::FileStatus status;
        if (!file || !file->status(status)) return "(none)";
        std::string text(static_cast<std::size_t>(status.length), '\0');
        std::size_t got = 0;
        EXPECT_TRUE(file->read(0, &text[0], text.size(), got));
        text.resize(got);
        return text;
    }

    qztest::TempDir m_dir;
    std::unique_ptr<qzOS::MemoryFileSystem> m_memory;
    std::string m_root;
};

INSTANTIATE_TEST_SUITE_P(Systems, FileSystemContract, ::testing::Values("os", "osLongPaths", "memory"),
                         [](const ::testing::TestParamInfo<std::string>& system) { return system.param; });

}  // namespace

TEST_P(FileSystemContract, PositionedReadsAndWrites) {
    auto file = create("a.kc", "0123456789");
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write(12, "xy", 2));  // beyond the end: the gap reads as zeros
    ASSERT_TRUE(file->write(3, "AB", 2));
    char buffer[32];
    std::size_t got = 0;
    ASSERT_TRUE(file->read(2, buffer, 6, got));
    EXPECT_EQ(std::string(buffer, got), "2AB567");
    ASSERT_TRUE(file->read(8, buffer, sizeof buffer, got));  // short only at the end
    EXPECT_EQ(std::string(buffer, got), std::string("89\0\0xy", 6));
    ASSERT_TRUE(file->read(100, buffer, 4, got));
    EXPECT_EQ(got, 0u);
    qzOS::FileStatus status;
    ASSERT_TRUE(file->status(status));
    EXPECT_EQ(status.length, 14u);
    EXPECT_TRUE(status.regular);
    EXPECT_TRUE(status.identity.known);
    EXPECT_TRUE(file->flush());
    EXPECT_TRUE(file->sync());
    EXPECT_TRUE(file->close());
    EXPECT_FALSE(file->close());

    // A second handle on the same file reads what the first wrote.
    EXPECT_EQ(contents("a.kc"), std::string("012AB56789\0\0xy", 14));
    qzOS::FileStatus named;
    ASSERT_TRUE(files().status(path("a.kc").c_str(), named));
    EXPECT_EQ(named.identity.node, status.identity.node);
    EXPECT_EQ(named.identity.device, status.identity.device);
}

TEST_P(FileSystemContract, OpenModes) {
    EXPECT_FALSE(files().open(path("none").c_str(), qzOS::OpenMode::kRead));
    EXPECT_FALSE(files().open(path("none").c_str(), qzOS::OpenMode::kReadWrite));
    EXPECT_FALSE(files().open("", qzOS::OpenMode::kCreate));
    create("a.kc", "old contents");
    auto reader = files().open(path("a.kc").c_str(), qzOS::OpenMode::kRead);
    ASSERT_TRUE(reader);
    EXPECT_FALSE(reader->write(0, "x", 1));
    auto appender = files().open(path("a.kc").c_str(), qzOS::OpenMode::kReadWrite);
    ASSERT_TRUE(appender && appender->write(12, "!", 1));
    EXPECT_EQ(contents("a.kc"), "old contents!");
    create("a.kc", "new");  // emptied first
    EXPECT_EQ(contents("a.kc"), "new");
    // A directory is no file.
    if (!m_memory) std::filesystem::create_directory(qztest::fsPath(path("dir")));
    create("dir/inner.kc", "x");
    EXPECT_FALSE(files().open(path("dir").c_str(), qzOS::OpenMode::kRead));
#if defined(_WIN32)
    // Nor is a device, whose reads could wait for ever.
    if (!m_memory) {
        EXPECT_FALSE(files().open("NUL", qzOS::OpenMode::kRead));
    }
#endif
}

TEST_P(FileSystemContract, RenameRemoveAndList) {
    if (!m_memory) std::filesystem::create_directory(qztest::fsPath(path("sub")));
    create("a.kc", "A");
    create("b.kc", "B");
    create("sub/c.kc", "C");
    auto held = files().open(path("b.kc").c_str(), qzOS::OpenMode::kRead);
    ASSERT_TRUE(held);
    bool replaced = files().renameReplacing(path("a.kc").c_str(), path("b.kc").c_str());
    if (!replaced && qztest::kReplacingAHeldFileMayBeRefused && !m_memory) {
        // Refused while held, and nothing lost; once the handle is gone the replace goes through.
        EXPECT_EQ(contents("a.kc"), "A");
        EXPECT_EQ(contents("b.kc"), "B");
        held.reset();
        replaced = files().renameReplacing(path("a.kc").c_str(), path("b.kc").c_str());
    }
    ASSERT_TRUE(replaced);
    EXPECT_EQ(contents("b.kc"), "A");
    EXPECT_EQ(contents("a.kc"), "(none)");
    // A handle open on the replaced file still reads it.
    char byte = 0;
    std::size_t got = 0;
    if (held) {
        ASSERT_TRUE(held->read(0, &byte, 1, got));
        EXPECT_EQ(std::string(&byte, got), "B");
    }
    EXPECT_FALSE(files().renameReplacing(path("a.kc").c_str(), path("c.kc").c_str()));

    std::vector<std::string> names;
    for (const std::string& directory : {m_root, m_root.substr(0, m_root.size() - 1)}) {
        ASSERT_TRUE(files().listDirectory(directory.c_str(), names)) << directory;
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"b.kc", "sub"})) << directory;
    }
    std::string backslashed = path("sub");
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    ASSERT_TRUE(files().listDirectory(backslashed.c_str(), names));
    EXPECT_EQ(names, std::vector<std::string>{"c.kc"});
    EXPECT_FALSE(files().listDirectory(path("missing").c_str(), names));
    EXPECT_FALSE(files().listDirectory(path("b.kc").c_str(), names));
    EXPECT_TRUE(files().syncDirectory(path("sub").c_str()));

    // A file that a handle holds is removed all the same, and the handle reads on.
    auto reader = files().open(path("b.kc").c_str(), qzOS::OpenMode::kRead);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(files().remove(path("b.kc").c_str()));
    ASSERT_TRUE(reader->read(0, &byte, 1, got));
    EXPECT_EQ(std::string(&byte, got), "A");
    reader.reset();
    EXPECT_FALSE(files().remove(path("b.kc").c_str()));
    qzOS::FileStatus status;
    EXPECT_FALSE(files().status(path("b.kc").c_str(), status));
}

TEST_P(FileSystemContract, CopyLinkAndSyncMany) {
    // Larger than the copy's buffer, so that a copy that stops after one round shows.
    std::string big(std::size_t{3} << 19, 'a');
    for (std::size_t i = 0; i < big.size(); i += 4099) big[i] = static_cast<char>('b' + i % 23);
    create("a.kc", big);
    create("taken.kc", "keep");
    bool linked = true;
    ASSERT_TRUE(files().copyFile(path("a.kc").c_str(), path("copy.kc").c_str(), false, linked));
    EXPECT_FALSE(linked);
    ASSERT_TRUE(files().copyFile(path("a.kc").c_str(), path("link.kc").c_str(), true, linked));
    EXPECT_TRUE(linked);  // both systems here can link
    EXPECT_EQ(contents("copy.kc"), big);
    EXPECT_EQ(contents("link.kc"), big);
    // A write through the source shows under the link, never in the copy.
    auto source = files().open(path("a.kc").c_str(), qzOS::OpenMode::kReadWrite);
    ASSERT_TRUE(source && source->write(0, "Z", 1));
    EXPECT_EQ(contents("link.kc")[0], 'Z');
    EXPECT_EQ(contents("copy.kc")[0], big[0]);
    // An existing target is never replaced, and a missing source makes nothing.
    for (bool mayLink : {false, true}) {
        EXPECT_FALSE(files().copyFile(path("a.kc").c_str(), path("taken.kc").c_str(), mayLink, linked));
        EXPECT_EQ(contents("taken.kc"), "keep");
        EXPECT_FALSE(files().copyFile(path("none").c_str(), path("new.kc").c_str(), mayLink, linked));
        EXPECT_EQ(contents("new.kc"), "(none)");
    }
    EXPECT_TRUE(files().syncFiles({path("a.kc"), path("copy.kc"), path("link.kc")}));
    EXPECT_FALSE(files().syncFiles({path("a.kc"), path("none")}));
}

TEST(MemoryFileSystem, ReadsACallersBytesInPlaceUntilWritten) {
    std::string bytes = "abc";
    qzOS::MemoryFileSystem files;
    files.addView("view", bytes.data(), bytes.size());
    auto reader = files.open("view", qzOS::OpenMode::kRead);
    bytes[1] = 'X';  // not copied: the reader sees the caller's bytes
    char buffer[3];
    std::size_t got = 0;
    ASSERT_TRUE(reader && reader->read(0, buffer, 3, got));
    EXPECT_EQ(std::string(buffer, got), "aXc");
    auto writer = files.open("view", qzOS::OpenMode::kReadWrite);
    ASSERT_TRUE(writer && writer->write(0, "z", 1));
    EXPECT_EQ(bytes, "aXc");  // a write copies first
    Bytes stored;
    ASSERT_TRUE(files.contents("view", stored));
    EXPECT_EQ(std::string(stored.begin(), stored.end()), "zXc");
}

TEST(FaultFileSystem, FailsTheChosenCallOnly) {
    using Fault = qzOS::FaultFileSystem;
    qzOS::MemoryFileSystem memory;
    Fault files(memory);
    auto kc = files.open("a.kc", qzOS::OpenMode::kCreate);
    auto xml = files.open("a.xml", qzOS::OpenMode::kCreate);
    ASSERT_TRUE(kc && xml);
    files.failAt(Fault::Operation::kWrite, ".kc", 3);
    files.failAt(Fault::Operation::kWrite, ".xml", 1, Fault::Effect::kShort);
    EXPECT_TRUE(kc->write(0, "ab", 2));
    EXPECT_FALSE(xml->write(0, "abcd", 4));  // stores half
    EXPECT_TRUE(kc->write(2, "cd", 2));
    EXPECT_FALSE(kc->write(4, "ef", 2));  // the third write to a .kc path
    EXPECT_TRUE(kc->write(4, "gh", 2));   // once only
    files.failAt(Fault::Operation::kRead, "a.kc", 1, Fault::Effect::kShort);
    files.failAt(Fault::Operation::kRead, "a.kc", 2);
    char buffer[8];
    std::size_t got = 0;
    EXPECT_TRUE(kc->read(0, buffer, 6, got));
    EXPECT_EQ(std::string(buffer, got), "abc");
    EXPECT_FALSE(kc->read(0, buffer, 6, got));
    EXPECT_TRUE(kc->read(0, buffer, 6, got));
    EXPECT_EQ(std::string(buffer, got), "abcdgh");
    Bytes stored;
    ASSERT_TRUE(memory.contents("a.xml", stored));
    EXPECT_EQ(std::string(stored.begin(), stored.end()), "ab");

    // Until cleared, a repeated fault strikes every matching call.
    files.failAt(Fault::Operation::kSync, "", 2, Fault::Effect::kFail, true);
    EXPECT_TRUE(kc->sync());
    EXPECT_FALSE(xml->sync());
    EXPECT_FALSE(kc->sync());
    files.clearFaults();
    EXPECT_TRUE(kc->sync());
    bool linked = false;
    files.failAt(Fault::Operation::kCopy, "d.kc", 1, Fault::Effect::kShort);
    EXPECT_FALSE(files.copyFile("a.kc", "d.kc", false, linked));
    ASSERT_TRUE(memory.contents("d.kc", stored));  // the part a failed copy leaves
    EXPECT_TRUE(stored.empty());
    EXPECT_TRUE(files.copyFile("a.kc", "e.kc", false, linked));
    files.failAt(Fault::Operation::kRename, "b.kc", 1);
    files.failAt(Fault::Operation::kOpen, "c.kc", 1);
    EXPECT_FALSE(files.renameReplacing("a.kc", "b.kc"));
    EXPECT_TRUE(memory.contents("a.kc", stored));
    EXPECT_FALSE(files.open("c.kc", qzOS::OpenMode::kCreate));
    EXPECT_TRUE(files.open("c.kc", qzOS::OpenMode::kCreate));
    const std::vector<Fault::Call> calls = files.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().operation, Fault::Operation::kOpen);
    EXPECT_EQ(calls.back().path, "c.kc");
}
