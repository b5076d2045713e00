// What a cache format string says about its IFF data files, and a channel name read as those
// files hold it. Internal (not installed).
#pragma once

#include <string>

#include "qzString.h"

class qzCacheFileIO;

// The data-file extension, without the dot, of a cache format: "kcx" (64-bit groups) for
// "kcx", "kc" (32-bit groups) for every other format.
inline qzString::IString qzIffDataFileExtension(const qzString::IString& cacheFormat) {
    const bool wide = qzString::equal(cacheFormat, qzString::IString("kcx", 0));
    return qzString::IString(wide ? "kcx" : "kc", 0);
}

// readChannelName, giving the name in UTF-8 as the library writes it; from the library's own
// reader without making a string of 16-bit characters first.
bool qzReadChannelNameUtf8(qzCacheFileIO& reader, std::string& name);
