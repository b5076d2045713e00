#include "qzOS.h"

#include <array>
#include <memory>
#include <new>
#include <string>

#include "qzFileSystem.h"
#include "qzWindows.h"

namespace qzOS {
namespace {

// The directory objects of one thread, handed out in turn.
struct ThreadFiles {
    std::array<std::unique_ptr<File>, FileFactory::kFilesPerThread> files;
    std::size_t next = 0;
};

#if defined(_WIN32)
// Not thread_local: mingw-w64 (Debian 12's version 10) frees a thread's thread_local storage
// before it runs the destructors of the objects in it, so every thread that ended after
// listing a directory freed its objects from memory another thread may already be using.
// Fiber-local storage is the system's own, and its callback runs at the thread's end.
void WINAPI freeThreadFiles(void* files) { delete static_cast<ThreadFiles*>(files); }

class ThreadFilesSlot {
public:
    ThreadFilesSlot() : m_index(FlsAlloc(&freeThreadFiles)) {}
    // Frees every thread's objects, so that no callback into an unloaded DLL is left behind.
    ~ThreadFilesSlot() {
        if (m_index != FLS_OUT_OF_INDEXES) FlsFree(m_index);
    }
    ThreadFilesSlot(const ThreadFilesSlot&) = delete;
    ThreadFilesSlot& operator=(const ThreadFilesSlot&) = delete;

    ThreadFiles* get() {
        if (m_index == FLS_OUT_OF_INDEXES) return nullptr;
        if (auto* files = static_cast<ThreadFiles*>(FlsGetValue(m_index))) return files;
        std::unique_ptr<ThreadFiles> files(new (std::nothrow) ThreadFiles);
        if (!files || !FlsSetValue(m_index, files.get())) return nullptr;
        return files.release();
    }

private:
    DWORD m_index;
};

ThreadFiles* threadFiles() {
    static ThreadFilesSlot slot;
    return slot.get();
}
#else
ThreadFiles* threadFiles() {
    thread_local ThreadFiles files;
    return &files;
}
#endif

}  // namespace

qzUtil::Error File::readDir(std::vector<qzString::IString>& names, bool /*recursive*/) const {
    std::vector<std::string> entries;
    if (!defaultFileSystem().listDirectory(m_path.asMultibyte(0), entries)) {
        return qzUtil::Error(qzUtil::kNotFound);
    }
    names.clear();
    names.reserve(entries.size());
    for (const std::string& entry : entries) names.emplace_back(entry.c_str(), 0);
    return qzUtil::Error();
}

FileFactory* FileFactory::getFileFactory() {
    static FileFactory factory;
    return &factory;
}

File* FileFactory::createFile(const qzString::IString& path) {
    // Callers never release what they get, and use it at once: each thread reuses a few
    // objects in turn, so nothing accumulates however many paths a process lists, and no
    // thread's object changes under another. A pointer stays good until the same thread has
    // asked for kFilesPerThread more, and the objects go with their thread.
    ThreadFiles* const own = threadFiles();
    if (!own) return nullptr;
    std::unique_ptr<File>& slot = own->files[own->next];
    own->next = (own->next + 1) % kFilesPerThread;
    if (slot) {
        slot->m_path = path;
    } else {
        slot.reset(new File(path));
    }
    return slot.get();
}

qzString::IString Filename::baseTrunk() const {
    const std::u16string& chars = m_path.chars();
    std::size_t begin = chars.find_last_of(u"/\\");
    begin = begin == std::u16string::npos ? 0 : begin + 1;
    std::size_t end = chars.find_last_of(u'.');
    if (end == std::u16string::npos || end < begin) end = chars.size();
    return m_path.substr(static_cast<unsigned int>(begin), static_cast<unsigned int>(end - begin));
}

}  // namespace qzOS
