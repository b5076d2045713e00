#include "qzOS.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "qzFileSystem.h"

namespace qzOS {

qzUtil::Error File::readDir(std::vector<qzString::IString>& names, bool /*recursive*/) const {
    std::vector<std::string> entries;
    if (!listDirectory(m_path.asMultibyte(0), entries)) return qzUtil::Error(qzUtil::kNotFound);
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
    // One object per distinct path, kept for the process's life: callers never release them.
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<File>> files;
    std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<File>& slot = files[path.utf8()];
    if (!slot) slot.reset(new File(path));
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
