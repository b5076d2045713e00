// The list of a cache's files: the description file first, then the data files by time.
#include <functional>
#include <queue>
#include <utility>
#include <vector>

#include "qzCacheFileAccessor.h"

namespace {

// The most data files the list walks: a description whose channels claim more (a grid of
// every tick over the whole 32-bit range, say) is refused rather than walked for hours.
constexpr unsigned int kMaxListedDataFiles = qzCacheChannel::kMaxListedTimes;

// Calls visit(time) for each time some channel holds, in increasing order, each time once,
// until visit returns false. A channel's times are its start and the chain of nextTime from
// there, as getNextTimeWithData walks them; channels are merged through a heap, so a step costs
// the logarithm of the channel count. False when more than kMaxListedDataFiles times were met.
template <typename Visit>
bool walkDataTimes(const std::vector<qzCacheChannel*>& channels, Visit visit) {
    using Entry = std::pair<int, const qzCacheChannel*>;
    auto later = [](const Entry& a, const Entry& b) { return a.first > b.first; };
    std::priority_queue<Entry, std::vector<Entry>, decltype(later)> pending(later);
    for (const qzCacheChannel* channel : channels) {
        // An empty channel's default range (0 to -1) names no file.
        if (!channel->isEmpty()) pending.emplace(channel->startTime(), channel);
    }
    unsigned int visited = 0;
    while (!pending.empty()) {
        const int time = pending.top().first;
        while (!pending.empty() && pending.top().first == time) {
            const qzCacheChannel* channel = pending.top().second;
            pending.pop();
            int next = 0;
            if (channel->nextTime(time, next)) pending.emplace(next, channel);
        }
        if (++visited > kMaxListedDataFiles) return false;
        if (!visit(time)) return true;
    }
    return true;
}

}  // namespace

int qzCacheFileAccessor::getDataFileCount() {
    if (m_distribution == kOneFile) return 2;
    if (m_distribution != kOneFilePerFrame) return 0;
    scanForAllData();
    int count = 1;
    if (!walkDataTimes(m_channels, [&](int) {
            ++count;
            return true;
        })) {
        return -1;
    }
    return count == 1 ? 0 : count;
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
    if (index > kMaxListedDataFiles) return false;
    scanForAllData();
    unsigned int seen = 0;
    int time = 0;
    walkDataTimes(m_channels, [&](int at) {
        time = at;
        return ++seen < index;
    });
    if (seen != index) return false;
    const qzString::IString framePath = constructDataFilePathForOneFilePerFrame(time);
    // No positive frame length: no frame file can be named.
    if (framePath.empty()) return false;
    path = framePath;
    return true;
}
