// Creates an accessor through the installed headers and library, adds a channel whose name it
// edits in place (the string's writable characters must be exported too) and prints how many
// channels it has.
#include <cstdio>

#include "qzCacheFileAccessor.h"

int main() {
    qzCacheFileAccessor* accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
    if (!accessor) return 1;
    qzString::IString name("Pointz", 0);
    name[5] = u's';
    if (name[5] != u's') return 3;
    unsigned int index = 0;
    const bool added = accessor->addChannel(name, qzString::IString("Points", 0),
                                            qzCacheData::kFloatVectorArray, index);
    const bool named = accessor->hasChannelByName(qzString::IString("Points", 0), index);
    std::printf("channels %zu\n", accessor->numChannels());
    accessor->unref();
    return added && named ? 0 : 2;
}
