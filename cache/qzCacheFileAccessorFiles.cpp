// The list of a cache's files: the description file first, then the data files by time.
#include "qzCacheFileAccessor.h"

bool qzCacheFileAccessor::firstRecordedTime(int& time) const {
    // An empty channel's default range (0 to -1) names no file, so only recorded times count.
    bool found = false;
    for (const qzCacheChannel* channel : m_channels) {
        if (channel->isEmpty()) continue;
        if (!found || channel->startTime() < time) time = channel->startTime();
        found = true;
    }
    return found;
}

int qzCacheFileAccessor::getDataFileCount() {
    if (m_distribution == kOneFile) return 2;
    if (m_distribution != kOneFilePerFrame) return 0;
    scanForAllData();
    int time = 0;
    if (!firstRecordedTime(time)) return 0;
    int count = 2;
    int next = 0;
    while (getNextTimeWithData(time, next)) {
        time = next;
        ++count;
    }
    return count;
}

bool qzCacheFileAccessor::getDataFilePath(unsigned int index, qzString::IString& path) {
    if (m_distribution != kOneFile && m_distribution != kOneFilePerFrame) return false;
    if (index == 0) {
        path = constructDescriptionFileFullPath(m_storageLocation, m_baseFileName);
        return true;
    }
    if (m_distribution == kOneFile) {
        if (index != 1) return false;
        path = constructDataFilePathForOneFile();
        return true;
    }
    scanForAllData();
    int time = 0;
    if (!firstRecordedTime(time)) return false;
    for (unsigned int step = 1; step < index; ++step) {
        if (!getNextTimeWithData(time, time)) return false;
    }
    const qzString::IString framePath = constructDataFilePathForOneFilePerFrame(time);
    // No positive frame length: no frame file can be named.
    if (framePath.empty()) return false;
    path = framePath;
    return true;
}
