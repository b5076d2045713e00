// What a cache format string says about its IFF data files. Internal (not installed).
#pragma once

#include "qzString.h"

// The data-file extension, without the dot, of a cache format: "kcx" (64-bit groups) for
// "kcx", "kc" (32-bit groups) for every other format.
inline qzString::IString qzIffDataFileExtension(const qzString::IString& cacheFormat) {
    const bool wide = qzString::equal(cacheFormat, qzString::IString("kcx", 0));
    return qzString::IString(wide ? "kcx" : "kc", 0);
}
