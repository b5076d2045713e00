// Internal state of qzCacheFileAccessor beyond its documented fields. Not installed.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "qzCacheFileIO.h"

// The reader made to read beside an installed writer, in the cache's format.
std::unique_ptr<qzCacheFileIO> qzCreateSideReader(const qzString::IString& cacheFormat);
// Hands what a writer buffered to the operating system, so that a reader sees it.
void qzFlushWriter(qzCacheFileIO* writer);

struct qzCacheFileAccessorPrivate {
    // A data write failed since the cache was last opened for writing.
    bool writeFailed = false;

    // Channel index by UTF-8 name, so that loading a time does not search the channel list
    // for every record. Names are unique; the first channel of a name is the one indexed.
    std::unordered_map<std::string, unsigned int> channelByName;

    // Reads while the installed file IO object is a writer go through this reader instead,
    // so that no read ever truncates or rewrites a data file.
    std::unique_ptr<qzCacheFileIO> sideReader;
};
