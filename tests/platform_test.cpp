// The base layer: UTF-8 text, names and directories, threads and locks, and the file
// interface, the same contract from the operating system's files and from memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
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

// Decodes from a heap block holding exactly the bytes and their zero, so that a read past the
// end of the input is caught by the address sanitizer.
IString fromUtf8(const std::string& bytes, bool* ok = nullptr) {
    std::vector<char> exact(bytes.begin(), bytes.end());
    exact.push_back('\0');
    return IString(exact.data(), 1, ok);
}

TEST(String, Utf8RoundTripsEverySequenceLength) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"\x7F", u"\x007F"},         {"\xC2\x80", u"\x0080"},         {"\xDF\xBF", u"\x07FF"},
        {"\xE0\xA0\x80", u"\x0800"}, {"\xEF\xBF\xBF", u"\xFFFF"},     {"\xF0\x90\x80\x80", u"\xD800\xDC00"},
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
        {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", u"a\x00E9\x20AC\xD83D\xDE00z"},
    };
    for (const auto& [bytes, chars] : cases) {
        bool ok = false;
        const IString s = fromUtf8(bytes, &ok);
        EXPECT_TRUE(ok) << bytes;
        EXPECT_EQ(s.chars(), chars) << bytes;
        EXPECT_EQ(std::string(s.asUTF8()), bytes);
        EXPECT_EQ(IString(bytes.c_str(), 0).chars(), chars);  // the native encoding is UTF-8 here
    }
}

TEST(String, MalformedUtf8IsReplacedWithoutOverreading) {
    const char* const cases[] = {
        "a\xC3", "a\xE2\x82", "a\xE2", "a\xF0\x9F\x98", "a\xF0\x9F", "a\xF0",  // cut at the end
        "a\xC0\xAFz", "a\xC1\xBFz", "a\xE0\x80\xAFz", "a\xF0\x80\x80\xAFz",     // overlong
        "a\x80z", "a\xBF\xBF\xBFz",                                            // continuations alone
        "a\xED\xA0\x80z", "a\xED\xBF\xBFz", "a\xED\xA0\xBD\xED\xB8\x80z",      // surrogates
        "a\xF4\x90\x80\x80z", "a\xF5\x80\x80\x80z", "a\xF8\x88\x80\x80\x80z", "a\xFC\x84\x80\x80\x80\x80z",
        "a\xFE\xFFz", "a\xC3z", "a\xE2\x82z", "\xF8", "\xFF"};
    for (const std::string bytes : cases) {
        bool ok = true;
        const IString s = fromUtf8(bytes, &ok);
        EXPECT_FALSE(ok) << bytes;
        const std::u16string& chars = s.chars();
        EXPECT_NE(chars.find(u'\xFFFD'), std::u16string::npos) << bytes;
        // The text around the bad bytes survives; the encoded form is well-formed UTF-8 that
        // reads back to the same characters.
        EXPECT_TRUE(bytes[0] != 'a' || chars.front() == u'a') << bytes;
        EXPECT_TRUE(bytes.back() != 'z' || chars.back() == u'z') << bytes;
        bool again = false;
        EXPECT_EQ(fromUtf8(s.asUTF8(), &again).chars(), chars) << bytes;
        EXPECT_TRUE(again) << bytes;
        EXPECT_EQ(s.asUTF8StoreSize(), std::strlen(s.asUTF8()) + 1) << bytes;
    }
}

TEST(Filename, BaseTrunkDropsDirectoryAndLastExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"/a/b/wave.pc2", "wave"}, {"C:\\x\\y.kc", "y"}, {"D:/anim\\mixed/shotFrame1Tick125.kcx", "shotFrame1Tick125"},
        {"wave", "wave"},          {"/a.b/c", "c"},      {"/a.b/shotFrame-1.kc", "shotFrame-1"},
        {"/cache/shot.v2.kc", "shot.v2"}, {"", ""},     {"/a/b/", ""},
        {"/a/\xC3\xA9t\xC3\xA9.xml", "\xC3\xA9t\xC3\xA9"}};
    for (const auto& [path, trunk] : cases) {
        EXPECT_EQ(qzOS::Filename(IString(path, 0)).baseTrunk().asUTF8(), std::string(trunk)) << path;
    }
}

// Callers never release the directory objects: a process that lists many directories must not
// keep one for each, a thread's objects must not change under another thread, and they go
// with their thread without touching memory that other threads allocate meanwhile.
TEST(Directory, ListingManyPathsKeepsNoObjectPerPath) {
    qztest::TempDir dir;
    for (const char* sub : {"a", "b"}) std::filesystem::create_directory(qztest::fsPath(dir.file(sub)));
    qztest::writeFileBytes(dir.file("a/1.kc"), {1});
    qztest::writeFileBytes(dir.file("b/2.kc"), {2});
    const auto directory = [](const std::string& path) {
        return qzOS::FileFactory::getFileFactory()->createFile(IString(path.c_str(), 0));
    };
    const auto listing = [](qzOS::File* folder) {  // a single file in each
        std::vector<IString> names;
        const bool listed = folder && !folder->readDir(names, false).failed() && names.size() == 1;
        return listed ? std::string(names[0].asUTF8()) : std::string("(not listed)");
    };
    const auto listBoth = [&] {
        std::set<qzOS::File*> objects;
        for (int i = 0; i < 2000; ++i) objects.insert(directory(dir.file("missing" + std::to_string(i))));
        EXPECT_LE(objects.size(), qzOS::FileFactory::kFilesPerThread);
        for (int round = 0; round < 50; ++round) {
            qzOS::File* a = directory(dir.file("a"));
            qzOS::File* b = directory(dir.file("b"));
            ASSERT_EQ(listing(a), "1.kc");
            ASSERT_EQ(listing(b), "2.kc");
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

TEST(Threads, MutexOpReleasesWhatItHoldsAndNothingElse) {
    auto mutex = std::make_shared<qzThread::Mutex>(true);
    mutex->lock();
    mutex->lock();  // its holder takes a recursive mutex again
    mutex->unlock();
    { qzThread::MutexOp op(*mutex, true); }
    mutex->unlock();
    { qzThread::MutexOp op(*mutex, false); op.lock(); }
    EXPECT_TRUE(qztest::endsInTime([mutex] { qzThread::MutexOp op(*mutex, true); })) << "a lock was kept";

    // An op unlocked by hand does not release again when destroyed: the mutex is still held by
    // this thread afterwards, and another thread gets it only once released.
    mutex->lock();
    {
        qzThread::MutexOp op(*mutex, true);
        op.unlock();
    }
    auto started = std::make_shared<std::atomic<bool>>(false);
    auto taken = std::make_shared<std::atomic<bool>>(false);
    std::thread waiter([mutex, started, taken] {
        *started = true;
        qzThread::MutexOp op(*mutex, true);
        *taken = true;
    });
    ASSERT_TRUE(qztest::waitUntil([started] { return started->load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(*taken) << "taken while held";
    mutex->unlock();
    EXPECT_TRUE(qztest::waitUntil([taken] { return taken->load(); })) << "not taken once released";
    waiter.join();
}

// ---------------------------------------------------------------------------------------
// The file interface: the same contract from the operating system's files and from memory.

class FileSystemContract : public ::testing::TestWithParam<std::string> {
protected:
    FileSystemContract() {
        if (GetParam() == "memory") {
            m_memory = std::make_unique<qzOS::MemoryFileSystem>();
            m_root = "mem/";
        } else if (GetParam() == "osLongPaths") {
            // Deeper than the 260 characters of Windows' classic path limit.
            for (char c : {'d', 'e', 'f'}) m_root += std::string(100, c) + "/";
            m_root = m_dir.path() + m_root;
            std::filesystem::create_directories(qztest::fsPath(m_root));
        } else {
            m_root = m_dir.path();
        }
        if (!m_memory) std::filesystem::create_directory(qztest::fsPath(path("sub")));
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

TEST_P(FileSystemContract, PositionedReadsWritesAndOpenModes) {
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
    EXPECT_TRUE(file->flush() && file->sync() && file->close());
    EXPECT_FALSE(file->close());
    // A second handle on the same file reads what the first wrote; the name gives its identity.
    EXPECT_EQ(contents("a.kc"), std::string("012AB56789\0\0xy", 14));
    qzOS::FileStatus named;
    ASSERT_TRUE(files().status(path("a.kc").c_str(), named));
    EXPECT_TRUE(named.identity.known && named.identity.node == status.identity.node &&
                named.identity.device == status.identity.device);

    EXPECT_FALSE(files().open(path("none").c_str(), qzOS::OpenMode::kRead));
    EXPECT_FALSE(files().open(path("none").c_str(), qzOS::OpenMode::kReadWrite));
    EXPECT_FALSE(files().open("", qzOS::OpenMode::kCreate));
    auto reader = files().open(path("a.kc").c_str(), qzOS::OpenMode::kRead);
    ASSERT_TRUE(reader);
    EXPECT_FALSE(reader->write(0, "x", 1));
    auto appender = files().open(path("a.kc").c_str(), qzOS::OpenMode::kReadWrite);
    ASSERT_TRUE(appender && appender->write(14, "!", 1));
    EXPECT_EQ(contents("a.kc"), std::string("012AB56789\0\0xy!", 15));
    create("a.kc", "new");  // emptied first
    EXPECT_EQ(contents("a.kc"), "new");
    create("sub/inner.kc", "x");
    EXPECT_FALSE(files().open(path("sub").c_str(), qzOS::OpenMode::kRead));  // a directory is no file
#if defined(_WIN32)
    // Nor is a device, whose reads could wait for ever.
    if (!m_memory) {
        EXPECT_FALSE(files().open("NUL", qzOS::OpenMode::kRead));
    }
#endif
}

TEST_P(FileSystemContract, RenameRemoveAndList) {
    const std::string kB = "\xC3\xA9t\xC3\xA9.kc";  // listed as the bytes it was made with
    create("a.kc", "A");
    create(kB, "B");
    create("sub/c.kc", "C");
    auto held = files().open(path(kB).c_str(), qzOS::OpenMode::kRead);
    ASSERT_TRUE(held);
    bool replaced = files().renameReplacing(path("a.kc").c_str(), path(kB).c_str());
    if (!replaced && qztest::kReplacingAHeldFileMayBeRefused && !m_memory) {
        // Refused while held, and nothing lost; once the handle is gone the replace goes through.
        EXPECT_EQ(contents("a.kc"), "A");
        EXPECT_EQ(contents(kB), "B");
        held.reset();
        replaced = files().renameReplacing(path("a.kc").c_str(), path(kB).c_str());
    }
    ASSERT_TRUE(replaced);
    EXPECT_EQ(contents(kB), "A");
    EXPECT_EQ(contents("a.kc"), "(none)");
    char byte = 0;
    std::size_t got = 0;
    if (held) {  // a handle open on the replaced file still reads it
        ASSERT_TRUE(held->read(0, &byte, 1, got));
        EXPECT_EQ(std::string(&byte, got), "B");
    }
    EXPECT_FALSE(files().renameReplacing(path("a.kc").c_str(), path("c.kc").c_str()));

    std::vector<std::string> names;
    std::string backslashed = path("sub");
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    for (const std::string& directory : {m_root, m_root.substr(0, m_root.size() - 1), backslashed}) {
        ASSERT_TRUE(files().listDirectory(directory.c_str(), names)) << directory;
        std::sort(names.begin(), names.end());
        const std::vector<std::string> expected =
            directory == backslashed ? std::vector<std::string>{"c.kc"} : std::vector<std::string>{"sub", kB};
        EXPECT_EQ(names, expected) << directory;
    }
    EXPECT_FALSE(files().listDirectory(path("missing").c_str(), names));
    EXPECT_FALSE(files().listDirectory(path(kB).c_str(), names));
    EXPECT_TRUE(files().syncDirectory(path("sub").c_str()));

    // A file that a handle holds is removed all the same, and the handle reads on.
    auto reader = files().open(path(kB).c_str(), qzOS::OpenMode::kRead);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(files().remove(path(kB).c_str()));
    ASSERT_TRUE(reader->read(0, &byte, 1, got));
    EXPECT_EQ(std::string(&byte, got), "A");
    reader.reset();
    EXPECT_FALSE(files().remove(path(kB).c_str()));
    qzOS::FileStatus status;
    EXPECT_FALSE(files().status(path(kB).c_str(), status));
}

TEST_P(FileSystemContract, CopyAndLinkNeverReplace) {
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

}  // namespace
