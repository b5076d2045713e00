#include "qzCacheFarmSupport.h"

#include "qzCacheChannel.h"
#include "qzFileSystem.h"
#include "qzString.h"

namespace qzFarm {

bool splitDescriptionPath(const std::string& path, std::string& location, std::string& baseName) {
    const std::size_t slash = path.find_last_of("/\\");
    location = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string extension = ".xml";
    if (name.size() <= extension.size() ||
        name.compare(name.size() - extension.size(), extension.size(), extension) != 0) {
        return false;
    }
    baseName = name.substr(0, name.size() - extension.size());
    return true;
}

bool findCacheFileNames(qzOS::FileSystem& files, const std::string& location,
                        const std::string& baseName, CacheFileNames& names) {
    std::vector<std::string> entries;
    if (!files.listDirectory(location.c_str(), entries)) return false;
    const std::string framePrefix = baseName + "Frame";
    for (std::string& entry : entries) {
        if (entry == baseName + ".xml") {
            names.description = true;
        } else if (entry == baseName + ".kc" || entry == baseName + ".kcx") {
            names.oneFile.push_back(std::move(entry));
        } else if (entry.compare(0, framePrefix.size(), framePrefix) == 0) {
            names.frameFiles.push_back(std::move(entry));
        }
    }
    return true;
}

bool setSamplingFromTimes(qzCacheFileAccessor& accessor, unsigned int channel,
                          const std::vector<int>& times) {
    qzCacheChannel record(qzString::IString(), qzString::IString(), qzCacheData::kUnknownData);
    for (int time : times) {
        if (!record.addTime(time)) return false;
    }
    return accessor.setChannelSamplingType(channel, record.samplingType()) &&
           accessor.setChannelSamplingRate(channel, record.samplingRate()) &&
           accessor.setChannelStartTime(channel, record.startTime()) &&
           accessor.setChannelEndTime(channel, record.endTime());
}

CreatedFiles::~CreatedFiles() {
    if (m_kept) return;
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it) m_files.remove(it->path.c_str());
}

void CreatedFiles::add(const std::string& path, bool linked) { m_created.push_back({path, linked}); }

bool CreatedFiles::syncAll() {
    std::vector<std::string> paths;
    for (const Entry& entry : m_created) {
        if (!entry.linked) paths.push_back(entry.path);
    }
    return m_files.syncFiles(paths);
}

}  // namespace qzFarm
