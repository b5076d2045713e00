// Internal state of qzCacheFileAccessor beyond its documented fields. Not installed.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "qzCacheFileIO.h"

struct qzCacheFileAccessorPrivate {
    // Channel index by UTF-8 name, so that loading a time does not search the channel list
    // for every record. Names are unique; the first channel of a name is the one indexed.
    std::unordered_map<std::string, unsigned int> channelByName;

    // Reads while the installed file IO object is a writer go through this reader instead,
    // so that no read ever truncates or rewrites a data file.
    std::unique_ptr<qzCacheFileIO> sideReader;
};
