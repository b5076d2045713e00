#include "qzOS.h"

#include <array>
#include <memory>
#include <string>

#include "qzFileSystem.h"

namespace qzOS {

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
    thread_local std::array<std::unique_ptr<File>, kFilesPerThread> files;
    thread_local std::size_t next = 0;
    std::unique_ptr<File>& slot = files[next];
    next = (next + 1) % kFilesPerThread;
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
